#include "ui/ContentView.h"

#include "controller/MihomoManager.h"
#include "monitoring/ByteFormatter.h"
#include "ui/Card.h"
#include "ui/ElidedLabel.h"
#include "ui/PlainButton.h"
#include "ui/PowerButton.h"
#include "ui/QuotaBar.h"
#include "ui/RulesView.h"
#include "ui/SegmentedControl.h"
#include "ui/SettingsView.h"
#include "ui/Sheet.h"
#include "ui/SwitchButton.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

using Theme::TextStyle;
using Theme::Tone;
using Theme::Weight;

namespace {

// The allowance the card's heading names, used while no quota has arrived.
constexpr double DefaultQuotaBytes = 6e12;
constexpr double QuotaWarningFraction = 0.85;

double quotaFraction(const OptionalQuota& quota) {
    const double used = quota ? double(quota->usedBytes) : 0.0;
    const double total = quota ? double(qMax<qint64>(quota->quotaBytes, 1)) : DefaultQuotaBytes;
    const double fraction = used / total;
    if (!(fraction >= 0)) // negative or not a number
        return 0;
    return qMin(fraction, 1.0);
}

QString latencyText(const OptionalLatency& latency, bool connected) {
    if (latency)
        return QStringLiteral("%1 ms").arg(*latency);
    return connected ? QStringLiteral("测速") : QStringLiteral("离线");
}

ElidedLabel* label(const QString& text, QFont font, Theme::Paint paint = {Tone::Primary, 1.0},
                   QWidget* parent = nullptr) {
    auto* result = new ElidedLabel(1, parent);
    result->setTextFont(font);
    result->setForeground(paint);
    result->setText(text);
    return result;
}

constexpr Theme::Paint Secondary{Tone::Secondary, 1.0};

} // namespace

ContentView::ContentView(MihomoManager& manager, QWidget* parent)
    : QWidget(parent), m_manager(manager) {
    setFixedSize(FixedSize);
    setBackgroundRole(QPalette::Window);
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    column->addWidget(buildHeaderBar());
    column->addWidget(buildPowerCard());
    column->addWidget(buildQuotaCard());
    column->addWidget(buildModeCard());
    column->addWidget(buildBottomBar());

    m_errorLabel = new ElidedLabel(2, this);
    m_errorLabel->setObjectName(QStringLiteral("errorLabel"));
    m_errorLabel->setTextFont(Theme::font(TextStyle::Caption));
    m_errorLabel->setForeground({Tone::Red, 1.0});
    m_errorLabel->setContentsMargins(4, 0, 4, 0);
    m_errorLabel->setAccessibleName(QStringLiteral("错误"));
    column->addWidget(m_errorLabel);
    column->addStretch(1);

    m_settingsSheet = new SheetBinding(
        [this] {
            auto* sheet =
                new Sheet(SettingsView::FixedSize, QStringLiteral("账号与常规设置"), this);
            sheet->setObjectName(QStringLiteral("settingsSheet"));
            sheet->setContent(new SettingsView(m_manager, sheet));
            return sheet;
        },
        [this] { return m_manager.showSettings(); }, [this] { m_manager.setShowSettings(false); },
        this);
    m_rulesSheet = new SheetBinding(
        [this] {
            auto* sheet =
                new Sheet(RulesView::FixedSize, QStringLiteral("附属规则与分流兼容"), this);
            sheet->setObjectName(QStringLiteral("rulesSheet"));
            sheet->setContent(new RulesView(m_manager, sheet));
            return sheet;
        },
        [this] { return m_manager.showRules(); }, [this] { m_manager.setShowRules(false); }, this);

    connectController();
    renderConnection();
    renderSpeeds();
    renderQuota();
    renderSettings();
    renderError();
    m_settingsSheet->sync();
    m_rulesSheet->sync();
}

QWidget* ContentView::buildHeaderBar() {
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("headerBar"));
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(label(QStringLiteral("Miravo VPN"),
                            Theme::font(TextStyle::Title3, Weight::Semibold), {Tone::Primary, 1.0},
                            bar));
    titles->addWidget(label(QStringLiteral("洛杉矶 DC4 · VLESS REALITY"),
                            Theme::font(TextStyle::Caption), Secondary, bar));
    row->addLayout(titles);
    row->addStretch(1);

    m_latencyPill = new PlainButton(bar);
    m_latencyPill->setObjectName(QStringLiteral("latencyPill"));
    m_latencyPill->setBackground(PlainButton::Background::Capsule);
    m_latencyPill->setTextFont(Theme::font(TextStyle::Caption));
    m_latencyPill->setPadding({10, 5, 10, 5});
    m_latencyPill->setSpacing(4);
    m_latencyPill->setToolTip(QStringLiteral("测速"));
    m_latencyPill->setAccessibleName(QStringLiteral("测速"));
    connect(m_latencyPill, &QAbstractButton::clicked, this, [this] { m_manager.testLatency(); });
    row->addWidget(m_latencyPill);

    auto* settings = new PlainButton(bar);
    settings->setObjectName(QStringLiteral("settingsButton"));
    settings->setBackground(PlainButton::Background::Circle);
    settings->setIconName(QStringLiteral("gearshape"), 15);
    settings->setPadding({7, 7, 7, 7});
    settings->setToolTip(QStringLiteral("设置"));
    settings->setAccessibleName(QStringLiteral("设置"));
    connect(settings, &QAbstractButton::clicked, this, [this] { m_manager.setShowSettings(true); });
    row->addWidget(settings);
    return bar;
}

QWidget* ContentView::buildPowerCard() {
    auto* card = new Card(16, this);
    card->setObjectName(QStringLiteral("powerCard"));
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(0, 18, 0, 18);
    column->setSpacing(14);

    m_powerButton = new PowerButton(card);
    m_powerButton->setObjectName(QStringLiteral("powerButton"));
    connect(m_powerButton, &QAbstractButton::clicked, this,
            [this] { m_manager.toggleConnection(); });
    column->addWidget(m_powerButton, 0, Qt::AlignHCenter);

    m_statusLabel = label(QString(), Theme::font(TextStyle::Headline), {Tone::Primary, 1.0}, card);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setAlignment(Qt::AlignCenter);
    m_statusLabel->setContentsMargins(12, 0, 12, 0);
    column->addWidget(m_statusLabel);

    auto* speeds = new QHBoxLayout;
    speeds->setSpacing(24);
    speeds->addStretch(1);
    m_upSpeedLabel = label(QString(), Theme::font(TextStyle::Caption), Secondary, card);
    m_upSpeedLabel->setObjectName(QStringLiteral("upSpeedLabel"));
    m_upSpeedLabel->setIcon(QStringLiteral("arrow.up"), 11, 4);
    m_downSpeedLabel = label(QString(), Theme::font(TextStyle::Caption), Secondary, card);
    m_downSpeedLabel->setObjectName(QStringLiteral("downSpeedLabel"));
    m_downSpeedLabel->setIcon(QStringLiteral("arrow.down"), 11, 4);
    speeds->addWidget(m_upSpeedLabel);
    speeds->addWidget(m_downSpeedLabel);
    speeds->addStretch(1);
    column->addLayout(speeds);
    return card;
}

QWidget* ContentView::buildQuotaCard() {
    auto* card = new Card(14, this);
    card->setObjectName(QStringLiteral("quotaCard"));
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);

    auto* header = new QHBoxLayout;
    header->addWidget(label(QStringLiteral("月度流量 (6 TB)"),
                            Theme::font(TextStyle::Subheadline, Weight::Medium),
                            {Tone::Primary, 1.0}, card));
    header->addStretch(1);
    m_quotaResetLabel = label(QString(), Theme::font(TextStyle::Caption), Secondary, card);
    m_quotaResetLabel->setObjectName(QStringLiteral("quotaResetLabel"));
    header->addWidget(m_quotaResetLabel);
    auto* refresh = new PlainButton(card);
    refresh->setObjectName(QStringLiteral("quotaRefreshButton"));
    refresh->setIconName(QStringLiteral("arrow.clockwise"), 12);
    refresh->setForeground(Secondary);
    refresh->setPadding({2, 2, 2, 2});
    refresh->setToolTip(QStringLiteral("刷新"));
    refresh->setAccessibleName(QStringLiteral("刷新流量"));
    connect(refresh, &QAbstractButton::clicked, this, [this] { m_manager.refreshQuota(); });
    header->addWidget(refresh);
    column->addLayout(header);

    m_quotaBar = new QuotaBar(card);
    m_quotaBar->setObjectName(QStringLiteral("quotaBar"));
    m_quotaBar->setAccessibleName(QStringLiteral("月度流量"));
    column->addWidget(m_quotaBar);

    auto* numbers = new QHBoxLayout;
    m_quotaUsedLabel =
        label(QString(), Theme::font(TextStyle::Caption), {Tone::Primary, 1.0}, card);
    m_quotaUsedLabel->setObjectName(QStringLiteral("quotaUsedLabel"));
    // A long quota error elides; the short used figure never does.
    m_quotaUsedLabel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    m_quotaRightLabel = label(QString(), Theme::font(TextStyle::Caption), Secondary, card);
    m_quotaRightLabel->setObjectName(QStringLiteral("quotaRightLabel"));
    m_quotaRightLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    numbers->addWidget(m_quotaUsedLabel);
    numbers->addStretch(1);
    numbers->addWidget(m_quotaRightLabel, 0);
    column->addLayout(numbers);
    return card;
}

QWidget* ContentView::buildModeCard() {
    auto* card = new Card(14, this);
    card->setObjectName(QStringLiteral("modeCard"));
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(12);

    auto* modeRow = new QHBoxLayout;
    modeRow->addWidget(label(QStringLiteral("代理模式"),
                             Theme::font(TextStyle::Subheadline, Weight::Medium),
                             {Tone::Primary, 1.0}, card));
    modeRow->addStretch(1);
    QStringList titles;
    for (ProxyMode mode : allProxyModes)
        titles << title(mode);
    m_modeSelector = new SegmentedControl(titles, card);
    m_modeSelector->setObjectName(QStringLiteral("modeSelector"));
    m_modeSelector->setAccessibleName(QStringLiteral("代理模式"));
    m_modeSelector->setFixedWidth(180);
    connect(m_modeSelector, &SegmentedControl::activated, this, [this](int index) {
        m_manager.switchMode(allProxyModes[index]);
        renderSettings(); // the selection shows whatever `mode` holds now
    });
    modeRow->addWidget(m_modeSelector);
    column->addLayout(modeRow);
    column->addWidget(new Divider(card));

    auto* tunRow = new QHBoxLayout;
    auto* tunLabels = new QVBoxLayout;
    tunLabels->setSpacing(2);
    tunLabels->addWidget(label(QStringLiteral("虚拟网卡 (TUN 模式)"),
                               Theme::font(TextStyle::Subheadline, Weight::Medium),
                               {Tone::Primary, 1.0}, card));
    m_tunSubtitleLabel = label(QString(), Theme::font(TextStyle::Caption), Secondary, card);
    m_tunSubtitleLabel->setObjectName(QStringLiteral("tunSubtitleLabel"));
    tunLabels->addWidget(m_tunSubtitleLabel);
    tunRow->addLayout(tunLabels, 1);
    m_tunSwitch = new SwitchButton(card);
    m_tunSwitch->setObjectName(QStringLiteral("tunSwitch"));
    m_tunSwitch->setAccessibleName(QStringLiteral("虚拟网卡 (TUN 模式)"));
    connect(m_tunSwitch, &QAbstractButton::clicked, this, [this] {
        m_manager.toggleTun(!m_manager.config().tunEnabled);
        renderSettings();
    });
    tunRow->addWidget(m_tunSwitch, 0, Qt::AlignVCenter);
    column->addLayout(tunRow);
    return card;
}

QWidget* ContentView::buildBottomBar() {
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("bottomBar"));
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);

    auto makeButton = [bar](const QString& name) {
        auto* button = new PlainButton(bar);
        button->setObjectName(name);
        button->setBackground(PlainButton::Background::Card, 10);
        button->setTextFont(Theme::font(TextStyle::Subheadline));
        button->setPadding({8, 9, 8, 9});
        // Ignored width: the two buttons share the row equally whatever their texts.
        button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        return button;
    };
    m_rulesButton = makeButton(QStringLiteral("rulesButton"));
    m_rulesButton->setIconName(QStringLiteral("list.bullet.rectangle"), 14);
    connect(m_rulesButton, &QAbstractButton::clicked, this, [this] {
        m_manager.refreshConnections();
        m_manager.setShowRules(true);
    });
    m_lanButton = makeButton(QStringLiteral("lanButton"));
    m_lanButton->setSpacing(5);
    connect(m_lanButton, &QAbstractButton::clicked, this, &ContentView::toggleAllowLan);
    row->addWidget(m_rulesButton, 1);
    row->addWidget(m_lanButton, 1);
    return bar;
}

void ContentView::connectController() {
    MihomoManager* m = &m_manager;
    connect(m, &MihomoManager::isConnectedChanged, this, &ContentView::renderConnection);
    connect(m, &MihomoManager::isBusyChanged, this, &ContentView::renderConnection);
    connect(m, &MihomoManager::latencyMsChanged, this, &ContentView::renderConnection);
    connect(m, &MihomoManager::statusMessageChanged, this, &ContentView::renderConnection);
    connect(m, &MihomoManager::upSpeedChanged, this, &ContentView::renderSpeeds);
    connect(m, &MihomoManager::downSpeedChanged, this, &ContentView::renderSpeeds);
    connect(m, &MihomoManager::quotaChanged, this, &ContentView::renderQuota);
    connect(m, &MihomoManager::quotaErrorChanged, this, &ContentView::renderQuota);
    connect(m, &MihomoManager::configChanged, this, &ContentView::renderSettings);
    connect(m, &MihomoManager::errorMessageChanged, this, &ContentView::renderError);
    connect(m, &MihomoManager::showSettingsChanged, this, [this] { m_settingsSheet->sync(); });
    connect(m, &MihomoManager::showRulesChanged, this, [this] { m_rulesSheet->sync(); });
}

void ContentView::renderConnection() {
    const bool connected = m_manager.isConnected();
    m_powerButton->setConnected(connected);
    m_powerButton->setEnabled(!m_manager.isBusy());
    const QString action = connected ? QStringLiteral("断开连接") : QStringLiteral("连接");
    m_powerButton->setToolTip(action);
    m_powerButton->setAccessibleName(action);
    m_statusLabel->setText(m_manager.statusMessage());
    m_latencyPill->setDot(connected ? Theme::Paint{Tone::Green, 1.0}
                                    : Theme::Paint{Tone::Gray, 0.5});
    m_latencyPill->setText(latencyText(m_manager.latencyMs(), connected));
}

void ContentView::renderSpeeds() {
    m_upSpeedLabel->setText(ByteFormatter::speed(m_manager.upSpeed()));
    m_upSpeedLabel->setAccessibleName(QStringLiteral("上传 ") + m_upSpeedLabel->text());
    m_downSpeedLabel->setText(ByteFormatter::speed(m_manager.downSpeed()));
    m_downSpeedLabel->setAccessibleName(QStringLiteral("下载 ") + m_downSpeedLabel->text());
}

void ContentView::renderQuota() {
    const OptionalQuota& quota = m_manager.quota();
    const double fraction = quotaFraction(quota);
    m_quotaBar->setFraction(fraction);
    m_quotaBar->setTint(fraction > QuotaWarningFraction ? Tone::Orange : Tone::Accent);
    m_quotaUsedLabel->setText(QStringLiteral("已用 ") +
                              ByteFormatter::decimalStorage(quota ? quota->usedBytes : 0));

    m_quotaResetLabel->setVisible(quota.has_value());
    if (quota) {
        m_quotaResetLabel->setText(QStringLiteral("每月 %1 日重置 · 剩 %2 天")
                                       .arg(quota->resetDay)
                                       .arg(quota->daysRemaining));
        m_quotaRightLabel->setText(QStringLiteral("剩余 ") +
                                   ByteFormatter::decimalStorage(quota->remainingBytes));
    } else {
        const QString error = m_manager.quotaError();
        m_quotaRightLabel->setText(error.isEmpty() ? QStringLiteral("加载中…") : error);
    }
}

void ContentView::renderSettings() {
    const AppConfig& config = m_manager.config();
    m_modeSelector->setCurrentIndex(config.mode == ProxyMode::Rule ? 0 : 1);

    m_tunSwitch->setChecked(config.tunEnabled);
    m_tunSubtitleLabel->setText(config.tunEnabled ? QStringLiteral("接管全系统与终端流量")
                                                  : QStringLiteral("当前为系统代理模式"));

    const QString rulesText = QStringLiteral("附属规则 (%1)").arg(config.customRules.size());
    m_rulesButton->setText(rulesText);
    m_rulesButton->setAccessibleName(rulesText);

    QString lanText = QStringLiteral("局域网共享");
    if (config.allowLan) {
        const std::optional<QString> address = m_manager.localIPv4Address();
        lanText = address ? QStringLiteral("%1:%2").arg(*address).arg(m_manager.mixedPort())
                          : QStringLiteral("局域网已开");
    }
    m_lanButton->setText(lanText);
    m_lanButton->setAccessibleName(lanText);
    m_lanButton->setToolTip(config.allowLan ? QStringLiteral("关闭局域网共享")
                                            : QStringLiteral("允许局域网设备使用本机代理"));
    m_lanButton->setDot(
        config.allowLan ? Theme::Paint{Tone::Green, 1.0} : Theme::Paint{Tone::Gray, 0.4}, 6);
}

void ContentView::renderError() {
    const QString message = m_manager.errorMessage();
    m_errorLabel->setText(message);
    m_errorLabel->setVisible(!message.isEmpty()); // no room and no gap while empty
}

void ContentView::toggleAllowLan() {
    AppConfig config = m_manager.config();
    config.allowLan = !config.allowLan;
    m_manager.setConfig(config);
    m_manager.applyRulesAndReload();
}
