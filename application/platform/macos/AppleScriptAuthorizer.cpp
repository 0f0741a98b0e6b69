#include "platform/macos/AppleScriptAuthorizer.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {
// A single-quoted shell word: ' becomes '\''.
QString shellQuoted(QString text) {
    text.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// The inside of an AppleScript string literal.
QString appleScriptEscaped(QString text) {
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return text;
}

bool lstatPath(const QString& path, struct stat& info) {
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}
} // namespace

AppleScriptAuthorizer::AppleScriptAuthorizer(QString osascriptPath)
    : m_osascript(std::move(osascriptPath)) {}

QString AppleScriptAuthorizer::scriptFor(const QString& helperPath, const QString& corePath) {
    const QString helper = shellQuoted(helperPath);
    const QString core = shellQuoted(corePath);
    const QString command = QStringLiteral("chown root:wheel ") + core +
                            QStringLiteral(" && chmod go-w ") + core +
                            QStringLiteral(" && chown root:wheel ") + helper +
                            QStringLiteral(" && chmod 4755 ") + helper;
    return QStringLiteral("do shell script \"") + appleScriptEscaped(command) +
           QStringLiteral("\" with administrator privileges");
}

bool AppleScriptAuthorizer::launcherReady(const BundleLayout& bundle) const {
    struct stat helper {};
    struct stat core {};
    return lstatPath(bundle.helperBinary, helper) && helper.st_uid == 0 &&
           (helper.st_mode & S_ISUID) != 0 && lstatPath(bundle.coreBinary, core) &&
           core.st_uid == 0 && (core.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::variant<AuthorizationCommand, TunAuthorization>
AppleScriptAuthorizer::command(const BundleLayout& bundle) const {
    const QFileInfo osascript(m_osascript);
    if (!osascript.isFile() || !osascript.isExecutable())
        return TunAuthorization::ToolMissing;
    return AuthorizationCommand{
        m_osascript, {QStringLiteral("-e"), scriptFor(bundle.helperBinary, bundle.coreBinary)}};
}

TunAuthorization AppleScriptAuthorizer::outcome(std::optional<int> exitStatus) const {
    // osascript exits non-zero when the dialog is cancelled or the command fails.
    return exitStatus == 0 ? TunAuthorization::Granted : TunAuthorization::Refused;
}
