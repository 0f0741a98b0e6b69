#include "platform/linux/LogindSleepWatcher.h"

LogindSleepWatcher::LogindSleepWatcher(QDBusConnection systemBus, QObject* parent)
    : SleepWatcher(parent) {
    systemBus.connect(QStringLiteral("org.freedesktop.login1"),
                      QStringLiteral("/org/freedesktop/login1"),
                      QStringLiteral("org.freedesktop.login1.Manager"),
                      QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
}

void LogindSleepWatcher::prepareForSleep(bool sleeping) {
    if (!sleeping)
        emit resumed();
}
