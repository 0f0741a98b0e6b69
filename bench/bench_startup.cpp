// Start-up cost of the application: time from process start to the main window's first paint,
// next to a bare Qt window with a tray icon measured in the same run, and resident memory idle
// with the window shown and again after opening and closing both sheets.
//
//   bench_startup [runs]     (default 7; runs itself as a child three times per run)
//
// The parent takes the monotonic clock just before spawning a child; the child takes it when its
// window receives its first paint event, then idles for a second and reads VmRSS.
//   --child app     the application shell as the program builds it: QApplication, the controller
//                   (over a temporary data folder, so no real settings or desktop state are
//                   touched), the main window with ContentView and the tray icon;
//   --child sheets  the same, then opens and closes the settings and the rules sheet;
//   --child bare    a QApplication, an empty window of the same size and a tray icon.
#include "App.h"
#include "controller/MihomoManager.h"
#include "platform/NetworkInterfaces.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int IdleMs = 1000;
constexpr int SheetOpenMs = 300;

long long monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

long residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Notes the first paint of the window.
class FirstPaint : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && paintedNs == 0)
            paintedNs = monotonicNs();
        return QObject::eventFilter(watched, event);
    }
    long long paintedNs = 0;
};

void report(const FirstPaint& firstPaint) {
    std::printf("%lld %ld\n", firstPaint.paintedNs, residentKb());
    std::fflush(stdout);
}

int runBare(QApplication& application) {
    QWidget window;
    window.setWindowTitle(QStringLiteral("Miravo VPN"));
    window.setFixedSize(390, 590);
    QSystemTrayIcon tray(QIcon(QStringLiteral(":/tray/bolt.shield.svg")));
    tray.show();
    FirstPaint firstPaint;
    window.installEventFilter(&firstPaint);
    window.show();
    QTimer::singleShot(IdleMs, &application, [&] {
        report(firstPaint);
        application.quit();
    });
    return application.exec();
}

int runApp(QApplication& application, bool openSheets) {
    QTemporaryDir dir;
    ManagerEnvironment environment;
    environment.paths.dataDir = dir.filePath(QStringLiteral("data"));
    environment.paths.homeDir = dir.filePath(QStringLiteral("home"));
    environment.paths.bundle = BundleLayout::forRunningApplication();
    environment.platform.interfaces = systemInterfaceAddresses;
    environment.platform.lanInterfacePrefixes = lanInterfacePrefixes();
    environment.platform.pkillPath = QStringLiteral("/bin/true");
    MihomoManager manager(std::move(environment));
    VantrelVPNApp app(manager);

    FirstPaint firstPaint;
    QObject::connect(&app.mainWindow(), &MainWindow::firstPainted, &app,
                     [&firstPaint] { firstPaint.paintedNs = monotonicNs(); });
    app.showMainWindow();

    // The shell's own quit: a plain quit is refused by the window when no tray is there.
    if (!openSheets) {
        QTimer::singleShot(IdleMs, &application, [&] {
            report(firstPaint);
            app.quit();
        });
        return application.exec();
    }
    QTimer::singleShot(SheetOpenMs, &manager, [&] { manager.setShowSettings(true); });
    QTimer::singleShot(2 * SheetOpenMs, &manager, [&] { manager.setShowSettings(false); });
    QTimer::singleShot(3 * SheetOpenMs, &manager, [&] {
        manager.refreshConnections();
        manager.setShowRules(true);
    });
    QTimer::singleShot(4 * SheetOpenMs, &manager, [&] { manager.setShowRules(false); });
    QTimer::singleShot(4 * SheetOpenMs + IdleMs, &application, [&] {
        report(firstPaint);
        app.quit();
    });
    return application.exec();
}

int runChild(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VantrelVPN"));
    QApplication::setQuitOnLastWindowClosed(false);
    const std::string mode = argv[2];
    if (mode == "bare")
        return runBare(application);
    return runApp(application, mode == "sheets");
}

struct Sample {
    double startupMs = 0;
    double residentMb = 0;
};

bool runOnce(const char* self, const char* mode, Sample& sample) {
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char child[] = "--child";
    char* arguments[] = {const_cast<char*>(self), child, const_cast<char*>(mode), nullptr};
    pid_t pid = 0;
    const long long startNs = monotonicNs();
    const int spawned = posix_spawn(&pid, self, &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return false;
    }
    std::string output;
    char buffer[256];
    ssize_t count = 0;
    while ((count = read(fds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, size_t(count));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    long long paintedNs = 0;
    long residentKb = 0;
    if (std::sscanf(output.c_str(), "%lld %ld", &paintedNs, &residentKb) != 2 || paintedNs == 0)
        return false;
    sample.startupMs = double(paintedNs - startNs) / 1e6;
    sample.residentMb = double(residentKb) / 1024.0;
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc > 2 && std::string(argv[1]) == "--child")
        return runChild(argc, argv);

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    std::vector<double> appStartup, bareStartup, ratio, idle, afterSheets;
    for (int run = 0; run < runs; ++run) {
        Sample app, bare, sheets;
        // Alternated, so that a slower moment of the machine hits both alike.
        if (!runOnce("/proc/self/exe", "bare", bare) || !runOnce("/proc/self/exe", "app", app) ||
            !runOnce("/proc/self/exe", "sheets", sheets)) {
            std::fprintf(stderr, "run %d failed\n", run + 1);
            return 1;
        }
        std::printf("run %d: first paint %.1f ms (bare window %.1f ms, %.2fx), resident idle "
                    "%.1f MB, after both sheets %.1f MB\n",
                    run + 1, app.startupMs, bare.startupMs, app.startupMs / bare.startupMs,
                    app.residentMb, sheets.residentMb);
        appStartup.push_back(app.startupMs);
        bareStartup.push_back(bare.startupMs);
        ratio.push_back(app.startupMs / bare.startupMs);
        idle.push_back(app.residentMb);
        afterSheets.push_back(sheets.residentMb);
    }
    std::printf("median: first paint %.1f ms, bare window %.1f ms, ratio %.2fx (target <= 1.3x); "
                "resident idle %.1f MB (target <= 40), after both sheets %.1f MB (target <= 44)\n",
                median(appStartup), median(bareStartup), median(ratio), median(idle),
                median(afterSheets));
    return 0;
}
