// Connect and disconnect, the TUN switch and authorisation, start-up recovery.
#include "controller/ControlError.h"
#include "controller/CoreApi.h"
#include "controller/CoreSupervisor.h"
#include "controller/MihomoManager.h"
#include "platform/SystemProxyKeeper.h"

#include <QFile>
#include <QTimer>
#include <qcoro/qcorotimer.h>

#include <chrono>
#include <sys/stat.h>

namespace {

constexpr int kReadinessAttempts = 25;
constexpr auto kReadinessPause = std::chrono::milliseconds(200);
// Without a time-out a core that accepts but never answers would hold the connect for ever.
constexpr int kReadinessRequestTimeoutMs = 1000;

const QString kDisconnectedText = QStringLiteral("未连接");
const QString kStartingText = QStringLiteral("正在启动…");
const QString kConnectedText = QStringLiteral("已连接");
const QString kTunConnectedText = QStringLiteral("虚拟网卡已连接");
const QString kTunNeedsAuthorisation =
    QStringLiteral("虚拟网卡（TUN）需要一次管理员授权，或可先关闭 TUN 使用系统代理");
const QString kTunRefused = QStringLiteral("未授予管理员权限，保持系统代理模式");
const QString kCoreDied = QStringLiteral("内核意外退出，已断开连接");

} // namespace

void MihomoManager::initializeAfterConstruction() {
    setTunPrivilegedReady(checkCoreSetuid());
    if (m_env.platform.loginItem)
        setLaunchAtLoginState(m_env.platform.loginItem->isRegistered());
    cleanupOrphanCore();
    // A run that crashed while connected left the proxies pointing at a core that is gone: they
    // get back what they held before it connected; proxies the user set meanwhile stay.
    m_proxyKeeper->recover(mixedPort());
}

void MihomoManager::toggleConnection() {
    if (m_isBusy)
        return;
    if (m_isConnected)
        disconnect();
    else
        connect();
}

void MihomoManager::connect() {
    setErrorMessage(QString());
    if (m_config.tunEnabled && !checkCoreSetuid() && !authorizeTunCore()) {
        setErrorMessage(kTunNeedsAuthorisation);
        return;
    }
    setIsBusy(true);
    const quint64 generation = ++m_connectGeneration;
    m_connectRunning = true;
    // A job on the main thread's queue: connect returns before the task does any work.
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == m_connectGeneration)
            runConnectTask(generation);
    });
}

bool MihomoManager::connectStillWanted(const QPointer<MihomoManager>& self,
                                       quint64 generation) const {
    return self && generation == m_connectGeneration;
}

QCoro::Task<> MihomoManager::runConnectTask(quint64 generation) {
    QPointer<MihomoManager> self(this);
    // Read once: the file written below and the steps after the wait must agree.
    const bool tun = m_config.tunEnabled;
    const bool global = m_config.mode == ProxyMode::Global;

    setStatusMessage(kStartingText);
    ControlResult failure = m_supervisor->ensureGeoFiles();
    if (!failure)
        failure = m_supervisor->writeMihomoYAML(buildMihomoYAML());
    if (!failure)
        failure = m_supervisor->startCoreProcess(tun);
    if (failure) {
        failConnect(*failure);
        co_return;
    }

    m_awaitingReadiness = true;
    const ControlResult readiness = co_await waitForControllerReady(generation);
    if (!connectStillWanted(self, generation))
        co_return;
    m_awaitingReadiness = false;
    if (readiness) {
        failConnect(*readiness);
        co_return;
    }

    if (global) {
        const RequestError selection = co_await m_coreApi->setGlobalProxySelection();
        if (!connectStillWanted(self, generation))
            co_return;
        if (selection) {
            failConnect(ControlError::platform(*selection));
            co_return;
        }
    }

    applySystemProxy(!tun);
    m_connectRunning = false;
    setIsConnected(true);
    setStatusMessage(tun ? kTunConnectedText : kConnectedText);
    setIsBusy(false);
    startTrafficStream();
    testLatency();
    refreshQuota();
}

QCoro::Task<ControlResult> MihomoManager::waitForControllerReady(quint64 generation) {
    QPointer<MihomoManager> self(this);
    for (int attempt = 0; attempt < kReadinessAttempts; ++attempt) {
        if (m_supervisor->hasProcess() && !m_supervisor->isProcessRunning())
            co_return ControlError::coreStartFailed();
        const bool ready = co_await m_coreApi->probeVersion(kReadinessRequestTimeoutMs);
        if (!connectStillWanted(self, generation) || ready)
            co_return std::nullopt; // the caller checks again whether it still matters
        co_await QCoro::sleepFor(kReadinessPause);
        if (!connectStillWanted(self, generation))
            co_return std::nullopt;
    }
    co_return ControlError::coreStartTimedOut();
}

void MihomoManager::failConnect(const ControlError& error) {
    m_connectRunning = false;
    m_awaitingReadiness = false;
    stopCoreProcess();
    applySystemProxy(false);
    setIsConnected(false);
    setIsBusy(false);
    setStatusMessage(kDisconnectedText);
    setErrorMessage(error.description);
}

void MihomoManager::onCoreEndedUnexpectedly() {
    if (!m_isConnected && !m_connectRunning)
        return;
    // While the controller is awaited, the readiness wait reports the exit itself.
    if (m_connectRunning && m_awaitingReadiness)
        return;
    ++m_connectGeneration; // a task awaiting the GLOBAL selection publishes nothing more
    stopTrafficStream();
    failConnect({0, kCoreDied});
    setUpSpeed(0);
    setDownSpeed(0);
    setRecentConnections({});
}

void MihomoManager::disconnect() {
    // Ends a running connect task and a pending TUN reconnect: neither publishes afterwards.
    ++m_connectGeneration;
    const bool taskEnded = std::exchange(m_connectRunning, false);
    m_awaitingReadiness = false;

    stopTrafficStream();
    stopCoreProcess();
    applySystemProxy(false);
    setIsConnected(false);
    setUpSpeed(0);
    setDownSpeed(0);
    setRecentConnections({});
    setStatusMessage(kDisconnectedText);
    if (taskEnded)
        setIsBusy(false);
}

void MihomoManager::toggleTun(bool enabled) {
    AppConfig changed = m_config;
    if (enabled && !checkCoreSetuid() && !authorizeTunCore()) {
        changed.tunEnabled = false;
        setConfig(changed);
        saveConfig();
        setErrorMessage(kTunRefused);
        return;
    }
    changed.tunEnabled = enabled;
    setConfig(changed);
    saveConfig();
    // A connect still running started in the old mode; it is restarted like a connection.
    if (!m_isConnected && !m_connectRunning)
        return;
    reconnectAfterPause();
}

void MihomoManager::reconnectAfterPause() {
    disconnect();
    const quint64 generation = m_connectGeneration;
    QTimer::singleShot(m_env.tunReconnectDelayMs, this, [this, generation] {
        if (generation == m_connectGeneration)
            connect();
    });
}

void MihomoManager::stopCoreProcess() {
    m_supervisor->stopCoreProcess(m_config.tunEnabled);
}

void MihomoManager::cleanupOrphanCore() {
    m_supervisor->cleanupOrphanCore();
}

void MihomoManager::applySystemProxy(bool enabled) {
    if (enabled)
        m_proxyKeeper->switchOn(mixedPort());
    else
        m_proxyKeeper->switchOff(mixedPort());
}

bool MihomoManager::checkCoreSetuid() const {
    struct stat info {};
    if (::stat(QFile::encodeName(helperBinaryURL()).constData(), &info) != 0)
        return false;
    return info.st_uid == 0 && (info.st_mode & S_ISUID) != 0;
}

bool MihomoManager::authorizeTunCore() {
    AdminAuthorizer* authorizer = m_env.platform.adminAuthorizer.get();
    if (!authorizer || !authorizer->authorizeLauncher(helperBinaryURL()))
        return false;
    const bool ready = checkCoreSetuid();
    setTunPrivilegedReady(ready);
    return ready;
}
