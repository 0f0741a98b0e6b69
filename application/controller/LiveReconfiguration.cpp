// Placeholder until live reconfiguration lands.
#include "controller/MihomoManager.h"

void MihomoManager::switchMode(ProxyMode) {}
void MihomoManager::addCustomRule(const QString&, CustomRuleAction) {}
void MihomoManager::removeCustomRule(const CustomRule&) {}
void MihomoManager::applyRulesAndReload() { saveConfig(); }
