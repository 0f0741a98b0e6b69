#include "platform/macos/AppleScriptAuthorizer.h"
#include "platform/ToolProcess.h"

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
} // namespace

AppleScriptAuthorizer::AppleScriptAuthorizer(QString osascriptPath)
    : m_osascript(std::move(osascriptPath)) {}

QString AppleScriptAuthorizer::scriptFor(const QString& helperPath) {
    const QString path = shellQuoted(helperPath);
    const QString command =
        QStringLiteral("chown root:wheel ") + path + QStringLiteral(" && chmod 4755 ") + path;
    return QStringLiteral("do shell script \"") + appleScriptEscaped(command) +
           QStringLiteral("\" with administrator privileges");
}

bool AppleScriptAuthorizer::authorizeLauncher(const QString& helperPath) {
    // osascript exits non-zero when the dialog is cancelled or the command fails.
    return ToolProcess::run(m_osascript, {QStringLiteral("-e"), scriptFor(helperPath)}) == 0;
}
