// Placeholder until monitoring lands.
#include "controller/MihomoManager.h"

void MihomoManager::refreshConnections() {}
void MihomoManager::testLatency() {}
std::optional<QString> MihomoManager::localIPv4Address() const { return std::nullopt; }
void MihomoManager::refreshQuota() {}
void MihomoManager::startQuotaPolling() {}
QString MihomoManager::hardwareDeviceID() const { return {}; }
void MihomoManager::startTrafficStream() {}
void MihomoManager::stopTrafficStream() {}
