// The traffic stream's cost: per line through the real parsing path, and the controller's CPU
// while connected and idle (one traffic line a second, quota polling on).
//   ./bench/bench_traffic                       both
//   ./bench/bench_traffic --benchmark_filter=Lines
// The idle run starts this program again as "--serve <port>": a stand-in core and quota service
// in another process, so that getrusage counts the controller's side alone.
#include "ManagerTestAccess.h"
#include "controller/MihomoManager.h"
#include "monitoring/TrafficStream.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

namespace {

constexpr int linesPerRun = 100'000;
constexpr int idleSeconds = 60;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<MihomoManager> makeManager(const QTemporaryDir& dir, quint16 port) {
    ManagerEnvironment environment;
    environment.paths.dataDir = dir.filePath(QStringLiteral("data"));
    environment.paths.homeDir = dir.filePath(QStringLiteral("home"));
    environment.platform.pkillPath = QStringLiteral("/bin/true");
    environment.apiPort = port;
    return std::make_unique<MihomoManager>(std::move(environment));
}

// 100,000 lines through the stream's line reader and decoder into the controller's two
// published rates, as the running stream does it.
void BM_TrafficLines(benchmark::State& state) {
    QByteArray body;
    for (int i = 0; i < linesPerRun; ++i)
        body += "{\"up\":" + QByteArray::number(i * 7) + ",\"down\":" + QByteArray::number(i * 13) +
                "}\n";
    QTemporaryDir dir;
    const std::unique_ptr<MihomoManager> manager = makeManager(dir, 1);
    QNetworkAccessManager network;
    TrafficStream stream(&network);
    QObject::connect(&stream, &TrafficStream::sample, manager.get(), [&](LiveTraffic traffic) {
        MihomoManagerTestAccess::setUpSpeed(*manager, traffic.up);
        MihomoManagerTestAccess::setDownSpeed(*manager, traffic.down);
    });

    qint64 nanoseconds = 0;
    for (auto _ : state) {
        QBuffer buffer(&body);
        buffer.open(QIODevice::ReadOnly);
        QElapsedTimer timer;
        timer.start();
        stream.consumeLines(buffer, true);
        nanoseconds += timer.nsecsElapsed();
    }
    benchmark::DoNotOptimize(manager->downSpeed());
    state.SetItemsProcessed(state.iterations() * linesPerRun);
    state.counters["ns_per_line"] = double(nanoseconds) / double(state.iterations() * linesPerRun);
}
BENCHMARK(BM_TrafficLines)->Unit(benchmark::kMillisecond);

// The controller connected and idle for 60 s: the stream reads one line a second and the quota
// is polled every 30 s. Reports the share of one core used by this process.
void BM_ConnectedIdleCpu(benchmark::State& state) {
    for (auto _ : state) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        QProcess server;
        server.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--serve"), QString::number(port)});
        server.waitForReadyRead(5000);

        QTemporaryDir dir;
        const std::unique_ptr<MihomoManager> manager = makeManager(dir, port);
        AppConfig config = manager->config();
        config.apiBaseURL = QStringLiteral("http://127.0.0.1:%1").arg(port);
        manager->setConfig(config);
        QNetworkAccessManager network;
        TrafficStream stream(&network);
        int samples = 0;
        QObject::connect(&stream, &TrafficStream::sample, manager.get(), [&](LiveTraffic traffic) {
            MihomoManagerTestAccess::setUpSpeed(*manager, traffic.up);
            MihomoManagerTestAccess::setDownSpeed(*manager, traffic.down);
            ++samples;
        });
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/traffic").arg(port)));
        stream.start(request);
        manager->startQuotaPolling();

        const double cpuBefore = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QEventLoop loop;
        QTimer::singleShot(idleSeconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu = cpuSeconds() - cpuBefore;
        const double seconds = double(wall.elapsed()) / 1000.0;

        stream.stop();
        server.kill();
        server.waitForFinished(5000);
        state.counters["cpu_percent_of_core"] = 100.0 * cpu / seconds;
        state.counters["samples"] = samples;
        state.counters["quota_ok"] = manager->quota().has_value();
    }
}
BENCHMARK(BM_ConnectedIdleCpu)->Iterations(1)->Unit(benchmark::kSecond);

// The stand-in: GET /traffic is an endless body with one line a second; anything else gets a
// small quota report.
int serve(quint16 port) {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, port))
        return 1;
    QList<QPointer<QTcpSocket>> streams;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &streams] {
                const QByteArray head = socket->readAll();
                if (head.startsWith("GET /traffic")) {
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  "Connection: close\r\n\r\n");
                    streams.append(socket);
                    return;
                }
                const QByteArray report =
                    R"({"ok":true,"node_name":"n","server_ip":"127.0.0.1","location":"l",)"
                    R"("reset_day":1,"cycle_start":"a","next_reset":"b","days_remaining":3,)"
                    R"("quota_bytes":6000000000000,"used_bytes":1,"remaining_bytes":2,)"
                    R"("upload_bytes":0,"download_bytes":1,"proxy_used_bytes":1,"percent_used":0})";
                socket->write(
                    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                    QByteArray::number(report.size()) + "\r\nConnection: close\r\n\r\n" + report);
                socket->disconnectFromHost();
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    QTimer tick;
    qint64 n = 0;
    QObject::connect(&tick, &QTimer::timeout, &server, [&] {
        ++n;
        for (const QPointer<QTcpSocket>& socket : streams) {
            if (socket)
                socket->write("{\"up\":" + QByteArray::number(n * 100) +
                              ",\"down\":" + QByteArray::number(n * 1000) + "}\n");
        }
    });
    tick.start(1000);
    fputs("ready\n", stdout);
    fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--serve")
        return serve(QByteArray(argv[2]).toUShort());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
