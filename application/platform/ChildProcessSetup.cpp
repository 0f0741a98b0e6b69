#include "platform/ChildProcessSetup.h"

#include <QProcess>

#include <atomic>
#include <csignal>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace ChildProcessSetup {

namespace {
// Lock-free slots, readable from a signal handler; 0 is a free slot.
std::atomic<pid_t> g_groups[8];
static_assert(std::atomic<pid_t>::is_always_lock_free);
} // namespace

void apply(QProcess& process, Options options) {
    // Runs in the child after fork: only async-signal-safe calls belong here.
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([options, parent] {
        if (options.ownProcessGroup)
            ::setpgid(0, 0);
#ifdef __linux__
        if (options.endWithParent) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) // the application died before the line above
                ::raise(SIGTERM);
        }
#else
        (void)parent;
#endif
    });
}

void trackGroup(qint64 group) {
    for (auto& slot : g_groups) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid_t(group)))
            return;
    }
}

void untrackGroup(qint64 group) {
    for (auto& slot : g_groups) {
        pid_t expected = pid_t(group);
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

void killTrackedGroups() {
    for (auto& slot : g_groups) {
        if (const pid_t group = slot.load(); group > 0)
            ::kill(-group, SIGKILL);
    }
}

} // namespace ChildProcessSetup
