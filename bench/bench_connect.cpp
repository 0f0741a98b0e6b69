// Connect and disconnect with the development core in system-proxy mode and a fake desktop
// proxy tool: time from toggleConnection to isConnected, and the duration of disconnect.
// Each repetition is one cycle; the median over 20 is the figure to read. Also: the time from a
// killed core to "已连接" again (the first recovery pause is 1 s), and the controller's CPU while
// connected and idle with the sleep and network watchers on (30 s).
#include "controller/MihomoManager.h"
#include "platform/SystemNetworkWatcher.h"
#include "platform/SystemProxy.h"
#include "platform/linux/LinuxDesktopProxy.h"
#include "platform/linux/LogindSleepWatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

quint16 freePort() {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

bool writeExecutable(const QString& path, const QByteArray& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(text);
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A temporary installation: the staged development core, a gsettings stand-in, a data folder.
struct Installation {
    QTemporaryDir dir;
    std::unique_ptr<MihomoManager> manager;

    Installation() {
        const BundleLayout layout = BundleLayout::linuxLayout(dir.path() + "/bin/vantrel-vpn");
        QDir().mkpath(QFileInfo(layout.coreBinary).absolutePath());
        QDir().mkpath(dir.path() + "/tools");
        QFile::copy(QStringLiteral(VANTREL_STAGE_DIR "/libexec/vantrel-vpn/vantrel-core"),
                    layout.coreBinary);
        writeExecutable(dir.path() + "/tools/gsettings",
                        "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$(dirname \"$0\")/calls\"\n");

        ManagerEnvironment environment;
        environment.paths.dataDir = dir.path() + "/data";
        environment.paths.homeDir = dir.path() + "/home";
        environment.paths.bundle = layout;
        environment.platform.systemProxy =
            std::make_unique<LinuxDesktopProxy>(QStringList{dir.path() + "/tools"});
        environment.platform.interfaces = [] { return QList<InterfaceAddress>{}; };
        environment.platform.deviceName = [] { return QStringLiteral("bench"); };
        environment.mixedPort = freePort();
        environment.apiPort = freePort();
        environment.controllerSecret = QStringLiteral("00112233445566778899aabbccddeeff");
        environment.platform.sleepWatcher =
            std::make_unique<LogindSleepWatcher>(QDBusConnection::systemBus());
        environment.platform.networkWatcher = std::make_unique<SystemNetworkWatcher>();
        manager = std::make_unique<MihomoManager>(std::move(environment));
        AppConfig config = manager->config();
        config.tunEnabled = false; // system-proxy mode
        manager->setConfig(config);
    }
};

Installation& installation() {
    static Installation instance;
    return instance;
}

bool waitUntilConnected(MihomoManager& manager) {
    QEventLoop loop;
    QObject::connect(&manager, &MihomoManager::isConnectedChanged, &loop, [&] {
        if (manager.isConnected())
            loop.quit();
    });
    QObject::connect(&manager, &MihomoManager::isBusyChanged, &loop, [&] {
        if (!manager.isBusy())
            loop.quit();
    });
    QTimer::singleShot(20'000, &loop, &QEventLoop::quit);
    if (manager.isBusy())
        loop.exec();
    return manager.isConnected();
}

void connectCycle(benchmark::State& state, bool timeConnect) {
    MihomoManager& manager = *installation().manager;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        manager.toggleConnection();
        if (!waitUntilConnected(manager)) {
            state.SkipWithError(
                qPrintable(QStringLiteral("connect failed: ") + manager.errorMessage()));
            break;
        }
        const double connectSeconds = timer.nsecsElapsed() / 1e9;
        timer.restart();
        manager.disconnect();
        const double disconnectSeconds = timer.nsecsElapsed() / 1e9;
        state.SetIterationTime(timeConnect ? connectSeconds : disconnectSeconds);
    }
}

void BM_ToggleConnectionUntilConnected(benchmark::State& state) {
    connectCycle(state, true);
}
void BM_Disconnect(benchmark::State& state) {
    connectCycle(state, false);
}

// The core running on this data folder, found by its command line.
qint64 corePid(const QString& dataDir) {
    const QByteArray needle = QByteArray("\0-d\0", 4) + QFile::encodeName(dataDir) + '\0';
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(needle))
            return entry.toLongLong();
    }
    return 0;
}

// SIGKILL to the core while connected, until "已连接" again.
void BM_RecoveryUntilConnected(benchmark::State& state) {
    MihomoManager& manager = *installation().manager;
    for (auto _ : state) {
        // Recoveries within a minute count together; a fresh connect starts the count again.
        manager.disconnect();
        manager.toggleConnection();
        if (!waitUntilConnected(manager)) {
            state.SkipWithError("connect failed");
            break;
        }
        QEventLoop loop;
        QObject::connect(&manager, &MihomoManager::isBusyChanged, &loop, [&] {
            if (manager.isBusy())
                loop.quit();
        });
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(corePid(manager.appSupportDir())), SIGKILL);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec(); // the exit was noticed
        if (!waitUntilConnected(manager)) {
            state.SkipWithError(
                qPrintable(QStringLiteral("recovery failed: ") + manager.errorMessage()));
            break;
        }
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
    }
    manager.disconnect();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Connected and idle with the watchers on: the traffic stream's line a second and whatever the
// watchers cost.
void BM_IdleConnectedWithWatchers(benchmark::State& state) {
    MihomoManager& manager = *installation().manager;
    manager.toggleConnection();
    if (!waitUntilConnected(manager)) {
        state.SkipWithError("connect failed");
        return;
    }
    for (auto _ : state) {
        QElapsedTimer wall;
        wall.start();
        const double before = cpuSeconds();
        QEventLoop loop;
        QTimer::singleShot(30'000, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu = cpuSeconds() - before;
        const double seconds = wall.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        state.counters["cpu_percent_of_core"] = 100.0 * cpu / seconds;
    }
    manager.disconnect();
}

BENCHMARK(BM_ToggleConnectionUntilConnected)
    ->Iterations(1)
    ->Repetitions(20)
    ->UseManualTime()
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Disconnect)
    ->Iterations(1)
    ->Repetitions(20)
    ->UseManualTime()
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_RecoveryUntilConnected)
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleConnectedWithWatchers)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    installation().manager.reset();
    benchmark::Shutdown();
    return 0;
}
