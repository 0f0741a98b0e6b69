#include "ui/SettingsView.h"

#include "controller/MihomoManager.h"
#include "ui/AccountImportDialog.h"
#include "ui/CapsuleButton.h"
#include "ui/Card.h"
#include "ui/ElidedLabel.h"
#include "ui/SwitchButton.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

using Theme::TextStyle;
using Theme::Tone;

namespace {

constexpr Theme::Paint Primary{Tone::Primary, 1.0};
constexpr Theme::Paint Secondary{Tone::Secondary, 1.0};

ElidedLabel* label(const QString& text, Theme::Paint paint, QWidget* parent) {
    auto* result = new ElidedLabel(1, parent);
    result->setTextFont(Theme::font(TextStyle::Subheadline));
    result->setForeground(paint);
    result->setText(text);
    return result;
}

// A row's value, heard by a screen reader together with the row's title.
void showValue(ElidedLabel* value, const QString& title, const QString& text) {
    value->setText(text);
    value->setAccessibleName(title + QStringLiteral(": ") + text);
}

} // namespace

SettingsView::SettingsView(MihomoManager& manager, QWidget* parent)
    : QWidget(parent), m_manager(manager) {
    setFixedSize(FixedSize);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(14);

    auto* heading = new ElidedLabel(1, this);
    heading->setTextFont(Theme::font(TextStyle::Headline));
    heading->setText(QStringLiteral("账号与常规设置"));
    column->addWidget(heading);

    // The grouped form: one inset group, label at the leading edge, value at the trailing edge.
    auto* group = new Card(10, this);
    group->setObjectName(QStringLiteral("settingsForm"));
    auto* rows = new QVBoxLayout(group);
    rows->setContentsMargins(12, 4, 12, 4);
    rows->setSpacing(0);
    auto addRow = [&](const QString& title, QWidget* value, bool last = false) {
        auto* row = new QHBoxLayout;
        row->setContentsMargins(0, 9, 0, 9);
        row->setSpacing(12);
        ElidedLabel* titleLabel = label(title, Primary, group);
        titleLabel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred); // values elide first
        row->addWidget(titleLabel);
        row->addStretch(1);
        row->addWidget(value, 0, Qt::AlignVCenter);
        rows->addLayout(row);
        if (!last)
            rows->addWidget(new Divider(group));
    };
    auto valueLabel = [&](const QString& name) {
        ElidedLabel* value = label(QString(), Secondary, group);
        value->setObjectName(name);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return value;
    };
    m_accountValue = valueLabel(QStringLiteral("accountLabelValue"));
    m_deviceValue = valueLabel(QStringLiteral("deviceNameValue"));
    m_serverValue = valueLabel(QStringLiteral("apiBaseUrlValue"));
    m_launchAtLoginSwitch = new SwitchButton(group);
    m_launchAtLoginSwitch->setObjectName(QStringLiteral("launchAtLoginSwitch"));
    m_launchAtLoginSwitch->setAccessibleName(QStringLiteral("开机自动启动"));
    // The switch shows whatever launchAtLogin holds after the call; a failed write leaves it.
    connect(m_launchAtLoginSwitch, &QAbstractButton::toggled, this, [this](bool on) {
        if (on == m_manager.launchAtLogin())
            return; // the view showing the controller's state
        m_manager.setLaunchAtLogin(on);
        render();
    });
    addRow(QStringLiteral("使用人备注"), m_accountValue);
    addRow(QStringLiteral("当前设备"), m_deviceValue);
    addRow(QStringLiteral("鉴权服务器"), m_serverValue);
    m_autoConnectSwitch = new SwitchButton(group);
    m_autoConnectSwitch->setObjectName(QStringLiteral("autoConnectSwitch"));
    m_autoConnectSwitch->setAccessibleName(QStringLiteral("启动后自动连接"));
    connect(m_autoConnectSwitch, &QAbstractButton::clicked, this, [this] {
        m_manager.setAutoConnect(!m_manager.config().autoConnect);
        render();
    });
    addRow(QStringLiteral("开机自动启动"), m_launchAtLoginSwitch);
    addRow(QStringLiteral("启动后自动连接"), m_autoConnectSwitch, true);
    column->addWidget(group);
    auto* importAccount = new CapsuleButton(QStringLiteral("导入账号…"), this);
    importAccount->setObjectName(QStringLiteral("importAccountButton"));
    importAccount->setAutoDefault(false); // Return stays with "完成"
    connect(importAccount, &QPushButton::clicked, this, [this] {
        auto* dialog = new AccountImportDialog(m_manager, window());
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->open();
    });
    column->addWidget(importAccount, 0, Qt::AlignLeft);
    column->addStretch(1);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    auto* done = new CapsuleButton(QStringLiteral("完成"), this);
    done->setObjectName(QStringLiteral("doneButton"));
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, [this] {
        m_manager.saveConfig();
        m_manager.setShowSettings(false);
    });
    bottom->addWidget(done);
    column->addLayout(bottom);

    connect(&m_manager, &MihomoManager::configChanged, this, &SettingsView::render);
    connect(&m_manager, &MihomoManager::launchAtLoginChanged, this, &SettingsView::render);
    render();
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    render(); // the computer's name is read afresh whenever the sheet appears
}

void SettingsView::render() {
    const AppConfig& config = m_manager.config();
    showValue(m_accountValue, QStringLiteral("使用人备注"),
              config.accountLabel.isEmpty() ? QStringLiteral("未设置") : config.accountLabel);
    showValue(m_deviceValue, QStringLiteral("当前设备"), m_manager.currentDeviceName());
    showValue(m_serverValue, QStringLiteral("鉴权服务器"), config.resolvedApiBaseURL());
    m_launchAtLoginSwitch->setChecked(m_manager.launchAtLogin());
    m_autoConnectSwitch->setChecked(config.autoConnect);
}
