#include "ui/RulesView.h"

#include "controller/MihomoManager.h"
#include "ui/Badge.h"
#include "ui/Card.h"
#include "ui/DisplayText.h"
#include "ui/ElidedLabel.h"
#include "ui/PlainButton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

using Theme::TextStyle;
using Theme::Tone;
using Theme::Weight;

namespace {

constexpr Theme::Paint Primary{Tone::Primary, 1.0};
constexpr Theme::Paint Secondary{Tone::Secondary, 1.0};
constexpr int ListHeight = 150;

ElidedLabel* label(const QString& text, const QFont& font, Theme::Paint paint, QWidget* parent,
                   int maxLines = 1) {
    auto* result = new ElidedLabel(maxLines, parent);
    result->setTextFont(font);
    result->setForeground(paint);
    result->setText(text);
    return result;
}

// Push buttons at the height of the line edit, so the fixed-size sheet holds every row.
QPushButton* compact(QPushButton* button) {
    button->setFixedHeight(22);
    return button;
}

int indexOf(CustomRuleAction action) {
    for (int index = 0; index < int(std::size(allCustomRuleActions)); ++index)
        if (allCustomRuleActions[index] == action)
            return index;
    return 0;
}

} // namespace

RulesView::RulesView(MihomoManager& manager, QWidget* parent)
    : QWidget(parent), m_manager(manager) {
    setFixedSize(FixedSize);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(18, 18, 18, 18);
    column->setSpacing(14);

    auto* titleRow = new QHBoxLayout;
    titleRow->addWidget(label(QStringLiteral("附属规则与分流兼容"),
                              Theme::font(TextStyle::Headline), Primary, this));
    titleRow->addStretch(1);
    auto* done = compact(new QPushButton(QStringLiteral("完成"), this));
    done->setObjectName(QStringLiteral("doneButton"));
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, [this] { m_manager.setShowRules(false); });
    titleRow->addWidget(done);
    column->addLayout(titleRow);

    buildAddRow(column);
    buildOptions(column);
    column->addWidget(new Divider(this));

    m_rulesHeading =
        label(QString(), Theme::font(TextStyle::Subheadline, Weight::Medium), Primary, this);
    m_rulesHeading->setObjectName(QStringLiteral("rulesHeading"));
    column->addWidget(m_rulesHeading);
    m_rulesList = buildList(QStringLiteral("rulesList"), QStringLiteral("自定义规则"));
    column->addWidget(m_rulesList);

    auto* connectionsHeader = new QHBoxLayout;
    connectionsHeader->addWidget(label(QStringLiteral("最近活跃连接"),
                                       Theme::font(TextStyle::Subheadline, Weight::Medium), Primary,
                                       this));
    connectionsHeader->addStretch(1);
    auto* refresh = compact(new QPushButton(QStringLiteral("刷新"), this));
    refresh->setObjectName(QStringLiteral("refreshConnectionsButton"));
    refresh->setAccessibleName(QStringLiteral("刷新最近活跃连接"));
    refresh->setFont(Theme::font(TextStyle::Caption));
    refresh->setAutoDefault(false);
    connect(refresh, &QPushButton::clicked, this, [this] { m_manager.refreshConnections(); });
    connectionsHeader->addWidget(refresh);
    column->addLayout(connectionsHeader);
    m_connectionsList =
        buildList(QStringLiteral("connectionsList"), QStringLiteral("最近活跃连接"));
    column->addWidget(m_connectionsList);
    column->addStretch(1);

    connectController();
    renderInput();
    renderAction();
    renderConfig();
    renderConnections();
}

void RulesView::buildAddRow(QVBoxLayout* column) {
    auto* row = new QHBoxLayout;
    row->setSpacing(8);

    m_ruleInput = new QLineEdit(this);
    m_ruleInput->setObjectName(QStringLiteral("ruleInput"));
    m_ruleInput->setAccessibleName(QStringLiteral("新规则"));
    m_ruleInput->setPlaceholderText(
        QStringLiteral("输入域名、IP/CIDR（如 baidu.com、10.0.0.0/8）"));
    m_ruleInput->setClearButtonEnabled(true);
    // No returnPressed handler: Return belongs to the sheet's default button, never to adding.
    connect(m_ruleInput, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (text != m_manager.newRuleInput())
            m_manager.setNewRuleInput(text);
    });
    row->addWidget(m_ruleInput, 1);

    m_actionSelector = new QComboBox(this);
    m_actionSelector->setObjectName(QStringLiteral("ruleActionSelector"));
    m_actionSelector->setAccessibleName(QStringLiteral("规则动作"));
    m_actionSelector->setFixedWidth(82);
    for (CustomRuleAction action : allCustomRuleActions)
        m_actionSelector->addItem(title(action));
    connect(m_actionSelector, &QComboBox::activated, this, [this](int index) {
        m_manager.setNewRuleAction(allCustomRuleActions[index]);
        renderAction();
    });
    row->addWidget(m_actionSelector);

    m_addButton = compact(new QPushButton(QStringLiteral("添加"), this));
    m_addButton->setObjectName(QStringLiteral("addRuleButton"));
    m_addButton->setAutoDefault(false);
    connect(m_addButton, &QPushButton::clicked, this, &RulesView::addRule);
    row->addWidget(m_addButton);
    column->addLayout(row);
}

void RulesView::buildOptions(QVBoxLayout* column) {
    auto* block = new QWidget(this);
    auto* options = new QVBoxLayout(block);
    options->setContentsMargins(0, 0, 0, 0);
    options->setSpacing(8);
    auto makeCheck = [&](const QString& name, const QString& text, bool AppConfig::*field) {
        auto* check = new QCheckBox(text, block);
        check->setObjectName(name);
        check->setFont(Theme::font(TextStyle::Subheadline));
        check->setFixedHeight(18);
        connect(check, &QCheckBox::clicked, this,
                [this, field](bool checked) { setOption(field, checked); });
        options->addWidget(check, 0, Qt::AlignHCenter);
        return check;
    };
    m_bypassAppleCheck =
        makeCheck(QStringLiteral("bypassAppleCheck"),
                  QStringLiteral("Apple 中国与本地鉴权域名直连"), &AppConfig::bypassAppleCN);
    m_blockQuicCheck =
        makeCheck(QStringLiteral("blockQuicCheck"),
                  QStringLiteral("屏蔽 QUIC (UDP 443) 避免部分网站卡顿"), &AppConfig::blockQuic);
    column->addWidget(block, 0, Qt::AlignLeft);
}

QScrollArea* RulesView::buildList(const QString& name, const QString& accessibleName) {
    auto* list = new QScrollArea(this);
    list->setObjectName(name);
    list->setAccessibleName(accessibleName);
    list->setFixedHeight(ListHeight);
    list->setWidgetResizable(true);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setBackgroundRole(QPalette::Base);
    return list;
}

void RulesView::replaceRows(QScrollArea* list, QWidget* rows) {
    if (QWidget* old = list->takeWidget())
        old->deleteLater();
    list->setWidget(rows);
}

void RulesView::connectController() {
    MihomoManager* m = &m_manager;
    connect(m, &MihomoManager::newRuleInputChanged, this, &RulesView::renderInput);
    connect(m, &MihomoManager::newRuleActionChanged, this, &RulesView::renderAction);
    connect(m, &MihomoManager::configChanged, this, &RulesView::renderConfig);
    connect(m, &MihomoManager::recentConnectionsChanged, this, &RulesView::renderConnections);
    connect(m, &MihomoManager::isConnectedChanged, this, &RulesView::renderConnections);
}

void RulesView::renderInput() {
    const QString input = m_manager.newRuleInput();
    // Only a different text is set, so typing keeps its cursor position.
    if (m_ruleInput->text() != input)
        m_ruleInput->setText(input);
    m_addButton->setEnabled(!input.trimmed().isEmpty());
}

void RulesView::renderAction() {
    m_actionSelector->setCurrentIndex(indexOf(m_manager.newRuleAction()));
}

void RulesView::renderConfig() {
    const AppConfig& config = m_manager.config();
    m_bypassAppleCheck->setChecked(config.bypassAppleCN);
    m_blockQuicCheck->setChecked(config.blockQuic);
    m_rulesHeading->setText(QStringLiteral("自定义规则 (%1)").arg(config.customRules.size()));

    auto* rows = new QWidget;
    auto* layout = new QVBoxLayout(rows);
    layout->setContentsMargins(10, 6, 10, 6);
    layout->setSpacing(4);
    if (config.customRules.isEmpty()) {
        auto* hint = label(
            QStringLiteral("暂无自定义规则；若有国内网站开 TUN 后打不开，填在上方设为直连即可。"),
            Theme::font(TextStyle::Caption), Secondary, rows, 3);
        hint->setObjectName(QStringLiteral("rulesEmptyLabel"));
        layout->addWidget(hint);
    } else {
        for (const CustomRule& rule : config.customRules)
            layout->addWidget(ruleRow(rule, rows));
    }
    layout->addStretch(1);
    replaceRows(m_rulesList, rows);
}

QWidget* RulesView::ruleRow(const CustomRule& rule, QWidget* parent) {
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("ruleRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 2, 0, 2);

    const bool direct = rule.action == CustomRuleAction::Direct;
    auto* badge = new Badge(title(rule.action), {direct ? Tone::Green : Tone::Blue, 0.18}, row);
    badge->setObjectName(QStringLiteral("ruleBadge"));
    layout->addWidget(badge);

    auto* pattern = label(rule.pattern, Theme::monospaced(TextStyle::Subheadline), Primary, row);
    pattern->setObjectName(QStringLiteral("rulePattern"));
    layout->addWidget(pattern, 1);

    auto* remove = new PlainButton(row);
    remove->setObjectName(QStringLiteral("removeRuleButton"));
    remove->setIconName(QStringLiteral("trash"), 14);
    remove->setForeground(Secondary);
    remove->setPadding({3, 3, 3, 3});
    remove->setToolTip(QStringLiteral("删除规则"));
    remove->setAccessibleName(QStringLiteral("删除规则 ") + rule.pattern);
    connect(remove, &QAbstractButton::clicked, this,
            [this, rule] { m_manager.removeCustomRule(rule); });
    layout->addWidget(remove);
    return row;
}

void RulesView::renderConnections() {
    const ConnectionItems& items = m_manager.recentConnections();
    auto* rows = new QWidget;
    auto* layout = new QVBoxLayout(rows);
    layout->setContentsMargins(10, 6, 10, 6);
    layout->setSpacing(4);
    if (items.isEmpty()) {
        const QString text = m_manager.isConnected()
                                 ? QStringLiteral("暂无活跃连接")
                                 : QStringLiteral("连接后可查看实时域名并一键设为直连");
        auto* hint = label(text, Theme::font(TextStyle::Caption), Secondary, rows, 3);
        hint->setObjectName(QStringLiteral("connectionsEmptyLabel"));
        layout->addWidget(hint);
    } else {
        for (const ActiveConnectionItem& item : items)
            layout->addWidget(connectionRow(item, rows));
    }
    layout->addStretch(1);
    replaceRows(m_connectionsList, rows);
}

QWidget* RulesView::connectionRow(const ActiveConnectionItem& item, QWidget* parent) {
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("connectionRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 2, 0, 2);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    // Shown escaped (a right-to-left override could pass for another domain); the button
    // below still acts on the name as received.
    auto* host =
        label(DisplayText::visible(item.host), Theme::monospaced(TextStyle::Caption), Primary, row);
    host->setObjectName(QStringLiteral("connectionHost"));
    texts->addWidget(host);
    auto* detail = label(DisplayText::visible(item.chain + QStringLiteral(" · ") + item.rule),
                         Theme::font(TextStyle::Caption2), Secondary, row);
    detail->setObjectName(QStringLiteral("connectionDetail"));
    texts->addWidget(detail);
    layout->addLayout(texts, 1);

    auto* direct = compact(new QPushButton(QStringLiteral("设为直连"), row));
    direct->setObjectName(QStringLiteral("directButton"));
    direct->setAccessibleName(QStringLiteral("设为直连 ") + DisplayText::visible(item.host));
    direct->setFont(Theme::font(TextStyle::Caption));
    direct->setAutoDefault(false);
    const QString hostName = item.host;
    connect(direct, &QPushButton::clicked, this,
            [this, hostName] { m_manager.addCustomRule(hostName, CustomRuleAction::Direct); });
    layout->addWidget(direct);
    return row;
}

void RulesView::addRule() {
    // Handed over as typed: normalising the pattern is the controller's job.
    m_manager.addCustomRule(m_manager.newRuleInput(), m_manager.newRuleAction());
    m_manager.setNewRuleInput(QString());
}

void RulesView::setOption(bool AppConfig::*field, bool value) {
    AppConfig config = m_manager.config();
    config.*field = value;
    m_manager.setConfig(config);
    m_manager.applyRulesAndReload();
}
