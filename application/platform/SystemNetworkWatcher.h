#pragma once

#include "platform/ConnectivityWatchers.h"

// QNetworkInformation's reachability and transport medium, where a backend offers them (both
// platforms).
class SystemNetworkWatcher : public NetworkWatcher {
    Q_OBJECT
public:
    explicit SystemNetworkWatcher(QObject* parent = nullptr);

private:
    bool m_online = true;
};
