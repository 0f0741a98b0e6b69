#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <initializer_list>
#include <vector>

// Catches the given Unix signals (SIGTERM, SIGINT, SIGHUP: the end of the desktop session, a
// terminal) and reports them on the main thread, where they become an orderly quit: the
// terminate path still stops the core and switches the system proxies off. The handler only
// writes to a pipe. One instance at a time.
//
// The first signal also starts a deadline (SIGALRM): a quit that has not ended by then (a tool
// or a core that hangs) kills the children's process groups and exits with deadlineExitCode,
// so that a signal always ends the application within 10 s.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    static constexpr unsigned quitDeadlineSeconds = 9;
    static constexpr int deadlineExitCode = 3;

    explicit TerminationSignals(std::initializer_list<int> signalNumbers,
                                QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    // Emitted on the main thread, once the event loop runs.
    void received(int signalNumber);

private:
    void drain();

    std::vector<int> m_signals;
    QSocketNotifier* m_notifier = nullptr;
};
