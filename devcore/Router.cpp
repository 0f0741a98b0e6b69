#include "Router.h"

void Router::apply(const CoreConfig& config) {
    m_graph = ProxyGraph(config.proxies, config.groups);
    m_rules = config.rules;
    m_mode = config.mode;
    // A selection survives a reload as long as the new file still defines it.
    if (!m_graph.contains(m_globalSelection))
        m_globalSelection = QStringLiteral("DIRECT");
}

bool Router::selectGlobal(const QString& name) {
    if (!m_graph.contains(name))
        return false;
    m_globalSelection = name;
    return true;
}

RouteDecision Router::route(const Destination& destination) const {
    RouteDecision decision;
    switch (m_mode) {
    case RoutingMode::Direct:
        decision.chains = QStringList{QStringLiteral("DIRECT")};
        break;
    case RoutingMode::Global:
        decision.chains = m_graph.chain(m_globalSelection) << QStringLiteral("GLOBAL");
        break;
    case RoutingMode::Rule: {
        decision.chains = QStringList{QStringLiteral("DIRECT")};
        for (const Rule& rule : m_rules) {
            if (rule.matches(destination)) {
                decision.rule = rule.typeName();
                decision.rulePayload = rule.payload();
                decision.chains = m_graph.chain(rule.target());
                break;
            }
        }
        break;
    }
    }
    decision.reject = decision.chains.value(0) == u"REJECT";
    return decision;
}
