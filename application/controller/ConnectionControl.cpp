// Connect and disconnect, recovery after an unexpected core exit, the re-check after sleep or a
// network change, the TUN switch and authorisation, start-up recovery.
#include "controller/ControlError.h"
#include "controller/CoreApi.h"
#include "controller/CoreSupervisor.h"
#include "controller/MihomoManager.h"

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
const QString kRecoveringText = QStringLiteral("正在重新连接…");

} // namespace

void MihomoManager::initializeAfterConstruction() {
    setTunPrivilegedReady(checkCoreSetuid());
    if (m_env.platform.loginItem)
        setLaunchAtLoginState(m_env.platform.loginItem->isRegistered());
    cleanupOrphanCore();
    // A run that crashed while connected left the proxies pointing at a core that is gone;
    // proxies the user set to anything else stay as they are.
    if (SystemProxy* proxy = m_env.platform.systemProxy.get();
        proxy && proxy->pointsAt(mixedPort()))
        proxy->apply(false, mixedPort());
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
    m_recentCoreExits.clear(); // a connect of the user's own starts afresh
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
            runConnectTask(generation, false);
    });
}

bool MihomoManager::connectStillWanted(const QPointer<MihomoManager>& self,
                                       quint64 generation) const {
    return self && generation == m_connectGeneration;
}

QCoro::Task<> MihomoManager::runConnectTask(quint64 generation, bool restoring) {
    QPointer<MihomoManager> self(this);
    // Read once: the file written below and the steps after the wait must agree.
    const bool tun = m_config.tunEnabled;
    const bool global = m_config.mode == ProxyMode::Global;
    // A restart that fails ends the connection it was restoring, with that reason.
    const auto fail = [this, restoring](const ControlError& error) {
        if (restoring)
            giveUpRecovery();
        else
            failConnect(error);
    };

    if (!restoring)
        setStatusMessage(kStartingText);
    ControlResult failure = m_supervisor->ensureGeoFiles();
    if (!failure)
        failure = m_supervisor->writeMihomoYAML(buildMihomoYAML());
    if (!failure)
        failure = m_supervisor->startCoreProcess(tun);
    if (failure) {
        fail(*failure);
        co_return;
    }

    m_awaitingReadiness = true;
    const ControlResult readiness = co_await waitForControllerReady(generation);
    if (!connectStillWanted(self, generation))
        co_return;
    m_awaitingReadiness = false;
    if (readiness) {
        fail(*readiness);
        co_return;
    }

    if (global) {
        const RequestError selection = co_await m_coreApi->setGlobalProxySelection();
        if (!connectStillWanted(self, generation))
            co_return;
        if (selection) {
            fail(ControlError::platform(*selection));
            co_return;
        }
    }

    // While restoring, the proxies kept pointing at the core all along and stay as they are.
    if (!restoring)
        applySystemProxy(!tun);
    m_connectRunning = false;
    m_recovering = false;
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
    if (m_isConnected || m_recovering) {
        beginRecovery();
        return;
    }
    // A connect of the user's that already had its answer: its failure is shown as such.
    ++m_connectGeneration; // the task awaiting the GLOBAL selection publishes nothing more
    stopTrafficStream();
    failConnect({0, kCoreDied});
    setUpSpeed(0);
    setDownSpeed(0);
    setRecentConnections({});
}

void MihomoManager::beginRecovery() {
    ++m_connectGeneration; // a restart still running publishes nothing more
    m_connectRunning = false;
    m_awaitingReadiness = false;
    const qint64 now = m_recoveryClock.elapsed();
    while (!m_recentCoreExits.isEmpty() &&
           now - m_recentCoreExits.first() >= m_env.recoveryWindowMs)
        m_recentCoreExits.removeFirst();
    m_recentCoreExits.append(now);
    const qsizetype attempt = m_recentCoreExits.size() - 1;
    if (attempt >= m_env.recoveryPausesMs.size()) {
        giveUpRecovery();
        return;
    }

    stopTrafficStream();
    setUpSpeed(0);
    setDownSpeed(0);
    if (!std::exchange(m_recovering, true)) {
        setIsConnected(false);
        setIsBusy(true);
        setStatusMessage(kRecoveringText);
    }
    const quint64 generation = m_connectGeneration;
    QTimer::singleShot(m_env.recoveryPausesMs.at(attempt), this, [this, generation] {
        if (generation != m_connectGeneration)
            return; // disconnected meanwhile
        m_connectRunning = true;
        runConnectTask(generation, true);
    });
}

void MihomoManager::giveUpRecovery() {
    ++m_connectGeneration;
    m_recovering = false;
    m_recentCoreExits.clear();
    stopTrafficStream();
    failConnect({0, kCoreDied});
    setUpSpeed(0);
    setDownSpeed(0);
    setRecentConnections({});
}

void MihomoManager::recheckCore() {
    if (m_isConnected)
        recheckCoreTask(m_connectGeneration);
}

QCoro::Task<> MihomoManager::recheckCoreTask(quint64 generation) {
    QPointer<MihomoManager> self(this);
    const bool answers = co_await m_coreApi->probeVersion(m_env.wakeProbeTimeoutMs);
    if (!self || generation != m_connectGeneration || !m_isConnected)
        co_return;
    if (!answers) {
        // A core that no longer answers is replaced like one that ended.
        stopCoreProcess();
        beginRecovery();
        co_return;
    }
    // Connections made over the old route would hang; applications reconnect over the new one.
    const RequestError closed = co_await m_coreApi->closeAllConnections();
    Q_UNUSED(closed) // best effort: the probe below tells how the core is doing
    if (!self || generation != m_connectGeneration || !m_isConnected)
        co_return;
    testLatency();
}

void MihomoManager::disconnect() {
    // Ends a running connect task and a pending TUN reconnect: neither publishes afterwards.
    ++m_connectGeneration;
    const bool taskEnded = std::exchange(m_connectRunning, false);
    const bool wasRecovering = std::exchange(m_recovering, false);
    m_awaitingReadiness = false;

    stopTrafficStream();
    stopCoreProcess();
    applySystemProxy(false);
    setIsConnected(false);
    setUpSpeed(0);
    setDownSpeed(0);
    setRecentConnections({});
    setStatusMessage(kDisconnectedText);
    if (taskEnded || wasRecovering)
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
    if (!m_isConnected && !m_connectRunning && !m_recovering)
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
    if (SystemProxy* proxy = m_env.platform.systemProxy.get())
        proxy->apply(enabled, mixedPort());
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
