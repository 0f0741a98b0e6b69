#pragma once

#include <QtGlobal>

class QProcess;

// The one place that changes the application's child processes between fork and exec, and
// that knows which of their process groups must not outlive the application.
namespace ChildProcessSetup {

struct Options {
    // The child leads a process group of its own (its id is the child's pid), so that it and
    // everything it forks can be signalled at once with kill(-pid, ...).
    bool ownProcessGroup = false;
    // The child gets SIGTERM when the application dies, even by a crash (Linux only; elsewhere
    // the start-up clean-up covers it).
    bool endWithParent = false;
};

void apply(QProcess& process, Options options);

// Running process groups that an emergency exit ends (a few at a time: the core, one tool).
void trackGroup(qint64 group);
void untrackGroup(qint64 group);
// SIGKILL to every tracked group. Async-signal-safe.
void killTrackedGroups();

} // namespace ChildProcessSetup
