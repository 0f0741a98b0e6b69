#pragma once

#include <QDBusConnection>
#include <QString>

// Desktop notifications: a title and one line of text that the desktop shows for a moment.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    // Best effort: without a notification service nothing happens.
    virtual void notify(const QString& title, const QString& text) = 0;
};

// Linux: org.freedesktop.Notifications on the given bus (the session bus).
class FreedesktopNotifier : public DesktopNotifier {
public:
    // `desktopEntry` names the application's menu entry, whose icon the desktop shows.
    FreedesktopNotifier(QDBusConnection bus, QString desktopEntry);
    void notify(const QString& title, const QString& text) override;

private:
    QDBusConnection m_bus;
    QString m_desktopEntry;
};

// macOS: "display notification" through osascript, started without waiting for it.
class OsascriptNotifier : public DesktopNotifier {
public:
    explicit OsascriptNotifier(QString osascriptPath = QStringLiteral("/usr/bin/osascript"));
    void notify(const QString& title, const QString& text) override;

    // The AppleScript line that shows one notification.
    static QString scriptFor(const QString& title, const QString& text);

private:
    QString m_osascript;
};
