// Placeholder until the connect and disconnect sequence lands.
#include "controller/MihomoManager.h"

void MihomoManager::initializeAfterConstruction() {
    setTunPrivilegedReady(checkCoreSetuid());
    if (m_env.platform.loginItem)
        setLaunchAtLoginState(m_env.platform.loginItem->isRegistered());
}
void MihomoManager::toggleConnection() {}
void MihomoManager::connect() {}
void MihomoManager::disconnect() {}
void MihomoManager::toggleTun(bool) {}
bool MihomoManager::checkCoreSetuid() const { return false; }
bool MihomoManager::authorizeTunCore() { return false; }
