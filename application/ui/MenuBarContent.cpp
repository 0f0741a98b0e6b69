#include "ui/MenuBarContent.h"

#include "controller/MihomoManager.h"
#include "monitoring/ByteFormatter.h"

#include <QMenu>

MenuBarContent::MenuBarContent(MihomoManager* manager, QObject* parent)
    : QObject(parent), m_manager(manager), m_menu(std::make_unique<QMenu>()) {
    m_status = m_menu->addAction(QString());
    m_status->setEnabled(false);
    m_usage = m_menu->addAction(QString());
    m_usage->setEnabled(false);
    m_menu->addSeparator();
    m_toggle = m_menu->addAction(QString());
    connect(m_toggle, &QAction::triggered, m_manager, &MihomoManager::toggleConnection);
    connect(m_menu->addAction(title(ProxyMode::Rule)), &QAction::triggered, m_manager,
            [this] { m_manager->switchMode(ProxyMode::Rule); });
    connect(m_menu->addAction(title(ProxyMode::Global)), &QAction::triggered, m_manager,
            [this] { m_manager->switchMode(ProxyMode::Global); });
    m_menu->addSeparator();
    connect(m_menu->addAction(QStringLiteral("退出 Miravo VPN")), &QAction::triggered, this,
            &MenuBarContent::quit);

    for (auto signal : {&MihomoManager::isConnectedChanged, &MihomoManager::statusMessageChanged,
                        &MihomoManager::quotaChanged})
        connect(m_manager, signal, this, &MenuBarContent::redraw);
    redraw();
}

MenuBarContent::~MenuBarContent() = default;

void MenuBarContent::redraw() {
    const bool connected = m_manager->isConnected();
    m_status->setText(QStringLiteral("状态: ") +
                      (connected ? m_manager->statusMessage() : QStringLiteral("未连接")));
    const OptionalQuota& quota = m_manager->quota();
    m_usage->setVisible(quota.has_value());
    if (quota)
        m_usage->setText(QStringLiteral("月度已用: %1 / 6.00 TB")
                             .arg(ByteFormatter::decimalStorage(quota->usedBytes)));
    m_toggle->setText(connected ? QStringLiteral("断开连接") : QStringLiteral("立即连接"));
}

void MenuBarContent::quit() {
    // Stop the core and switch the proxies off first; the terminate hook repeats the disconnect.
    m_manager->disconnect();
    emit quitRequested();
}
