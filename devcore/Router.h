#pragma once

#include "CoreConfig.h"
#include "ProxyGraph.h"

// What the core does with one connection and how it reports it.
struct RouteDecision {
    bool reject = false;
    QString rule; // the rule's type name, "" when no rule decided
    QString rulePayload;
    QStringList chains; // node (or DIRECT/REJECT) first, then the groups it came through
};

// Routing state that a reload replaces: rules, mode, proxies and groups, and the GLOBAL selector.
class Router {
public:
    void apply(const CoreConfig& config);

    RouteDecision route(const Destination& destination) const;

    RoutingMode mode() const { return m_mode; }
    void setMode(RoutingMode mode) { m_mode = mode; }
    const ProxyGraph& graph() const { return m_graph; }

    const QString& globalSelection() const { return m_globalSelection; }
    bool selectGlobal(const QString& name);

private:
    ProxyGraph m_graph;
    std::vector<Rule> m_rules;
    RoutingMode m_mode = RoutingMode::Rule;
    QString m_globalSelection = QStringLiteral("DIRECT");
};
