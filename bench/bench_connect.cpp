// Connect and disconnect with the development core in system-proxy mode and a fake desktop
// proxy tool: time from toggleConnection to isConnected, and the duration of disconnect.
// Each repetition is one cycle; the median over 20 is the figure to read.
#include "controller/MihomoManager.h"
#include "platform/SystemProxy.h"
#include "platform/linux/LinuxDesktopProxy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <memory>

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    installation().manager.reset();
    benchmark::Shutdown();
    return 0;
}
