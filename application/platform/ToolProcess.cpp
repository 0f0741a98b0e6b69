#include "platform/ToolProcess.h"

#include "platform/ChildProcessSetup.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <atomic>
#include <csignal>

namespace ToolProcess {

namespace {

std::atomic<qint64> g_timeoutMs{5000};

// Waits for the tool until the deadline; a tool with a deadline runs in a process group of its
// own, which is killed whole on expiry. True when the tool finished in time.
bool runToEnd(QProcess& process, const QString& program, const QStringList& arguments,
              QDeadlineTimer deadline) {
    // A tool without a deadline may talk to the terminal, so it stays in our group.
    if (!deadline.isForever())
        ChildProcessSetup::apply(process, {.ownProcessGroup = true});
    process.start(program, arguments);
    if (!process.waitForStarted(int(deadline.isForever() ? -1 : deadline.remainingTime())))
        return false;
    if (deadline.isForever())
        return process.waitForFinished(-1);
    const qint64 group = process.processId();
    ChildProcessSetup::trackGroup(group);
    bool finished = process.waitForFinished(int(deadline.remainingTime()));
    if (!finished) {
        ::kill(-pid_t(group), SIGKILL);
        process.waitForFinished(-1);
    }
    ChildProcessSetup::untrackGroup(group);
    return finished;
}

std::optional<int> runForwarded(const QString& program, const QStringList& arguments,
                                QDeadlineTimer deadline) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    if (!runToEnd(process, program, arguments, deadline))
        return std::nullopt;
    if (process.exitStatus() != QProcess::NormalExit)
        return std::nullopt;
    return process.exitCode();
}

} // namespace

std::chrono::milliseconds timeout() {
    return std::chrono::milliseconds(g_timeoutMs.load());
}

void setTimeout(std::chrono::milliseconds limit) {
    g_timeoutMs = limit.count();
}

std::optional<int> run(const QString& program, const QStringList& arguments) {
    return runForwarded(program, arguments, QDeadlineTimer(timeout()));
}

std::optional<QByteArray> output(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    if (!runToEnd(process, program, arguments, QDeadlineTimer(timeout())))
        return std::nullopt;
    return process.readAllStandardOutput();
}

QString find(const QString& name, const QStringList& searchPath) {
    for (const QString& folder : searchPath) {
        if (folder.isEmpty())
            continue;
        const QFileInfo candidate(QDir(folder).filePath(name));
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return {};
}

QStringList environmentSearchPath() {
    return qEnvironmentVariable("PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
}

} // namespace ToolProcess
