// Live reconfiguration: every change is saved at once and, while connected, applied to the
// running core through its controller without a restart.
#include "controller/MihomoManager.h"

#include "config/RuleParser.h"
#include "controller/ConfigurationWriter.h"
#include "controller/ControllerClient.h"
#include "controller/CoreSession.h"

#include <QPointer>

namespace {

QString modeFailure() {
    return QStringLiteral("切换模式失败: ");
}
QString reloadFailure() {
    return QStringLiteral("热重载配置失败: ");
}

} // namespace

void MihomoManager::switchMode(ProxyMode mode) {
    AppConfig changed = m_config;
    changed.mode = mode;
    setConfig(changed);
    saveConfig();
    if (!m_isConnected)
        return;
    pushMode(mode, m_connectionTasks);
}

QCoro::Task<> MihomoManager::pushMode(ProxyMode mode, CancellationTicket ticket) {
    QPointer<MihomoManager> self(this);
    RequestError error = co_await m_session->controller().patchMode(mode);
    if (!self || ticket.isCancelled())
        co_return; // disconnected meanwhile: nothing to report
    if (!error && mode == ProxyMode::Global) {
        error = co_await m_session->controller().selectProxyGroupForGlobal();
        if (!self || ticket.isCancelled())
            co_return;
    }
    if (error)
        setErrorMessage(modeFailure() + *error);
}

void MihomoManager::addCustomRule(const QString& pattern, CustomRuleAction action) {
    const QString normalized = RuleParser::normalizePattern(pattern);
    // A pattern the configuration could not carry is refused like an empty one, rather than
    // stored and silently left out of the core's rules.
    if (normalized.isEmpty() || !RuleParser::isWritablePattern(normalized))
        return;

    // The new rule goes first and replaces one with the same pattern; the list is built once, as
    // it may hold many thousands of rules.
    QList<CustomRule> rules;
    rules.reserve(m_config.customRules.size() + 1);
    rules.append(CustomRule{QUuid::createUuid(), normalized, action});
    for (const CustomRule& rule : m_config.customRules) {
        if (RuleParser::normalizePattern(rule.pattern) != normalized)
            rules.append(rule);
    }
    AppConfig changed = m_config;
    changed.customRules = std::move(rules);
    setConfig(changed);

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
    reloadCore(m_connectionTasks);
}

QCoro::Task<> MihomoManager::reloadCore(CancellationTicket ticket) {
    QPointer<MihomoManager> self(this);
    const ControlResult written = co_await m_configurationWriter->write(m_config, yamlInputs());
    if (!self || ticket.isCancelled())
        co_return;
    if (written) {
        setErrorMessage(reloadFailure() + written->description);
        co_return;
    }
    RequestError error = co_await m_session->controller().reloadConfig(mihomoConfigPath());
    if (!self || ticket.isCancelled())
        co_return;
    // The mode is read afresh: it may have changed while the reload was in flight.
    if (!error && m_config.mode == ProxyMode::Global) {
        error = co_await m_session->controller().selectProxyGroupForGlobal();
        if (!self || ticket.isCancelled())
            co_return;
    }
    if (error)
        setErrorMessage(reloadFailure() + *error);
}
