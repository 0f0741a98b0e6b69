#pragma once

#include "config/AppConfig.h"
#include "monitoring/MonitoringTypes.h"

#include <QWidget>

class MihomoManager;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class ElidedLabel;

// The rules sheet: adds and removes custom rules, the two routing options and the recent
// connections with their one-click direct rule. It shows and edits controller state only.
class RulesView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize FixedSize{470, 560};

    explicit RulesView(MihomoManager& manager, QWidget* parent = nullptr);

private:
    void buildAddRow(QVBoxLayout* column);
    void buildOptions(QVBoxLayout* column);
    QScrollArea* buildList(const QString& name, const QString& accessibleName);
    // Swaps the list's rows; the old ones go later, as one of their buttons may be mid-click.
    void replaceRows(QScrollArea* list, QWidget* rows);
    QWidget* ruleRow(const CustomRule& rule, QWidget* parent);
    QWidget* connectionRow(const ActiveConnectionItem& item, QWidget* parent);
    void connectController();

    void renderInput();
    void renderAction();
    void renderConfig();
    void renderConnections();
    void addRule();
    void setOption(bool AppConfig::*field, bool value);

    MihomoManager& m_manager;
    QLineEdit* m_ruleInput = nullptr;
    QComboBox* m_actionSelector = nullptr;
    QPushButton* m_addButton = nullptr;
    QCheckBox* m_bypassAppleCheck = nullptr;
    QCheckBox* m_blockQuicCheck = nullptr;
    ElidedLabel* m_rulesHeading = nullptr;
    QScrollArea* m_rulesList = nullptr;
    QScrollArea* m_connectionsList = nullptr;
};
