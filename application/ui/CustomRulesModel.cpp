#include "ui/CustomRulesModel.h"

CustomRulesModel::CustomRulesModel(QObject* parent) : QAbstractListModel(parent) {}

void CustomRulesModel::setRules(const QList<CustomRule>& rules) {
    // Settings changes that leave the rules alone hand over the very same list.
    if (rules.isSharedWith(m_rules))
        return;
    const qsizetype oldCount = m_rules.size();
    const qsizetype newCount = rules.size();
    const qsizetype shorter = qMin(oldCount, newCount);
    qsizetype head = 0;
    while (head < shorter && m_rules[head] == rules[head])
        ++head;
    qsizetype tail = 0;
    while (tail < shorter - head && m_rules[oldCount - 1 - tail] == rules[newCount - 1 - tail])
        ++tail;
    const qsizetype removed = oldCount - head - tail;
    const qsizetype inserted = newCount - head - tail;

    if (removed == inserted) {
        m_rules = rules;
        if (removed > 0)
            emit dataChanged(index(int(head)), index(int(head + removed - 1)));
        return;
    }
    if (removed > 0) {
        beginRemoveRows({}, int(head), int(head + removed - 1));
        m_rules.remove(head, removed);
        endRemoveRows();
    }
    if (inserted > 0) {
        beginInsertRows({}, int(head), int(head + inserted - 1));
        m_rules = rules;
        endInsertRows();
    } else {
        m_rules = rules; // share the controller's list again
    }
}

int CustomRulesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rules.size());
}

QVariant CustomRulesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rules.size())
        return {};
    const CustomRule& rule = m_rules[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return rule.pattern;
    case Qt::AccessibleTextRole:
        return title(rule.action) + u' ' + rule.pattern;
    case Qt::AccessibleDescriptionRole:
        return QStringLiteral("按 Delete 键删除此规则");
    case IsDirectRole:
        return rule.action == CustomRuleAction::Direct;
    default:
        return {};
    }
}
