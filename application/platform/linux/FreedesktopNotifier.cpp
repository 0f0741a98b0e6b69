#include "platform/linux/FreedesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QVariantMap>

FreedesktopNotifier::FreedesktopNotifier(QDBusConnection bus, QString desktopEntry)
    : m_bus(std::move(bus)), m_desktopEntry(std::move(desktopEntry)) {}

void FreedesktopNotifier::notify(const QString& title, const QString& text) {
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), m_desktopEntry}};
    // Application name, no notification to replace, icon from the entry, summary, body, no
    // actions, hints, the server's own time-out.
    call << title << quint32(0) << QString() << title << text << QStringList() << hints
         << qint32(-1);
    // Nothing waits for the answer: a missing service must not hold anything up.
    m_bus.asyncCall(call);
}
