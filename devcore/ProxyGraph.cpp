#include "ProxyGraph.h"

namespace {
const QString kDirect = QStringLiteral("DIRECT");
const QString kReject = QStringLiteral("REJECT");
} // namespace

ProxyGraph::ProxyGraph(const std::vector<ProxyNode>& nodes, const std::vector<ProxyGroup>& groups) {
    for (const ProxyGroup& group : groups) {
        m_groups.insert(group.name, group.members);
        m_order << group.name;
    }
    for (const ProxyNode& node : nodes) {
        m_nodes.insert(node.name, node);
        m_order << node.name;
    }
}

bool ProxyGraph::contains(const QString& name) const {
    return name == kDirect || name == kReject || m_nodes.contains(name) || m_groups.contains(name);
}

QStringList ProxyGraph::chain(const QString& name) const {
    QStringList groups;
    QString current = name;
    while (m_groups.contains(current)) {
        if (groups.contains(current))
            return {};
        groups << current;
        current = m_groups.value(current).value(0);
    }
    if (!contains(current))
        return {};
    QStringList result{current};
    for (auto it = groups.crbegin(); it != groups.crend(); ++it)
        result << *it;
    return result;
}

const ProxyNode* ProxyGraph::endNode(const QString& name) const {
    const QStringList names = chain(name);
    if (names.isEmpty())
        return nullptr;
    const auto it = m_nodes.constFind(names.first());
    return it == m_nodes.cend() ? nullptr : &*it;
}

QStringList ProxyGraph::selectableNames() const {
    return QStringList{kDirect, kReject} + m_order;
}
