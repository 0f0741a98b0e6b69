#pragma once

#include "platform/DesktopNotifier.h"

#include <QDBusConnection>

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
