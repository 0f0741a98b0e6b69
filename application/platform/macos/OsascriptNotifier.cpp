#include "platform/macos/OsascriptNotifier.h"

#include <QProcess>

namespace {
// The inside of an AppleScript string literal; a line break would end the statement.
QString appleScriptEscaped(QString text) {
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}
} // namespace

OsascriptNotifier::OsascriptNotifier(QString osascriptPath)
    : m_osascript(std::move(osascriptPath)) {}

QString OsascriptNotifier::scriptFor(const QString& title, const QString& text) {
    return QStringLiteral("display notification \"") + appleScriptEscaped(text) +
           QStringLiteral("\" with title \"") + appleScriptEscaped(title) + QLatin1Char('"');
}

void OsascriptNotifier::notify(const QString& title, const QString& text) {
    QProcess::startDetached(m_osascript, {QStringLiteral("-e"), scriptFor(title, text)});
}
