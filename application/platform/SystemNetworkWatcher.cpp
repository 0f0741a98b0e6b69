#include "platform/SystemNetworkWatcher.h"

#include <QNetworkInformation>

#include <utility>

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
