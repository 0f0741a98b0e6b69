#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>

#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

QString stageDir() {
    return qEnvironmentVariable("VANTREL_STAGE_DIR");
}
QString stagedCore() {
    return stageDir() + QStringLiteral("/libexec/vantrel-vpn/vantrel-core");
}
QString stagedHelper() {
    return stageDir() + QStringLiteral("/libexec/vantrel-vpn/vantrel-helper");
}
QString stagedAuthorizeScript() {
    return stageDir() + QStringLiteral("/libexec/vantrel-vpn/vantrel-authorize");
}
namespace {
// Whether the folder and every folder above it are root's and not writable by group or others,
// as the folders of an installed package are.
bool isRootOnlyChain(QString path) {
    for (;;) {
        struct stat info {};
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || info.st_uid != 0 ||
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return false;
        if (path == QStringLiteral("/"))
            return true;
        path = QFileInfo(path).absolutePath();
    }
}
} // namespace

QString installedBase() {
    // The build tree, when it lies in root's folders; a checkout below /tmp does not, so root
    // then takes a folder of its own below /run.
    const QString buildTree = QDir::cleanPath(stageDir() + QStringLiteral("/.."));
    if (isRootOnlyChain(buildTree) || ::geteuid() != 0)
        return buildTree;
    const QString own = QStringLiteral("/run/vantrel-tests");
    ::mkdir(QFile::encodeName(own).constData(), 0755);
    return isRootOnlyChain(own) ? own : buildTree;
}

bool setTunCapabilities(const QString& path) {
    QString setcap = QStandardPaths::findExecutable(QStringLiteral("setcap"));
    if (setcap.isEmpty())
        setcap = QStandardPaths::findExecutable(
            QStringLiteral("setcap"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (setcap.isEmpty())
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(setcap,
                  {QStringLiteral("cap_net_admin,cap_net_raw,cap_net_bind_service+p"), path});
    return process.waitForFinished(10'000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QString processStatus(qint64 pid, const QString& field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    const QString prefix = field + QLatin1Char(':');
    for (const QString& line : QString::fromUtf8(status.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).simplified();
    }
    return {};
}

QString sourceDir() {
    return qEnvironmentVariable("VANTREL_SOURCE_DIR");
}

quint16 freeLocalPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QString writeScript(const QString& path, const QString& body) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write(body.toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return path;
}

bool isRunning(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    return !text.mid(text.lastIndexOf(')')).startsWith(") Z");
}

} // namespace TestSupport
