#pragma once

#include "platform/ConnectivityWatchers.h"

#include <QDBusConnection>

// Linux: logind's PrepareForSleep(false) on the system bus.
class LogindSleepWatcher : public SleepWatcher {
    Q_OBJECT
public:
    explicit LogindSleepWatcher(QDBusConnection systemBus, QObject* parent = nullptr);

private slots:
    void prepareForSleep(bool sleeping);
};
