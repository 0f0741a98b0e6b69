#pragma once

#include "CoreConfig.h"

#include <QHash>
#include <QStringList>

// Nodes and groups by name. Every group uses its first member, as a fallback group does while
// all its members are alive; the development core never probes them.
class ProxyGraph {
public:
    ProxyGraph() = default;
    ProxyGraph(const std::vector<ProxyNode>& nodes, const std::vector<ProxyGroup>& groups);

    // DIRECT, REJECT, a node or a group.
    bool contains(const QString& name) const;
    bool isGroup(const QString& name) const { return m_groups.contains(name); }
    // The node (or DIRECT/REJECT) a name ends at, first, then the groups passed on the way;
    // empty for an unknown name or a loop.
    QStringList chain(const QString& name) const;
    // The node a name ends at, if it ends at a node.
    const ProxyNode* endNode(const QString& name) const;
    // Every name GLOBAL may select, in the order the file defines them.
    QStringList selectableNames() const;

private:
    QHash<QString, ProxyNode> m_nodes;
    QHash<QString, QStringList> m_groups;
    QStringList m_order;
};
