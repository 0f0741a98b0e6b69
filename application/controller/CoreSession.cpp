#include "controller/CoreSession.h"

#include "controller/ControllerClient.h"
#include "controller/CoreSupervisor.h"
#include "controller/PortGuard.h"

#include <QElapsedTimer>
#include <QTimer>
#include <qcoro/qcorotimer.h>

#include <chrono>

namespace {

constexpr int kReadinessAttempts = 25;
// Without a time-out a core that accepts but never answers would hold the connect for ever.
constexpr int kReadinessRequestTimeoutMs = 1000;

} // namespace

CoreSession::Setup CoreSession::Setup::from(const ManagerEnvironment& environment, QString secret) {
    Setup setup;
    setup.paths = environment.paths;
    setup.pkillPath = environment.platform.pkillPath;
    setup.mixedPort = environment.mixedPort;
    setup.apiPort = environment.apiPort;
    setup.secret = std::move(secret);
    setup.listeningSockets = environment.platform.listeningSockets.get();
    setup.readinessPauseMs = environment.readinessPauseMs;
    setup.recoveryPausesMs = environment.recoveryPausesMs;
    setup.recoveryWindowMs = environment.recoveryWindowMs;
    setup.wakeProbeTimeoutMs = environment.wakeProbeTimeoutMs;
    return setup;
}

CoreSession::CoreSession(Setup setup, QNetworkAccessManager* network, PlanSource planSource,
                         QObject* parent)
    : QObject(parent), m_setup(std::move(setup)), m_planSource(std::move(planSource)) {
    m_supervisor = new CoreSupervisor(m_setup.paths, m_setup.pkillPath, this);
    m_controller = new ControllerClient(network, m_setup.apiPort, m_setup.secret, this);
    QObject::connect(m_supervisor, &CoreSupervisor::processEnded, this,
                     &CoreSession::onProcessEnded);
    m_clock.start();
}

CoreSession::~CoreSession() {
    // Tasks still suspended check the ticket before they touch the session again: they end.
    m_ticket.cancel();
}

void CoreSession::setState(State state) {
    m_state = state;
    emit stateChanged(state);
}

CancellationTicket CoreSession::renewTicket() {
    m_ticket.cancel();
    m_ticket = CancellationTicket();
    return m_ticket;
}

CancellationTicket CoreSession::beginAuthorization() {
    m_recentExits.clear(); // a connect of the user's own starts afresh
    m_restoring = false;
    const CancellationTicket ticket = renewTicket();
    setState(State::Authorizing);
    return ticket;
}

void CoreSession::abandonAuthorization() {
    if (m_state != State::Authorizing)
        return;
    m_ticket.cancel();
    setState(State::Stopped);
}

void CoreSession::start() {
    m_recentExits.clear(); // a connect of the user's own starts afresh
    m_restoring = false;
    const CancellationTicket ticket = renewTicket();
    setState(State::Pending);
    // A job on the main thread's queue: the caller returns before the start does any work.
    QTimer::singleShot(0, this, [this, ticket] {
        if (ticket.isCancelled())
            return;
        setState(State::Starting);
        run(ticket);
    });
}

QCoro::Task<> CoreSession::run(CancellationTicket ticket) {
    // Read once: the file written below and the steps after the wait must agree.
    const StartPlan plan = m_planSource();
    m_tun = plan.tun;

    ControlResult failure = m_supervisor->checkDataFolder();
    if (!failure)
        failure = PortGuard::ensureFree({m_setup.mixedPort, m_setup.apiPort});
    if (!failure)
        failure = m_supervisor->ensureGeoFiles();
    if (!failure)
        failure = m_supervisor->writeMihomoYAML(plan.configurationText);
    if (!failure)
        failure = m_supervisor->startCoreProcess(plan.tun);
    if (failure) {
        failStart(*failure);
        co_return;
    }

    setState(State::AwaitingController);
    const ControlResult readiness = co_await waitForController(
        ticket, PortGuard(m_setup.listeningSockets, PortGuard::coreUids(plan.tun)));
    if (ticket.isCancelled())
        co_return;
    if (readiness) {
        failStart(*readiness);
        co_return;
    }

    if (plan.global) {
        setState(State::SelectingGlobal);
        const RequestError selection = co_await m_controller->selectProxyGroupForGlobal();
        if (ticket.isCancelled())
            co_return;
        if (selection) {
            failStart(ControlError::platform(*selection));
            co_return;
        }
    }
    setState(State::Running);
}

QCoro::Task<ControlResult> CoreSession::waitForController(CancellationTicket ticket,
                                                          PortGuard ports) {
    const QList<qint64> corePorts{m_setup.mixedPort, m_setup.apiPort};
    const qint64 controllerPort = m_setup.apiPort;
    const qint64 proxyPort = m_setup.mixedPort;
    const int pauseMs = m_setup.readinessPauseMs;
    // The whole wait, however slowly the controller answers: the pauses and two probes' worth.
    const qint64 budgetMs = qint64(kReadinessAttempts) * pauseMs + 2 * kReadinessRequestTimeoutMs;
    QElapsedTimer waited;
    waited.start();
    for (int attempt = 0; attempt < kReadinessAttempts; ++attempt) {
        if (m_supervisor->hasProcess() && !m_supervisor->isProcessRunning())
            co_return ControlError::coreStartFailed();
        const qint64 remainingMs = budgetMs - waited.elapsed();
        if (remainingMs <= 0)
            break;
        if (ControlResult stranger = ports.refuseStrangers(corePorts))
            co_return stranger;
        // The probe carries the secret: it is sent only to a controller that is ours. Ready
        // means ours on both ports, checked again once the controller has answered.
        if (ports.isOurs(controllerPort)) {
            const bool answered = co_await m_controller->probeVersion(
                int(qMin<qint64>(kReadinessRequestTimeoutMs, remainingMs)));
            if (ticket.isCancelled())
                co_return std::nullopt; // the caller checks the ticket too
            if (answered) {
                if (ControlResult stranger = ports.refuseStrangers(corePorts))
                    co_return stranger;
                if (ports.isOurs(controllerPort) && ports.isOurs(proxyPort))
                    co_return std::nullopt;
            }
        }
        co_await QCoro::sleepFor(std::chrono::milliseconds(pauseMs));
        if (ticket.isCancelled())
            co_return std::nullopt;
    }
    co_return ControlError::coreStartTimedOut();
}

void CoreSession::failStart(const ControlError& error) {
    if (m_restoring)
        fail(ControlError::coreEnded());
    else
        fail(error);
}

void CoreSession::fail(const ControlError& error) {
    renewTicket();
    m_restoring = false;
    m_recentExits.clear();
    m_supervisor->stopCoreProcess();
    setState(State::Stopped);
    emit failed(error);
}

void CoreSession::onProcessEnded() {
    switch (m_state) {
    case State::Stopped:
    case State::Authorizing:
    case State::Pending:
    case State::Starting:
    case State::Recovering:
    case State::Stopping:
        return; // no process of ours was meant to run, or its end was asked for
    case State::AwaitingController:
        return; // the readiness wait notices and reports the failed start itself
    case State::SelectingGlobal:
        // A start of the user's that already had its answer: its failure is shown as such.
        if (!m_restoring) {
            fail(ControlError::coreEnded());
            return;
        }
        recover();
        return;
    case State::Running:
        recover();
        return;
    }
}

void CoreSession::recover() {
    const CancellationTicket ticket = renewTicket(); // a restart still running ends here
    // What the ended process leaves behind goes first: its children, and a core whose launcher
    // was killed, which would keep the ports the restart needs.
    m_supervisor->stopCoreProcess();
    const qint64 now = m_clock.elapsed();
    while (!m_recentExits.isEmpty() && now - m_recentExits.first() >= m_setup.recoveryWindowMs)
        m_recentExits.removeFirst();
    m_recentExits.append(now);
    const qsizetype attempt = m_recentExits.size() - 1;
    if (attempt >= m_setup.recoveryPausesMs.size()) {
        fail(ControlError::coreEnded());
        return;
    }
    m_restoring = true;
    setState(State::Recovering);
    QTimer::singleShot(m_setup.recoveryPausesMs.at(attempt), this, [this, ticket] {
        if (ticket.isCancelled())
            return; // stopped meanwhile
        setState(State::Starting);
        run(ticket);
    });
}

void CoreSession::stop() {
    renewTicket();
    // Requests in flight end now, while the core still runs; once it has gone they would fail
    // by themselves.
    m_controller->abortAll();
    m_restoring = false;
    if (m_state == State::Stopped)
        return;
    setState(State::Stopping);
    m_supervisor->stopCoreProcess();
    setState(State::Stopped);
}

void CoreSession::recheck() {
    if (m_state == State::Running)
        recheckTask(m_ticket);
}

QCoro::Task<> CoreSession::recheckTask(CancellationTicket ticket) {
    const bool answers = co_await m_controller->probeVersion(m_setup.wakeProbeTimeoutMs);
    if (ticket.isCancelled() || m_state != State::Running)
        co_return;
    if (!answers) {
        recover();
        co_return;
    }
    // Connections made over the old route would hang; applications reconnect over the new one.
    const RequestError closed = co_await m_controller->closeAllConnections();
    Q_UNUSED(closed) // best effort: the latency probe that follows tells how the core is doing
    if (ticket.isCancelled() || m_state != State::Running)
        co_return;
    emit rechecked();
}

void CoreSession::cleanupOrphanCore() {
    m_supervisor->cleanupOrphanCore();
}
