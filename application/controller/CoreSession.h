#pragma once

#include "controller/CancellationTicket.h"
#include "controller/ControlError.h"
#include "controller/ManagerEnvironment.h"
#include "platform/AppPaths.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class ControllerClient;
class CoreSupervisor;
class ListeningSockets;
class PortGuard;

// The running core and where it stands: starts it, waits for its controller, points the global
// selector at the fallback group, restores it after an unexpected exit and stops it. The
// controller façade derives what the views show (busy, connected, status text) from `state()`.
//
// Each start has one cancellation ticket; every task of that start checks it after each
// suspension, and stop(), a failure, a new start and the destructor cancel it.
class CoreSession : public QObject {
    Q_OBJECT
public:
    enum class State {
        Stopped,            // no core of ours runs
        Authorizing,        // a start waits for the administrator's consent to TUN mode
        Pending,            // a start is asked for; it begins with the next turn of the event loop
        Starting,           // writing the files and starting the process
        AwaitingController, // the process runs; its controller has not answered yet
        SelectingGlobal,    // global mode: the core's global selector is being set
        Running,            // connected
        Recovering,         // the core ended unexpectedly; it is started again after a pause
        Stopping,           // the process is being stopped
    };
    Q_ENUM(State)

    // What a start needs, read when the start actually begins (also for each restart).
    struct StartPlan {
        QString configurationText;
        bool tun = false;
        bool global = false;
    };
    using PlanSource = std::function<StartPlan()>;

    // What the session takes from the controller's environment.
    struct Setup {
        AppPaths paths;
        QString pkillPath;
        qint64 mixedPort = 0;
        qint64 apiPort = 0;
        QString secret;
        const ListeningSockets* listeningSockets = nullptr; // none: owners are not checked
        int readinessPauseMs = 200;
        QList<int> recoveryPausesMs;
        int recoveryWindowMs = 0;
        int wakeProbeTimeoutMs = 0;

        // Borrows the environment's listening-socket reader: the environment outlives the
        // session.
        static Setup from(const ManagerEnvironment& environment, QString secret);
    };

    CoreSession(Setup setup, QNetworkAccessManager* network, PlanSource planSource,
                QObject* parent = nullptr);
    ~CoreSession() override;

    State state() const { return m_state; }
    // The current (or last) start runs the core in TUN mode.
    bool runsTun() const { return m_tun; }
    // The current start restores a connection that the core's exit broke: the desktop's
    // proxies kept pointing at the core all along.
    bool isRestoring() const { return m_restoring; }

    // Marks a start that waits for the administrator's consent; stop() cancels its ticket.
    [[nodiscard]] CancellationTicket beginAuthorization();
    // The consent was not given: back to Stopped.
    void abandonAuthorization();
    // A start of the user's own; runs from the event loop, so this returns at once.
    void start();
    // Ends whatever runs: a start, a pending restart, the core. Requests in flight are aborted.
    void stop();
    // After sleep or a network change: a core that no longer answers is replaced like one that
    // ended; one that answers drops its connections, made over the old route.
    void recheck();

    // Orphaned cores of this user on our data folder end (start-up clean-up).
    void cleanupOrphanCore();

    ControllerClient& controller() { return *m_controller; }

signals:
    void stateChanged(CoreSession::State state);
    // A start failed or the core could not be restored; emitted once the session is Stopped.
    void failed(const ControlError& error);
    // The core passed a recheck and closed its connections.
    void rechecked();

private:
    void setState(State state);
    QCoro::Task<> run(CancellationTicket ticket);
    // Polls the controller until it answers and both ports are held by our core.
    QCoro::Task<ControlResult> waitForController(CancellationTicket ticket, PortGuard ports);
    QCoro::Task<> recheckTask(CancellationTicket ticket);
    // A start that cannot go on: a restart gives the connection up, a start of the user's
    // reports why.
    void failStart(const ControlError& error);
    void fail(const ControlError& error);
    void onProcessEnded();
    // The core is started again after a pause, unless it ended too often lately.
    void recover();
    // Cancels the current ticket; returns a fresh one.
    CancellationTicket renewTicket();

    Setup m_setup;
    PlanSource m_planSource;
    CoreSupervisor* m_supervisor = nullptr;   // child
    ControllerClient* m_controller = nullptr; // child
    State m_state = State::Stopped;
    CancellationTicket m_ticket;
    bool m_tun = false;
    bool m_restoring = false;
    QList<qint64> m_recentExits; // m_clock times of unexpected exits within the window
    QElapsedTimer m_clock;
};
