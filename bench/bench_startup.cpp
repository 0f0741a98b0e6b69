// Start-up cost of the main window: time from process start to the main window's first paint,
// and resident memory once the window is shown and idle.
//
//   bench_startup [runs]     (default 7; runs itself as a child each time)
//
// The parent takes the monotonic clock just before spawning the child; the child takes it when
// its window receives its first paint event, then idles for a second and reads VmRSS. The child
// builds what the application builds before its first paint: QApplication, the controller (over
// a temporary data folder, so no real settings or desktop state are touched) and ContentView.
#include "controller/MihomoManager.h"
#include "ui/ContentView.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int IdleMs = 1000;

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

int runChild(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VantrelVPN"));
    QApplication::setQuitOnLastWindowClosed(false);

    QTemporaryDir dir;
    ManagerEnvironment environment;
    environment.paths.dataDir = dir.filePath(QStringLiteral("data"));
    environment.paths.homeDir = dir.filePath(QStringLiteral("home"));
    environment.paths.bundle = BundleLayout::forRunningApplication();
    environment.platform.interfaces = systemInterfaceAddresses;
    environment.platform.lanInterfacePrefixes = lanInterfacePrefixes();
    environment.platform.pkillPath = QStringLiteral("/bin/true");
    MihomoManager manager(std::move(environment));

    ContentView view(manager);
    view.setWindowTitle(QStringLiteral("Miravo VPN"));
    FirstPaint firstPaint;
    view.installEventFilter(&firstPaint);
    view.show();

    QTimer::singleShot(IdleMs, &application, [&] {
        std::printf("%lld %ld\n", firstPaint.paintedNs, residentKb());
        std::fflush(stdout);
        application.quit();
    });
    return application.exec();
}

struct Sample {
    double startupMs = 0;
    double residentMb = 0;
};

bool runOnce(const char* self, Sample& sample) {
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char child[] = "--child";
    char* arguments[] = {const_cast<char*>(self), child, nullptr};
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
    if (argc > 1 && std::string(argv[1]) == "--child")
        return runChild(argc, argv);

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    std::vector<double> startup;
    std::vector<double> resident;
    for (int run = 0; run < runs; ++run) {
        Sample sample;
        if (!runOnce("/proc/self/exe", sample)) {
            std::fprintf(stderr, "run %d failed\n", run + 1);
            return 1;
        }
        std::printf("run %d: first paint %.1f ms, resident %.1f MB\n", run + 1, sample.startupMs,
                    sample.residentMb);
        startup.push_back(sample.startupMs);
        resident.push_back(sample.residentMb);
    }
    std::printf("median: first paint %.1f ms (target < 300), resident idle %.1f MB (target < 60)\n",
                median(startup), median(resident));
    return 0;
}
