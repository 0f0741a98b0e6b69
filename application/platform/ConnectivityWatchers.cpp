#include "platform/ConnectivityWatchers.h"

#include <QNetworkInformation>

#include <utility>

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

SystemNetworkWatcher::SystemNetworkWatcher(QObject* parent) : NetworkWatcher(parent) {
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    QNetworkInformation* information = QNetworkInformation::instance();
    m_online = information->reachability() == QNetworkInformation::Reachability::Online;
    connect(information, &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability reachability) {
                const bool online = reachability == QNetworkInformation::Reachability::Online;
                if (online && !std::exchange(m_online, online))
                    emit changed();
                m_online = online;
            });
    if (information->supports(QNetworkInformation::Feature::TransportMedium))
        connect(information, &QNetworkInformation::transportMediumChanged, this,
                &NetworkWatcher::changed);
}
