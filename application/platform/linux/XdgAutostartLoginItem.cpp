#include "platform/linux/XdgAutostartLoginItem.h"

#include <QDir>

XdgAutostartLoginItem::XdgAutostartLoginItem(const QString& configDir)
    : FileLoginItem(QDir(configDir).filePath(QStringLiteral("autostart/com.vantrel.vpn.desktop"))) {
}

QString XdgAutostartLoginItem::execValue(const QString& executablePath) {
    // An Exec argument in double quotes escapes " ` $ and \ with a backslash; field codes start
    // with %, so a literal % is written %%.
    QString argument;
    for (const QChar c : executablePath) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            argument += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            argument += QLatin1Char('%');
        argument += c;
    }
    argument = QLatin1Char('"') + argument + QLatin1Char('"');
    // Exec is also a string value, whose own escapes come on top.
    QString value;
    for (const QChar c : argument) {
        switch (c.unicode()) {
        case '\\':
            value += QLatin1String("\\\\");
            break;
        case '\n':
            value += QLatin1String("\\n");
            break;
        case '\t':
            value += QLatin1String("\\t");
            break;
        case '\r':
            value += QLatin1String("\\r");
            break;
        default:
            value += c;
        }
    }
    return value;
}

QString XdgAutostartLoginItem::entryText(const QString& executablePath) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Miravo VPN\n"
                          "Exec=") +
           execValue(executablePath) +
           // Started at login: the tray icon only, no window.
           QStringLiteral(" --hidden\nX-GNOME-Autostart-enabled=true\n");
}

QString XdgAutostartLoginItem::contentFor(const QString& executablePath) const {
    return entryText(executablePath);
}
