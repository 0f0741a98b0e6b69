#pragma once

#include "config/AppConfig.h"

#include <QAbstractListModel>

// The custom rules as list rows. setRules() compares the new list with the shown one and reports
// only the rows that changed, so adding or removing one rule of a long list touches one row, and
// a view keeps its scroll position and selection.
class CustomRulesModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { IsDirectRole = Qt::UserRole + 1 };

    explicit CustomRulesModel(QObject* parent = nullptr);

    void setRules(const QList<CustomRule>& rules);
    const CustomRule& rule(int row) const { return m_rules.at(row); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    QList<CustomRule> m_rules;
};
