#include "controller/ToolRun.h"

#include "monitoring/Wakeup.h"

#include <QPointer>
#include <QProcess>

QCoro::Task<std::optional<int>> runToolAsync(QObject* owner, QString program,
                                             QStringList arguments) {
    QPointer<QProcess> process = new QProcess(owner);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    process->setProgram(program);
    process->setArguments(arguments);
    {
        Wakeup ended;
        ended.on(process.data(), &QProcess::finished);
        ended.on(process.data(), &QProcess::errorOccurred);
        ended.on(process.data(), &QObject::destroyed);
        process->start();
        co_await ended.fired();
    }
    // Errors other than these leave the process running: wait on for its end.
    while (process && process->state() != QProcess::NotRunning) {
        Wakeup ended;
        ended.on(process.data(), &QProcess::finished);
        ended.on(process.data(), &QObject::destroyed);
        co_await ended.fired();
    }
    if (!process)
        co_return std::nullopt;
    std::optional<int> status;
    if (process->error() != QProcess::FailedToStart &&
        process->exitStatus() == QProcess::NormalExit)
        status = process->exitCode();
    process->deleteLater();
    co_return status;
}
