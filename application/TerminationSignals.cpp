#include "TerminationSignals.h"

#include "platform/ChildProcessSetup.h"

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
struct sigaction g_previous[NSIG];
volatile sig_atomic_t g_deadlineArmed = 0;

// The orderly quit did not finish in time (a wedged tool, a core that will not stop): end the
// children that must not outlive us and leave at once.
void onQuitDeadline(int) {
    ChildProcessSetup::killTrackedGroups();
    ::_exit(TerminationSignals::deadlineExitCode);
}

void onSignal(int signalNumber) {
    const int savedErrno = errno;
    if (!g_deadlineArmed) {
        g_deadlineArmed = 1;
        ::alarm(TerminationSignals::quitDeadlineSeconds);
    }
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent), m_signals(signalNumbers) {
    Q_ASSERT(g_pipe[0] == -1);
    // Close-on-exec keeps the pipe out of the core and the desktop tools.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::drain);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : m_signals)
        ::sigaction(signalNumber, &action, &g_previous[signalNumber]);

    struct sigaction deadline = {};
    deadline.sa_handler = onQuitDeadline;
    sigemptyset(&deadline.sa_mask);
    ::sigaction(SIGALRM, &deadline, &g_previous[SIGALRM]);
}

TerminationSignals::~TerminationSignals() {
    if (g_pipe[0] == -1)
        return;
    for (int signalNumber : m_signals)
        ::sigaction(signalNumber, &g_previous[signalNumber], nullptr);
    ::alarm(0);
    g_deadlineArmed = 0;
    ::sigaction(SIGALRM, &g_previous[SIGALRM], nullptr);
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void TerminationSignals::drain() {
    char bytes[16];
    ssize_t count;
    while ((count = ::read(g_pipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit received(int(bytes[i]));
    }
}
