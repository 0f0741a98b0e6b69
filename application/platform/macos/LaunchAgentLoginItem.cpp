#include "platform/macos/LaunchAgentLoginItem.h"

#include <QDir>

namespace {
QString xmlEscaped(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            escaped += QLatin1String("&amp;");
            break;
        case '<':
            escaped += QLatin1String("&lt;");
            break;
        case '>':
            escaped += QLatin1String("&gt;");
            break;
        case '"':
            escaped += QLatin1String("&quot;");
            break;
        case '\'':
            escaped += QLatin1String("&apos;");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}
} // namespace

LaunchAgentLoginItem::LaunchAgentLoginItem(const QString& homeDir)
    : FileLoginItem(
          QDir(homeDir).filePath(QStringLiteral("Library/LaunchAgents/com.vantrel.vpn.plist"))) {}

QString LaunchAgentLoginItem::agentText(const QString& executablePath) {
    const QStringList lines = {
        QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"),
        QStringLiteral("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"),
        QStringLiteral("<plist version=\"1.0\">"),
        QStringLiteral("<dict>"),
        QStringLiteral("    <key>Label</key>"),
        QStringLiteral("    <string>com.vantrel.vpn</string>"),
        QStringLiteral("    <key>ProgramArguments</key>"),
        QStringLiteral("    <array>"),
        QStringLiteral("        <string>") + xmlEscaped(executablePath) +
            QStringLiteral("</string>"),
        // Started at login: the menu-bar item only, no window.
        QStringLiteral("        <string>--hidden</string>"),
        QStringLiteral("    </array>"),
        QStringLiteral("    <key>RunAtLoad</key>"),
        QStringLiteral("    <true/>"),
        QStringLiteral("</dict>"),
        QStringLiteral("</plist>"),
    };
    return lines.join(QLatin1Char('\n'));
}

QString LaunchAgentLoginItem::contentFor(const QString& executablePath) const {
    return agentText(executablePath);
}
