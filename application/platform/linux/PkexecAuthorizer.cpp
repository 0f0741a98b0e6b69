#include "platform/linux/PkexecAuthorizer.h"
#include "platform/ToolProcess.h"

#include <grp.h>
#include <unistd.h>

PkexecAuthorizer::PkexecAuthorizer(QString pkexecPath, QString shellPath)
    : m_pkexec(std::move(pkexecPath)), m_shell(std::move(shellPath)) {}

QString PkexecAuthorizer::rootScript() {
    // $1: the launcher, $2: the group allowed to run it. Links are refused so that the
    // ownership change cannot be redirected to another file. The core is fixed first, so a
    // missing core leaves the launcher untouched.
    return QStringLiteral("set -e\n"
                          "core=\"$(dirname -- \"$1\")/vantrel-core\"\n"
                          "[ -f \"$1\" ] && [ ! -L \"$1\" ] || exit 3\n"
                          "[ -f \"$core\" ] && [ ! -L \"$core\" ] || exit 4\n"
                          "chown root:root \"$core\"\n"
                          "chmod 0755 \"$core\"\n"
                          "chown \"root:$2\" \"$1\"\n"
                          "chmod 4750 \"$1\"\n");
}

QStringList PkexecAuthorizer::argumentsFor(const QString& helperPath, const QString& group) const {
    return {m_shell, QStringLiteral("-c"), rootScript(), QStringLiteral("sh"), helperPath, group};
}

QString PkexecAuthorizer::primaryGroup() {
    const gid_t gid = getgid();
    if (const group* entry = getgrgid(gid); entry && entry->gr_name)
        return QString::fromLocal8Bit(entry->gr_name);
    return QString::number(gid);
}

bool PkexecAuthorizer::authorizeLauncher(const QString& helperPath) {
    // pkexec exits 126/127 when the dialog is dismissed or authorisation fails; the script's
    // own failures are non-zero too.
    return ToolProcess::run(m_pkexec, argumentsFor(helperPath, primaryGroup())) == 0;
}
