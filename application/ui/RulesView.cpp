#include "ui/RulesView.h"

#include "config/RuleParser.h"
#include "controller/MihomoManager.h"
#include "ui/CapsuleButton.h"
#include "ui/Card.h"
#include "ui/CheckBox.h"
#include "ui/CustomRuleList.h"
#include "ui/CustomRulesModel.h"
#include "ui/DisplayText.h"
#include "ui/ElidedLabel.h"

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
constexpr int RefusalHeight = 14;
constexpr int RefusalGap = 4;

ElidedLabel* label(const QString& text, const QFont& font, Theme::Paint paint, QWidget* parent,
                   int maxLines = 1) {
    auto* result = new ElidedLabel(maxLines, parent);
    result->setTextFont(font);
    result->setForeground(paint);
    result->setText(text);
    return result;
}

// Push buttons at the height of the line edit, so the fixed-size sheet holds every row.
CapsuleButton* compact(CapsuleButton* button) {
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
    auto* done = compact(new CapsuleButton(QStringLiteral("完成"), this));
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
    m_rulesModel = new CustomRulesModel(this);
    m_rulesList = new CustomRuleList(
        m_rulesModel,
        QStringLiteral("暂无自定义规则；若有国内网站开 TUN 后打不开，填在上方设为直连即可。"),
        this);
    m_rulesList->setObjectName(QStringLiteral("rulesList"));
    m_rulesList->setAccessibleName(QStringLiteral("自定义规则"));
    m_rulesList->setFixedHeight(ListHeight);
    connect(m_rulesList, &CustomRuleList::removeRequested, this, [this](int row) {
        if (row >= 0 && row < m_rulesModel->rowCount())
            m_manager.removeCustomRule(CustomRule(m_rulesModel->rule(row)));
    });
    column->addWidget(m_rulesList);

    auto* connectionsHeader = new QHBoxLayout;
    connectionsHeader->addWidget(label(QStringLiteral("最近活跃连接"),
                                       Theme::font(TextStyle::Subheadline, Weight::Medium), Primary,
                                       this));
    connectionsHeader->addStretch(1);
    auto* refresh = compact(new CapsuleButton(QStringLiteral("刷新"), this));
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
    // No clear button: its reserved room would cut the placeholder in the fixed-width sheet.
    // No returnPressed handler: Return belongs to the sheet's default button, never to adding.
    // textChanged, not textEdited: text set by a screen reader or an input method counts too.
    connect(m_ruleInput, &QLineEdit::textChanged, this, [this](const QString& text) {
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
    connect(m_actionSelector, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0 || allCustomRuleActions[index] == m_manager.newRuleAction())
            return;
        m_manager.setNewRuleAction(allCustomRuleActions[index]);
        renderAction();
    });
    row->addWidget(m_actionSelector);

    m_addButton = compact(new CapsuleButton(QStringLiteral("添加"), this));
    m_addButton->setObjectName(QStringLiteral("addRuleButton"));
    m_addButton->setAutoDefault(false);
    connect(m_addButton, &QPushButton::clicked, this, &RulesView::addRule);
    row->addWidget(m_addButton);
    // The add row and, under it while a pattern was refused, one line saying why.
    auto* block = new QVBoxLayout;
    block->setSpacing(RefusalGap);
    block->addLayout(row);
    m_refusalLabel = label(QString(), Theme::font(TextStyle::Caption), {Tone::Red, 1.0}, this);
    m_refusalLabel->setObjectName(QStringLiteral("ruleRefusalLabel"));
    m_refusalLabel->setFixedHeight(RefusalHeight);
    m_refusalLabel->hide();
    block->addWidget(m_refusalLabel);
    column->addLayout(block);
}

void RulesView::buildOptions(QVBoxLayout* column) {
    auto* block = new QWidget(this);
    auto* options = new QVBoxLayout(block);
    options->setContentsMargins(0, 0, 0, 0);
    options->setSpacing(8);
    auto makeCheck = [&](const QString& name, const QString& text, bool AppConfig::*field) {
        auto* check = new CheckBox(text, block);
        check->setObjectName(name);
        check->setFont(Theme::font(TextStyle::Subheadline));
        // toggled, not clicked: a screen reader's Toggle action changes the box without a click.
        connect(check, &QCheckBox::toggled, this, [this, field](bool checked) {
            if (checked != m_manager.config().*field)
                setOption(field, checked);
        });
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
    list->setFrameShape(QFrame::NoFrame);
    list->viewport()->setAutoFillBackground(false);
    return list;
}

void RulesView::replaceRows(QScrollArea* list, QWidget* rows) {
    if (QWidget* old = list->takeWidget())
        old->deleteLater();
    list->setWidget(rows);
    rows->setAutoFillBackground(false); // the rows are cards on the sheet itself
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
    if (input != m_refusedInput) {
        m_refusedInput.clear();
        showRefusal(QString());
    }
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
    m_rulesModel->setRules(config.customRules);
}

void RulesView::renderConnections() {
    const ConnectionItems& items = m_manager.recentConnections();
    auto* rows = new QWidget;
    auto* layout = new QVBoxLayout(rows);
    layout->setContentsMargins(0, 2, 0, 2);
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
    auto* row = new Card(9, parent);
    row->setObjectName(QStringLiteral("connectionRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(10, 4, 8, 4);

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

    auto* direct = compact(new CapsuleButton(QStringLiteral("设为直连"), row));
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
    const QString input = m_manager.newRuleInput();
    // A pattern the controller would refuse keeps the input, so it can be corrected.
    const QString reason = RuleParser::refusalReason(RuleParser::normalizePattern(input));
    if (!reason.isEmpty()) {
        m_refusedInput = input;
        showRefusal(QStringLiteral("规则格式不正确：") + reason);
        return;
    }
    // Handed over as typed: normalising the pattern is the controller's job.
    m_manager.addCustomRule(input, m_manager.newRuleAction());
    m_manager.setNewRuleInput(QString());
}

void RulesView::showRefusal(const QString& text) {
    if (m_refusalLabel->text() == text && m_refusalLabel->isVisibleTo(this) == !text.isEmpty())
        return;
    m_refusalLabel->setText(text);
    m_refusalLabel->setAccessibleName(text);
    m_refusalLabel->setVisible(!text.isEmpty());
    // The fixed-size sheet makes room for the line by shortening the rules list.
    m_rulesList->setFixedHeight(text.isEmpty() ? ListHeight
                                               : ListHeight - RefusalHeight - RefusalGap);
}

void RulesView::setOption(bool AppConfig::*field, bool value) {
    AppConfig config = m_manager.config();
    config.*field = value;
    m_manager.setConfig(config);
    m_manager.applyRulesAndReload();
}
