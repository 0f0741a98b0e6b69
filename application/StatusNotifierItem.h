#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

class QDBusServiceWatcher;
class QMenu;

// A tray icon over D-Bus (the StatusNotifierItem protocol) for a tray host that appears after
// the application has started, which Qt's own tray icon never notices: watches the session bus
// for org.kde.StatusNotifierWatcher and registers with it each time it appears.
class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";

    explicit StatusNotifierItem(QDBusConnection bus, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Whether a tray host is on the bus right now.
    bool isHostAvailable() const;
    // Exports the item and registers it now or as soon as the watcher appears.
    void start();
    // The watcher accepted the item (and has not gone since).
    bool isRegistered() const { return m_registered; }
    QString serviceName() const { return m_serviceName; }

    void setIcon(const QIcon& icon);
    void setTitle(const QString& title);
    void setContextMenu(QMenu* menu);

    // What the host asks of the item (forwarded by the exported interface).
    const QIcon& icon() const { return m_icon; }
    const QString& title() const { return m_title; }
    void showContextMenu(int x, int y);

signals:
    void activated();           // the icon was clicked
    void registrationChanged(); // isRegistered() changed
    void iconChanged();
    void titleChanged();

private:
    void registerWithWatcher();
    void setRegistered(bool registered);

    QDBusConnection m_bus;
    QString m_serviceName;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_exported = false;
    bool m_registered = false;
    QIcon m_icon;
    QString m_title;
    QPointer<QMenu> m_menu;
};
