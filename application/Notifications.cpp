#include "Notifications.h"

#include "controller/MihomoManager.h"
#include "platform/DesktopNotifier.h"

namespace {

const QString kRecovering = QStringLiteral("正在重新连接…");
const QString kConnected = QStringLiteral("已连接");
const QString kTunConnected = QStringLiteral("虚拟网卡已连接");
const QString kCoreDied = QStringLiteral("内核意外退出，已断开连接");

bool reachesNinetyPercent(const QuotaInfo& quota) {
    // Written without a product, which could overflow for absurd figures.
    return quota.quotaBytes > 0 && quota.usedBytes >= quota.quotaBytes - quota.quotaBytes / 10;
}

} // namespace

ConnectionNotifications::ConnectionNotifications(MihomoManager& manager,
                                                 std::unique_ptr<DesktopNotifier> notifier,
                                                 std::function<bool()> windowVisible,
                                                 QObject* parent)
    : QObject(parent), m_manager(manager), m_notifier(std::move(notifier)),
      m_windowVisible(std::move(windowVisible)), m_lastStatus(manager.statusMessage()),
      m_lastError(manager.errorMessage()) {
    connect(&manager, &MihomoManager::statusMessageChanged, this,
            &ConnectionNotifications::statusChanged);
    connect(&manager, &MihomoManager::errorMessageChanged, this,
            &ConnectionNotifications::errorChanged);
    connect(&manager, &MihomoManager::quotaChanged, this, &ConnectionNotifications::quotaChanged);
}

ConnectionNotifications::~ConnectionNotifications() = default;

void ConnectionNotifications::statusChanged() {
    const QString status = m_manager.statusMessage();
    const QString previous = std::exchange(m_lastStatus, status);
    if (!m_notifier || status == previous)
        return;
    if (status == kRecovering)
        m_notifier->notify(title, QStringLiteral("连接已中断，正在重新连接…"));
    else if (previous == kRecovering && (status == kConnected || status == kTunConnected))
        m_notifier->notify(title, QStringLiteral("已重新连接"));
}

void ConnectionNotifications::errorChanged() {
    const QString error = m_manager.errorMessage();
    const QString previous = std::exchange(m_lastError, error);
    if (!m_notifier || error.isEmpty() || error == previous)
        return;
    // A lost connection is never the user's doing; other errors answer a press in the window,
    // which shows them itself while it is visible.
    if (error == kCoreDied || !m_windowVisible || !m_windowVisible())
        m_notifier->notify(title, error);
}

void ConnectionNotifications::quotaChanged() {
    const OptionalQuota& quota = m_manager.quota();
    if (!m_notifier || !quota || !reachesNinetyPercent(*quota))
        return;
    const QString cycle = quota->cycleStart.isEmpty() ? quota->nextReset : quota->cycleStart;
    if (m_warnedAnyCycle && cycle == m_warnedCycle)
        return;
    m_warnedAnyCycle = true;
    m_warnedCycle = cycle;
    m_notifier->notify(title, QStringLiteral("本月流量已用 90%"));
}
