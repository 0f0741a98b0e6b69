// Connect and disconnect, recovery after an unexpected core exit, the re-check after sleep or a
// network change, the TUN switch and authorisation, start-up recovery.
#include "controller/ControlError.h"
#include "controller/CoreApi.h"
#include "controller/CoreSupervisor.h"
#include "controller/MihomoManager.h"
#include "controller/PortGuard.h"
#include "controller/ToolRun.h"
#include "platform/SystemProxyKeeper.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <qcoro/qcorotimer.h>

#include <chrono>

namespace {

constexpr int kReadinessAttempts = 25;
constexpr auto kReadinessPause = std::chrono::milliseconds(200);
// Without a time-out a core that accepts but never answers would hold the connect for ever.
constexpr int kReadinessRequestTimeoutMs = 1000;
// The whole wait, however slowly the controller answers: the pauses and two probes' worth.
constexpr qint64 kReadinessBudgetMs =
    kReadinessAttempts * std::chrono::milliseconds(kReadinessPause).count() +
    2 * kReadinessRequestTimeoutMs;

const QString kDisconnectedText = QStringLiteral("未连接");
const QString kStartingText = QStringLiteral("正在启动…");
const QString kConnectedText = QStringLiteral("已连接");
const QString kTunConnectedText = QStringLiteral("虚拟网卡已连接");
const QString kTunNeedsAuthorisation =
    QStringLiteral("虚拟网卡（TUN）需要一次管理员授权，或可先关闭 TUN 使用系统代理");
const QString kTunRefused = QStringLiteral("未授予管理员权限，保持系统代理模式");
const QString kCoreDied = QStringLiteral("内核意外退出，已断开连接");
const QString kTunNeedsInstallation =
    QStringLiteral("开发构建不支持虚拟网卡授权，请安装软件包后使用");
const QString kNoPkexec = QStringLiteral("未找到 pkexec，无法获取管理员授权");

// What the user reads when TUN mode could not be authorised; `refusal` for a dismissed dialog.
QString authorizationFailureText(TunAuthorization outcome, const QString& refusal) {
    switch (outcome) {
    case TunAuthorization::DevelopmentBuild:
        return kTunNeedsInstallation;
    case TunAuthorization::ToolMissing:
        return kNoPkexec;
    case TunAuthorization::Granted:
    case TunAuthorization::Refused:
        break;
    }
    return refusal;
}
const QString kRecoveringText = QStringLiteral("正在重新连接…");

} // namespace

void MihomoManager::initializeAfterConstruction() {
    setTunPrivilegedReady(checkLauncherPrivileges());
    if (m_env.platform.loginItem)
        setLaunchAtLoginState(m_env.platform.loginItem->isRegistered());
    if (!m_env.deferStartupChecks)
        finishStartupChecks();
}

void MihomoManager::finishStartupChecks() {
    if (m_startupChecksDone)
        return;
    m_startupChecksDone = true;
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
    finishStartupChecks(); // never a core of ours started before the orphan is gone
    const bool needsAuthorisation = m_config.tunEnabled && !checkLauncherPrivileges();
    if (needsAuthorisation && m_authorizing)
        return; // the password dialog is open already
    setErrorMessage(QString());
    m_recentCoreExits.clear(); // a connect of the user's own starts afresh
    if (needsAuthorisation) {
        authorizeThenConnect();
        return;
    }
    startConnectTask();
}

QCoro::Task<> MihomoManager::authorizeThenConnect() {
    QPointer<MihomoManager> self(this);
    // Busy while the dialog is open; a disconnect meanwhile drops the connect.
    const quint64 generation = ++m_connectGeneration;
    m_connectRunning = true;
    setIsBusy(true);
    const TunAuthorization outcome = co_await authorizeTunCore();
    if (!connectStillWanted(self, generation))
        co_return;
    m_connectRunning = false;
    if (outcome != TunAuthorization::Granted) {
        setIsBusy(false);
        setErrorMessage(authorizationFailureText(outcome, kTunNeedsAuthorisation));
        co_return;
    }
    startConnectTask();
}

void MihomoManager::startConnectTask() {
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
    ControlResult failure = m_supervisor->checkDataFolder();
    if (!failure)
        failure = PortGuard::ensureFree({mixedPort(), apiPort()});
    if (!failure)
        failure = m_supervisor->ensureGeoFiles();
    if (!failure)
        failure = m_supervisor->writeMihomoYAML(buildMihomoYAML());
    if (!failure)
        failure = m_supervisor->startCoreProcess(tun);
    if (failure) {
        fail(*failure);
        co_return;
    }

    m_awaitingReadiness = true;
    const ControlResult readiness = co_await waitForControllerReady(
        generation, PortGuard(m_env.platform.listeningSockets.get(), PortGuard::coreUids(tun)));
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

QCoro::Task<ControlResult> MihomoManager::waitForControllerReady(quint64 generation,
                                                                 PortGuard ports) {
    QPointer<MihomoManager> self(this);
    const QList<qint64> corePorts{mixedPort(), apiPort()};
    const qint64 controllerPort = apiPort();
    const qint64 proxyPort = mixedPort();
    QElapsedTimer waited;
    waited.start();
    for (int attempt = 0; attempt < kReadinessAttempts; ++attempt) {
        if (m_supervisor->hasProcess() && !m_supervisor->isProcessRunning())
            co_return ControlError::coreStartFailed();
        const qint64 remainingMs = kReadinessBudgetMs - waited.elapsed();
        if (remainingMs <= 0)
            break;
        if (ControlResult stranger = ports.refuseStrangers(corePorts))
            co_return stranger;
        // The probe carries the secret: it is sent only to a controller that is ours. Ready
        // means ours on both ports, checked again once the controller has answered.
        if (ports.isOurs(controllerPort)) {
            const bool answered = co_await m_coreApi->probeVersion(
                int(qMin<qint64>(kReadinessRequestTimeoutMs, remainingMs)));
            if (!connectStillWanted(self, generation))
                co_return std::nullopt; // the caller checks again whether it still matters
            if (answered) {
                if (ControlResult stranger = ports.refuseStrangers(corePorts))
                    co_return stranger;
                if (ports.isOurs(controllerPort) && ports.isOurs(proxyPort))
                    co_return std::nullopt;
            }
        }
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
    // What the ended process leaves behind goes first: its children, and a core whose launcher
    // was killed, which would keep the ports the restart needs.
    stopCoreProcess();
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
    if (enabled && !checkLauncherPrivileges()) {
        if (!m_authorizing)
            authorizeThenEnableTun(++m_tunSwitchRequest);
        return;
    }
    // A later switch wins over an authorisation still waiting for the user.
    ++m_tunSwitchRequest;
    applyTunSwitch(enabled);
}

QCoro::Task<> MihomoManager::authorizeThenEnableTun(quint64 request) {
    QPointer<MihomoManager> self(this);
    const TunAuthorization outcome = co_await authorizeTunCore();
    if (!self || request != m_tunSwitchRequest)
        co_return;
    if (outcome == TunAuthorization::Granted) {
        applyTunSwitch(true);
        co_return;
    }
    AppConfig changed = m_config;
    changed.tunEnabled = false;
    setConfig(changed);
    saveConfig();
    setErrorMessage(authorizationFailureText(outcome, kTunRefused));
}

void MihomoManager::applyTunSwitch(bool enabled) {
    AppConfig changed = m_config;
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
    m_supervisor->stopCoreProcess();
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

bool MihomoManager::checkLauncherPrivileges() const {
    const AdminAuthorizer* authorizer = m_env.platform.adminAuthorizer.get();
    return authorizer && authorizer->launcherReady(m_env.paths.bundle);
}

QCoro::Task<TunAuthorization> MihomoManager::authorizeTunCore() {
    QPointer<MihomoManager> self(this);
    AdminAuthorizer* authorizer = m_env.platform.adminAuthorizer.get();
    if (!authorizer)
        co_return TunAuthorization::Refused;
    const auto prepared = authorizer->command(m_env.paths.bundle);
    if (const auto* early = std::get_if<TunAuthorization>(&prepared))
        co_return *early;
    const auto& command = std::get<AuthorizationCommand>(prepared);
    m_authorizing = true;
    const std::optional<int> status =
        co_await runToolAsync(this, command.program, command.arguments);
    if (!self) // the dialog's process went with the controller
        co_return TunAuthorization::Refused;
    m_authorizing = false;
    const TunAuthorization outcome = authorizer->outcome(status);
    if (outcome != TunAuthorization::Granted)
        co_return outcome;
    // A command that ran but left the launcher without its privilege counts as refused.
    const bool ready = checkLauncherPrivileges();
    setTunPrivilegedReady(ready);
    co_return ready ? TunAuthorization::Granted : TunAuthorization::Refused;
}
