#pragma once

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
