// The development core's relay throughput (one 256 MiB download through the mixed port, HTTP
// CONNECT) and its resident memory while idle. Both sides of the download are plain blocking
// sockets in this process, so the figures are the core's.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kDownloadBytes = 256ll * 1024 * 1024;

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

int connectLocal(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends kDownloadBytes to every client, then closes.
class Origin {
public:
    Origin() {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 8);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~Origin() {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
    }
    quint16 port() const { return m_port; }

private:
    void serve() {
        std::vector<char> block(1024 * 1024, 'x');
        while (!m_stop) {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            for (qint64 sent = 0; sent < kDownloadBytes;) {
                const ssize_t n = ::send(client, block.data(), block.size(), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
            }
            ::close(client);
        }
    }

    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class StagedCore {
public:
    StagedCore() : mixedPort(freePort()), controllerPort(freePort()) {
        QFile file(m_dir.filePath("config.yaml"));
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("mixed-port: %1\nmode: rule\nlog-level: warning\n"
                                  "external-controller: 127.0.0.1:%2\n"
                                  "proxies:\n  - name: Node\n    type: vless\n"
                                  "    server: 127.0.0.1\n    port: 9\n"
                                  "proxy-groups:\n  - name: PROXY\n    type: fallback\n"
                                  "    proxies: [Node]\n"
                                  "rules:\n  - IP-CIDR,127.0.0.0/8,PROXY,no-resolve\n"
                                  "  - MATCH,DIRECT\n")
                       .arg(mixedPort)
                       .arg(controllerPort)
                       .toUtf8());
        file.close();
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(QStringLiteral(VANTREL_STAGE_DIR "/libexec/vantrel-vpn/vantrel-core"),
                        {"-d", m_dir.path(), "-f", m_dir.filePath("config.yaml")});
        m_process.waitForStarted();
        for (int i = 0; i < 200; ++i) {
            const int fd = connectLocal(controllerPort);
            if (fd >= 0) {
                ::close(fd);
                return;
            }
            QThread::msleep(25);
        }
    }
    ~StagedCore() {
        m_process.terminate();
        m_process.waitForFinished();
    }
    qint64 residentBytes() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        status.open(QIODevice::ReadOnly);
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
        }
        return 0;
    }

    quint16 mixedPort;
    quint16 controllerPort;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// One download through HTTP CONNECT; returns the bytes received.
qint64 downloadThroughCore(quint16 proxyPort, quint16 originPort) {
    const int fd = connectLocal(proxyPort);
    if (fd < 0)
        return 0;
    const QByteArray request =
        "CONNECT 127.0.0.1:" + QByteArray::number(originPort) + " HTTP/1.1\r\n\r\n";
    ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    std::vector<char> buffer(1024 * 1024);
    QByteArray header;
    qint64 received = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        if (header.endsWith("\r\n\r\n")) {
            received += n;
            continue;
        }
        header.append(buffer.data(), n);
        const qsizetype end = header.indexOf("\r\n\r\n");
        if (end >= 0) {
            received += header.size() - end - 4;
            header.truncate(end + 4);
        }
    }
    ::close(fd);
    return received;
}

void BM_RelayThroughput(benchmark::State& state) {
    Origin origin;
    StagedCore core;
    for (auto _ : state) {
        const qint64 received = downloadThroughCore(core.mixedPort, origin.port());
        if (received != kDownloadBytes)
            state.SkipWithError("the download arrived incomplete");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kDownloadBytes);
    state.counters["rss_after_MB"] = double(core.residentBytes()) / 1e6;
}
BENCHMARK(BM_RelayThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_IdleResidentMemory(benchmark::State& state) {
    StagedCore core;
    QThread::msleep(1500);
    for (auto _ : state)
        benchmark::DoNotOptimize(core.residentBytes());
    state.counters["rss_idle_MB"] = double(core.residentBytes()) / 1e6;
}
BENCHMARK(BM_IdleResidentMemory)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
