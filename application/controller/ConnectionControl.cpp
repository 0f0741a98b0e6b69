// Connect and disconnect, what the views show of the core session's state, the re-check after
// sleep or a network change, the TUN switch and authorisation, start-up recovery.
#include "controller/ConfigurationWriter.h"
#include "controller/ControlError.h"
#include "controller/CoreSession.h"
#include "controller/MihomoManager.h"
#include "controller/ToolRun.h"
#include "platform/SystemProxyKeeper.h"

#include <QTimer>

namespace {

const QString kDisconnectedText = QStringLiteral("未连接");
const QString kStartingText = QStringLiteral("正在启动…");
const QString kConnectedText = QStringLiteral("已连接");
const QString kTunConnectedText = QStringLiteral("虚拟网卡已连接");
const QString kRecoveringText = QStringLiteral("正在重新连接…");
const QString kTunNeedsAuthorisation =
    QStringLiteral("虚拟网卡（TUN）需要一次管理员授权，或可先关闭 TUN 使用系统代理");
const QString kTunRefused = QStringLiteral("未授予管理员权限，保持系统代理模式");
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
        return;           // the password dialog is open already
    m_reconnect.cancel(); // this connect is the one that counts
    setErrorMessage(QString());
    if (needsAuthorisation) {
        authorizeThenConnect();
        return;
    }
    m_session->start();
}

QCoro::Task<> MihomoManager::authorizeThenConnect() {
    QPointer<MihomoManager> self(this);
    // Busy while the dialog is open; a disconnect meanwhile cancels the ticket.
    const CancellationTicket ticket = m_session->beginAuthorization();
    const TunAuthorization outcome = co_await authorizeTunCore();
    if (!self || ticket.isCancelled())
        co_return;
    if (outcome != TunAuthorization::Granted) {
        m_session->abandonAuthorization();
        setErrorMessage(authorizationFailureText(outcome, kTunNeedsAuthorisation));
        co_return;
    }
    m_session->start();
}

CoreSession::StartPlan MihomoManager::startPlan() const {
    // A configuration still being written for a reload must not land after the start's own.
    m_configurationWriter->flush();
    return {buildMihomoYAML(), m_config.tunEnabled, m_config.mode == ProxyMode::Global};
}

void MihomoManager::publishConnectionState(bool announceStatus) {
    using State = CoreSession::State;
    bool connected = false;
    bool busy = false;
    QString status = kDisconnectedText;
    switch (m_session->state()) {
    case State::Stopped:
    case State::Stopping:
        break;
    case State::Authorizing:
    case State::Pending:
        busy = true;
        break;
    case State::Starting:
    case State::AwaitingController:
    case State::SelectingGlobal:
        busy = true;
        status = m_session->isRestoring() ? kRecoveringText : kStartingText;
        break;
    case State::Recovering:
        busy = true;
        status = kRecoveringText;
        break;
    case State::Running:
        connected = true;
        status = m_session->runsTun() ? kTunConnectedText : kConnectedText;
        break;
    }
    // Whoever reads the new status finds the other two values already matching it.
    if (connected != m_isConnected)
        setIsConnected(connected);
    if (busy != m_isBusy)
        setIsBusy(busy);
    if (announceStatus || status != m_statusMessage)
        setStatusMessage(status);
}

void MihomoManager::onSessionStateChanged(CoreSession::State state) {
    using State = CoreSession::State;
    switch (state) {
    case State::Stopped:
        settleDisconnected();
        return;
    case State::Stopping:
        return; // published once the core has stopped
    case State::Recovering:
        // The proxies keep pointing at the core's port while it starts again.
        endConnectionTasks();
        stopTrafficStream();
        setUpSpeed(0);
        setDownSpeed(0);
        break;
    case State::Running:
        // A restored connection finds the proxies as they were all along.
        if (!m_session->isRestoring())
            applySystemProxy(!m_session->runsTun());
        publishConnectionState();
        startTrafficStream();
        testLatency();
        refreshQuota();
        return;
    case State::Authorizing:
    case State::Pending:
    case State::Starting:
    case State::AwaitingController:
    case State::SelectingGlobal:
        break;
    }
    publishConnectionState();
}

void MihomoManager::settleDisconnected() {
    endConnectionTasks();
    stopTrafficStream();
    applySystemProxy(false);
    publishConnectionState(true);
    setUpSpeed(0);
    setDownSpeed(0);
    setRecentConnections({});
}

void MihomoManager::endConnectionTasks() {
    m_connectionTasks.cancel();
    m_connectionTasks = CancellationTicket();
}

bool MihomoManager::connectionActive() const {
    return m_isConnected || m_session->state() != CoreSession::State::Stopped;
}

void MihomoManager::recheckCore() {
    m_session->recheck();
}

void MihomoManager::disconnect() {
    m_reconnect.cancel();
    const bool sessionStopped = m_session->state() == CoreSession::State::Stopped;
    // Ends a running start, a pending restart and the core; its Stopped state settles the rest.
    m_session->stop();
    if (sessionStopped)
        settleDisconnected();
}

void MihomoManager::toggleTun(bool enabled) {
    if (enabled && !checkLauncherPrivileges()) {
        if (!m_authorizing) {
            m_tunSwitch.cancel();
            m_tunSwitch = CancellationTicket();
            authorizeThenEnableTun(m_tunSwitch);
        }
        return;
    }
    // A later switch wins over an authorisation still waiting for the user.
    m_tunSwitch.cancel();
    m_tunSwitch = CancellationTicket();
    applyTunSwitch(enabled);
}

QCoro::Task<> MihomoManager::authorizeThenEnableTun(CancellationTicket request) {
    QPointer<MihomoManager> self(this);
    const TunAuthorization outcome = co_await authorizeTunCore();
    if (!self || request.isCancelled())
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
    if (connectionActive())
        reconnectAfterPause();
}

void MihomoManager::reconnectAfterPause() {
    disconnect();
    const CancellationTicket ticket;
    m_reconnect = ticket;
    QTimer::singleShot(m_env.tunReconnectDelayMs, this, [this, ticket] {
        if (!ticket.isCancelled())
            connect();
    });
}

void MihomoManager::cleanupOrphanCore() {
    m_session->cleanupOrphanCore();
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
