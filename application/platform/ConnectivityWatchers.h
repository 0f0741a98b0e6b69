#pragma once

#include <QDBusConnection>
#include <QObject>

// Tells when the machine has woken from sleep.
class SleepWatcher : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void resumed();
};

// Tells when the network is reachable again or traffic moved to another kind of link.
class NetworkWatcher : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void changed();
};

// Linux: logind's PrepareForSleep(false) on the system bus.
class LogindSleepWatcher : public SleepWatcher {
    Q_OBJECT
public:
    explicit LogindSleepWatcher(QDBusConnection systemBus, QObject* parent = nullptr);

private slots:
    void prepareForSleep(bool sleeping);
};

// QNetworkInformation's reachability and transport medium, where a backend offers them.
class SystemNetworkWatcher : public NetworkWatcher {
    Q_OBJECT
public:
    explicit SystemNetworkWatcher(QObject* parent = nullptr);

private:
    bool m_online = true;
};
