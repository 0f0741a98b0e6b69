// Live reconfiguration: every change is saved at once and, while connected, applied to the
// running core through its controller without a restart.
#include "controller/MihomoManager.h"

#include "config/RuleParser.h"
#include "controller/CoreApi.h"
#include "controller/CoreSupervisor.h"

#include <QJsonObject>
#include <QPointer>

namespace {

QString modeFailure() {
    return QStringLiteral("切换模式失败: ");
}
QString reloadFailure() {
    return QStringLiteral("热重载配置失败: ");
}

// The client is built per task: it holds nothing that must outlive the controller.
QCoro::Task<> pushMode(QPointer<MihomoManager> manager, CoreApiClient api, ProxyMode mode) {
    QJsonObject body;
    body.insert(QLatin1String("mode"), rawValue(mode));
    RequestError error = co_await api.patchControllerConfigs(body);
    if (!error && mode == ProxyMode::Global)
        error = co_await api.setGlobalProxySelection();
    if (error && manager)
        manager->setErrorMessage(modeFailure() + *error);
}

QCoro::Task<> reloadCore(QPointer<MihomoManager> manager, CoreApiClient api, QString configPath) {
    RequestError error = co_await api.reloadFullConfig(configPath);
    if (!manager)
        co_return;
    // The mode is read afresh: it may have changed while the reload was in flight.
    if (!error && manager->config().mode == ProxyMode::Global)
        error = co_await api.setGlobalProxySelection();
    if (error && manager)
        manager->setErrorMessage(reloadFailure() + *error);
}

} // namespace

void MihomoManager::switchMode(ProxyMode mode) {
    AppConfig changed = m_config;
    changed.mode = mode;
    setConfig(changed);
    saveConfig();
    if (!m_isConnected)
        return;
    pushMode(this, CoreApiClient(m_network, apiPort(), m_secret), mode);
}

void MihomoManager::addCustomRule(const QString& pattern, CustomRuleAction action) {
    const QString normalized = RuleParser::normalizePattern(pattern);
    // A pattern the configuration could not carry is refused like an empty one, rather than
    // stored and silently left out of the core's rules.
    if (normalized.isEmpty() || !RuleParser::isWritablePattern(normalized))
        return;

    AppConfig withoutOld = m_config;
    withoutOld.customRules.removeIf([&normalized](const CustomRule& rule) {
        return RuleParser::normalizePattern(rule.pattern) == normalized;
    });
    setConfig(withoutOld);

    AppConfig withNew = m_config;
    withNew.customRules.prepend(CustomRule{QUuid::createUuid(), normalized, action});
    setConfig(withNew);

    applyRulesAndReload();
}

void MihomoManager::removeCustomRule(const CustomRule& rule) {
    AppConfig changed = m_config;
    changed.customRules.removeIf(
        [&rule](const CustomRule& stored) { return stored.id == rule.id; });
    setConfig(changed);
    applyRulesAndReload();
}

void MihomoManager::applyRulesAndReload() {
    saveConfig();
    if (!m_isConnected)
        return;
    if (const ControlResult failure = m_supervisor->writeMihomoYAML(buildMihomoYAML())) {
        setErrorMessage(reloadFailure() + failure->description);
        return;
    }
    reloadCore(this, CoreApiClient(m_network, apiPort(), m_secret), mihomoConfigURL());
}
