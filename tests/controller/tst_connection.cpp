// Connect, disconnect, the TUN switch and start-up recovery, with real processes: the
// development core (or tiny script cores), the real launcher, real pkill and HTTP on 127.0.0.1.
#include "TestBundle.h"

#include "config/SettingsStore.h"
#include "controller/MihomoManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kDisconnected = QStringLiteral("未连接");
const QString kStarting = QStringLiteral("正在启动…");
const QString kConnected = QStringLiteral("已连接");
const QString kTunConnected = QStringLiteral("虚拟网卡已连接");
const QString kProxySchema = QStringLiteral("org.gnome.system.proxy");
constexpr int kConnectTimeoutMs = 20'000;

// Runs until SIGTERM, never listens; its command line is that of a core.
const QString kIdleCore = QStringLiteral("trap 'kill $! 2>/dev/null; exit 0' TERM\n"
                                         "sleep 60 &\n"
                                         "wait\n");

const QString kRecovering = QStringLiteral("正在重新连接…");
const QString kCoreDied = QStringLiteral("内核意外退出，已断开连接");

std::unique_ptr<MihomoManager> makeManager(const TestBundle& bundle, bool tun = false,
                                           ProxyMode mode = ProxyMode::Rule,
                                           ManagerEnvironment environment = {}) {
    if (environment.paths.dataDir.isEmpty())
        environment = bundle.environment();
    auto manager = std::make_unique<MihomoManager>(std::move(environment));
    AppConfig config = manager->config();
    config.tunEnabled = tun;
    config.mode = mode;
    manager->setConfig(config);
    return manager;
}

QString proxyMode(const TestBundle& bundle) {
    return bundle.gsetting(kProxySchema, QStringLiteral("mode"));
}

// GET on the running core's controller, with the secret.
QJsonObject coreGet(const TestBundle& bundle, const QString& path) {
    QNetworkAccessManager network;
    QNetworkRequest request(
        QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(bundle.apiPort()).arg(path)));
    request.setRawHeader("Authorization", "Bearer " + TestBundle::secret().toUtf8());
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    finished.wait(5000);
    return QJsonDocument::fromJson(reply->readAll()).object();
}

// Short pauses between the restarts of a recovery, so that tests do not wait for them.
ManagerEnvironment quickRecovery(const TestBundle& bundle) {
    ManagerEnvironment environment = bundle.environment();
    environment.recoveryPausesMs = {20, 20, 20};
    return environment;
}

QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Whether the desktop proxy was switched off (set to 'none') among these gsettings calls.
bool switchedOff(const QStringList& calls) {
    return std::any_of(calls.begin(), calls.end(), [](const QString& call) {
        return call == QLatin1String("set org.gnome.system.proxy mode 'none'");
    });
}

// A controller that answers the readiness probe and drops every other request.
class ReadyButDeafController : public QTcpServer {
public:
    explicit ReadyButDeafController(quint16 port) : m_port(port) {
        QObject::connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (socket->peek(12).startsWith("GET /version"))
                        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"
                                      "Connection: close\r\n\r\n{}");
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        resume();
    }
    // Listens (again) on its port; close() makes it unreachable meanwhile.
    bool resume() { return listen(QHostAddress::LocalHost, m_port); }

private:
    quint16 m_port;
};

} // namespace

class ConnectionTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        const TestBundle bundle;
        QVERIFY2(bundle.isValid(), "the development core and the launcher must be staged");
    }

    void connectsAndDisconnects_data() {
        QTest::addColumn<bool>("tun");
        QTest::addColumn<QString>("connectedText");
        QTest::addColumn<QString>("proxyModeWhenConnected");
        QTest::newRow("system proxy") << false << kConnected << QStringLiteral("'manual'");
        QTest::newRow("tun") << true << kTunConnected << QStringLiteral("'none'");
    }
    void connectsAndDisconnects() {
        QFETCH(bool, tun);
        QFETCH(QString, connectedText);
        QFETCH(QString, proxyModeWhenConnected);
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(true));
        auto manager = makeManager(bundle, tun);
        QVERIFY(manager->tunPrivilegedReady());
        QSignalSpy statuses(manager.get(), &MihomoManager::statusMessageChanged);
        QStringList seen;
        QObject::connect(manager.get(), &MihomoManager::statusMessageChanged, manager.get(),
                         [&] { seen << manager->statusMessage(); });

        manager->toggleConnection();
        QVERIFY(manager->isBusy());
        manager->toggleConnection(); // ignored while busy
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(seen, (QStringList{kStarting, connectedText}));
        QVERIFY(!manager->isBusy());
        QCOMPARE(manager->errorMessage(), QString());
        QCOMPARE(bundle.corePids().size(), 1);
        QCOMPARE(proxyMode(bundle), proxyModeWhenConnected);
        QCOMPARE(bundle.proxiesPointHere(), !tun);
        QVERIFY(bundle.pkexecCalls().isEmpty());
        QVERIFY(coreGet(bundle, QStringLiteral("/version")).contains(QStringLiteral("version")));

        manager->toggleConnection();
        QVERIFY(!manager->isConnected());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(bundle.corePids().isEmpty());
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));

        // A second disconnect repeats the teardown harmlessly.
        bundle.setGsetting(kProxySchema, QStringLiteral("mode"), QStringLiteral("'manual'"));
        manager->disconnect();
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
    }

    void globalModeSelectsProxyGroup() {
        TestBundle bundle;
        auto manager = makeManager(bundle, false, ProxyMode::Global);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(coreGet(bundle, QStringLiteral("/proxies/GLOBAL")).value(QStringLiteral("now")),
                 QJsonValue(QStringLiteral("PROXY")));
        manager->disconnect();
    }

    void failedGlobalSelectionEndsTheAttempt() {
        TestBundle bundle;
        bundle.useScriptCore(kIdleCore);
        ReadyButDeafController controller(bundle.apiPort());
        QVERIFY(controller.isListening());
        auto manager = makeManager(bundle, false, ProxyMode::Global);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        QVERIFY(!manager->isConnected());
        QVERIFY(!manager->errorMessage().isEmpty());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(bundle.corePids().isEmpty());
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
    }

    void startFailuresReturnToDisconnected_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("core missing")
            << "core missing" << QStringLiteral("未找到内核 vantrel-core");
        QTest::newRow("launcher not executable")
            << "launcher not executable" << QStringLiteral("未找到 TUN 辅助程序 vantrel-helper");
        QTest::newRow("core exits at once")
            << "core exits" << QStringLiteral("内核启动失败，请检查配置或权限");
        QTest::newRow("controller never answers") << "core idle" << QStringLiteral("内核启动超时");
    }
    void startFailuresReturnToDisconnected() {
        QFETCH(QString, failure);
        QFETCH(QString, expectedError);
        TestBundle bundle;
        bool tun = false;
        if (failure == QLatin1String("core missing")) {
            QVERIFY(QFile::remove(bundle.layout().coreBinary));
        } else if (failure == QLatin1String("launcher not executable")) {
            // Authorised (root, set-user-ID) yet not executable.
            QVERIFY(bundle.setHelperAuthorised(true));
            QCOMPARE(::chmod(QFile::encodeName(bundle.layout().helperBinary).constData(), 04600),
                     0);
            tun = true;
        } else if (failure == QLatin1String("core exits")) {
            bundle.useScriptCore(QStringLiteral("exit 1"));
        } else {
            bundle.useScriptCore(kIdleCore);
        }
        auto manager = makeManager(bundle, tun);
        manager->connect();
        QVERIFY(manager->isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        QCOMPARE(manager->errorMessage(), expectedError);
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(!manager->isConnected());
        QVERIFY(bundle.corePids().isEmpty());
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
        QVERIFY(bundle.pkexecCalls().isEmpty());
    }

    void geodataIsCopiedOnceAndNeverRefreshed() {
        TestBundle bundle;
        bundle.useScriptCore(QStringLiteral("exit 1"));
        const auto write = [](const QString& path, const QByteArray& bytes) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(bytes);
        };
        const auto read = [](const QString& path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
        };
        const QString site = QStringLiteral("geosite.dat");
        const QString ip = QStringLiteral("geoip.metadb");
        write(bundle.layout().resource(site), "site v1");
        auto manager = makeManager(bundle);
        const QString dataSite = bundle.dataDir() + '/' + site;
        const QString dataIp = bundle.dataDir() + '/' + ip;

        manager->connect(); // geoip.metadb is missing from the bundle: skipped silently
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        QCOMPARE(read(dataSite), QByteArray("site v1"));
        QVERIFY(!QFile::exists(dataIp));

        write(bundle.layout().resource(site), "site v2");
        write(bundle.layout().resource(ip), "ip v2");
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        QCOMPARE(read(dataSite), QByteArray("site v1"));
        QCOMPARE(read(dataIp), QByteArray("ip v2"));
    }

    void coreLogHoldsOnlyTheLastStart() {
        TestBundle bundle;
        bundle.useScriptCore(QStringLiteral("echo \"out-$$\"\n"
                                            "echo \"err-$$\" >&2\n"
                                            "exit 1"));
        auto manager = makeManager(bundle);
        QStringList logs;
        for (int run = 0; run < 2; ++run) {
            manager->connect();
            QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
            QFile log(bundle.dataDir() + QStringLiteral("/core.log"));
            QVERIFY(log.open(QIODevice::ReadOnly));
            logs << QString::fromUtf8(log.readAll());
            QCOMPARE(log.permissions() & (QFile::ReadGroup | QFile::ReadOther),
                     QFile::Permissions());
        }
        for (const QString& text : logs) {
            const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.size(), 2); // standard output and error of one start
            QVERIFY(lines.at(0).startsWith(QLatin1String("out-")));
            QVERIFY(lines.at(1).startsWith(QLatin1String("err-")));
        }
        QVERIFY(logs.at(0) != logs.at(1));
        // The start before keeps its output one generation longer, owner-only as well.
        QFile previous(bundle.dataDir() + QStringLiteral("/core.log.1"));
        QVERIFY(previous.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(previous.readAll()), logs.at(0));
        QCOMPARE(previous.permissions() &
                     (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());
    }

    void tunSwitchReconnectsAfterTheDelay() {
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(true));
        auto manager = makeManager(bundle);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QVERIFY(bundle.proxiesPointHere());

        QElapsedTimer sinceSwitch;
        qint64 reconnectStartedAfterMs = -1;
        QObject::connect(manager.get(), &MihomoManager::statusMessageChanged, manager.get(), [&] {
            if (manager->statusMessage() == kStarting && reconnectStartedAfterMs < 0)
                reconnectStartedAfterMs = sinceSwitch.elapsed();
        });
        sinceSwitch.start();
        manager->toggleTun(true);
        const qint64 switchMs = sinceSwitch.elapsed();
        QVERIFY(!manager->isConnected());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(manager->config().tunEnabled);
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QVERIFY2(reconnectStartedAfterMs - switchMs >= 340,
                 qPrintable(QString::number(reconnectStartedAfterMs - switchMs)));
        QCOMPARE(manager->statusMessage(), kTunConnected);
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
        QCOMPARE(bundle.corePids().size(), 1);
        manager->disconnect();
        QVERIFY(bundle.corePids().isEmpty());
    }

    void tunSwitchDuringConnectRestartsInTheNewMode() {
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(true));
        auto manager = makeManager(bundle);
        QStringList seen;
        QObject::connect(manager.get(), &MihomoManager::statusMessageChanged, manager.get(),
                         [&] { seen << manager->statusMessage(); });
        manager->connect();
        manager->toggleTun(true); // the task started in system-proxy mode is dropped
        QVERIFY(!manager->isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(seen, (QStringList{kDisconnected, kStarting, kTunConnected}));
        QCOMPARE(bundle.corePids().size(), 1);
        manager->disconnect();
    }

    void tunSwitchWhileDisconnectedOnlySaves() {
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(true));
        auto manager = makeManager(bundle);
        QSignalSpy busy(manager.get(), &MihomoManager::isBusyChanged);
        manager->toggleTun(true);
        QTest::qWait(600);
        QCOMPARE(busy.count(), 0);
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QFile settings(bundle.dataDir() + QStringLiteral("/app_config.json"));
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(settings.readAll()).object().value("tunEnabled"),
                 QJsonValue(true));
    }

    void launcherCheck_data() {
        QTest::addColumn<uint>("mode");
        QTest::addColumn<uint>("owner");
        QTest::addColumn<bool>("authorised");
        QTest::newRow("root 4755") << 04755u << 0u << true;
        QTest::newRow("root 4700: only owner and set-user-ID count") << 04700u << 0u << true;
        QTest::newRow("root 0755") << 0755u << 0u << false;
        QTest::newRow("other owner 4755") << 04755u << 65534u << false;
    }
    void launcherCheck() {
        QFETCH(uint, mode);
        QFETCH(uint, owner);
        QFETCH(bool, authorised);
        TestBundle bundle;
        const QByteArray helper = QFile::encodeName(bundle.layout().helperBinary);
        QCOMPARE(::chown(helper.constData(), owner, 0), 0);
        QCOMPARE(::chmod(helper.constData(), mode), 0); // after chown, which clears the bit
        const MihomoManager manager(bundle.environment());
        QCOMPARE(manager.tunPrivilegedReady(), authorised);
        QCOMPARE(manager.checkCoreSetuid(), authorised);
        QVERIFY(QFile::remove(bundle.layout().helperBinary));
        QVERIFY(!manager.checkCoreSetuid());
    }

    void refusedAuthorisation() {
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(false));
        bundle.setPkexecExitCode(126);
        auto manager = makeManager(bundle, true);
        QVERIFY(!manager->tunPrivilegedReady());

        manager->connect();
        QCOMPARE(manager->errorMessage(),
                 QStringLiteral("虚拟网卡（TUN）需要一次管理员授权，或可先关闭 TUN 使用系统代理"));
        QVERIFY(!manager->isBusy());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QCOMPARE(bundle.pkexecCalls().size(), 1);
        QVERIFY(bundle.pkexecCalls().at(0).contains(bundle.layout().helperBinary));

        // Refused while connected in system-proxy mode: the connection stays, TUN is saved off.
        AppConfig config = manager->config();
        config.tunEnabled = false;
        manager->setConfig(config);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        const auto pids = bundle.corePids();
        manager->toggleTun(true);
        QCOMPARE(manager->errorMessage(), QStringLiteral("未授予管理员权限，保持系统代理模式"));
        QVERIFY(!manager->config().tunEnabled);
        QVERIFY(manager->isConnected());
        QCOMPARE(bundle.corePids(), pids);
        QCOMPARE(bundle.pkexecCalls().size(), 2);
        QVERIFY(!manager->tunPrivilegedReady());
        manager->disconnect();
    }

    void grantedAuthorisationConnectsInTun() {
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(false));
        bundle.setPkexecExitCode(0); // runs the root command for real (the tests run as root)
        auto manager = makeManager(bundle, true);
        manager->connect();
        QCOMPARE(bundle.pkexecCalls().size(), 1);
        QVERIFY(manager->tunPrivilegedReady());
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(manager->statusMessage(), kTunConnected);
        manager->disconnect();
        manager->connect(); // authorised now: no second prompt
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(bundle.pkexecCalls().size(), 1);
        manager->disconnect();
    }

    void killedCoreIsRestarted_data() {
        QTest::addColumn<bool>("tun");
        QTest::addColumn<QString>("connectedText");
        QTest::newRow("system proxy") << false << kConnected;
        QTest::newRow("tun") << true << kTunConnected;
    }
    void killedCoreIsRestarted() {
        QFETCH(bool, tun);
        QFETCH(QString, connectedText);
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(true));
        auto manager = makeManager(bundle, tun, ProxyMode::Global, quickRecovery(bundle));
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        const QList<qint64> before = bundle.corePids();
        QCOMPARE(before.size(), 1);
        const QString killedLog = readFile(bundle.dataDir() + QStringLiteral("/core.log"));
        QVERIFY(!killedLog.isEmpty());
        const qsizetype callsBefore = bundle.gsettingsCalls().size();
        QStringList seen;
        bool busyThroughout = true;
        QObject::connect(manager.get(), &MihomoManager::statusMessageChanged, manager.get(), [&] {
            seen << manager->statusMessage();
            if (manager->statusMessage() == kRecovering)
                busyThroughout = busyThroughout && manager->isBusy() && !manager->isConnected();
        });

        QCOMPARE(::kill(pid_t(before.first()), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(seen.contains(kRecovering), 10'000);
        QVERIFY(manager->isBusy());
        manager->toggleConnection(); // ignored, as during any connect
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(seen, (QStringList{kRecovering, connectedText}));
        QVERIFY(busyThroughout);
        QVERIFY(!manager->isBusy());
        QCOMPARE(manager->errorMessage(), QString());
        const QList<qint64> after = bundle.corePids();
        QCOMPARE(after.size(), 1);
        QVERIFY(after != before);
        // The proxies were left alone in between; the new core serves the same selection.
        QVERIFY(!switchedOff(bundle.gsettingsCalls().mid(callsBefore)));
        QCOMPARE(bundle.proxiesPointHere(), !tun);
        QCOMPARE(coreGet(bundle, QStringLiteral("/proxies/GLOBAL")).value(QStringLiteral("now")),
                 QJsonValue(QStringLiteral("PROXY")));
        // The killed core's output is still there to read.
        QVERIFY(readFile(bundle.dataDir() + QStringLiteral("/core.log.1")).startsWith(killedLog));
        manager->disconnect();
        QVERIFY(bundle.corePids().isEmpty());
    }

    void coreEndingTooOftenGivesUp_data() {
        QTest::addColumn<bool>("tun");
        QTest::newRow("system proxy") << false;
        QTest::newRow("tun") << true;
    }
    void coreEndingTooOftenGivesUp() {
        QFETCH(bool, tun);
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(true));
        auto manager = makeManager(bundle, tun, ProxyMode::Rule, quickRecovery(bundle));
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        // Three exits are restored; the fourth within the minute is one too many.
        for (int exit = 1; exit <= 4; ++exit) {
            QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
            const QList<qint64> pids = bundle.corePids();
            QCOMPARE(pids.size(), 1);
            QCOMPARE(::kill(pid_t(pids.first()), SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!manager->isConnected(), 10'000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), 10'000);
        QCOMPARE(manager->errorMessage(), kCoreDied);
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
        QVERIFY(switchedOff(bundle.gsettingsCalls()));
        QVERIFY(bundle.corePids().isEmpty());
    }

    void failedRestartGivesUp() {
        TestBundle bundle;
        auto manager = makeManager(bundle, false, ProxyMode::Rule, quickRecovery(bundle));
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        bundle.useScriptCore(QStringLiteral("exit 1")); // the restart cannot come up
        QCOMPARE(::kill(pid_t(bundle.corePids().value(0)), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy() && !manager->isConnected(), 10'000);
        QCOMPARE(manager->errorMessage(), kCoreDied);
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
    }

    void disconnectEndsRecovery() {
        TestBundle bundle;
        ManagerEnvironment environment = bundle.environment();
        environment.recoveryPausesMs = {300, 300, 300};
        auto manager = makeManager(bundle, false, ProxyMode::Rule, std::move(environment));
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(::kill(pid_t(bundle.corePids().value(0)), SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(manager->statusMessage(), kRecovering, 10'000);
        manager->toggleConnection(); // ignored while busy; the power button is disabled
        QVERIFY(manager->isBusy());
        manager->disconnect();
        QVERIFY(!manager->isBusy());
        QVERIFY(!manager->isConnected());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
        QTest::qWait(900); // past every pause of the recovery that was ended
        QVERIFY(bundle.corePids().isEmpty());
        QCOMPARE(manager->statusMessage(), kDisconnected);
    }

    void wakeUpClosesConnectionsAndProbesAgain_data() {
        QTest::addColumn<bool>("fromSleep");
        QTest::newRow("resume from sleep") << true;
        QTest::newRow("network change") << false;
    }
    void wakeUpClosesConnectionsAndProbesAgain() {
        QFETCH(bool, fromSleep);
        TestBundle bundle;
        ManagerEnvironment environment = bundle.environment();
        auto sleep = std::make_unique<SleepWatcher>();
        auto network = std::make_unique<NetworkWatcher>();
        SleepWatcher* sleepWatcher = sleep.get();
        NetworkWatcher* networkWatcher = network.get();
        environment.platform.sleepWatcher = std::move(sleep);
        environment.platform.networkWatcher = std::move(network);
        auto manager = makeManager(bundle, false, ProxyMode::Rule, std::move(environment));
        QSignalSpy probes(manager.get(), &MihomoManager::latencyMsChanged);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(probes.count() >= 1, 30'000); // the connect's own probe

        // One application connection through the core to a local server, held open.
        QTcpServer origin;
        QVERIFY(origin.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(bundle.mixedPort()));
        QVERIFY(client.waitForConnected(5000));
        const QByteArray authority = "127.0.0.1:" + QByteArray::number(origin.serverPort());
        client.write("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), 5000);
        QVERIFY(client.readLine().startsWith("HTTP/1.1 200"));
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        probes.clear();

        if (fromSleep)
            emit sleepWatcher->resumed();
        else
            emit networkWatcher->changed();
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(probes.count() >= 1, 20'000);
        QVERIFY(manager->isConnected());
        QCOMPARE(bundle.corePids().size(), 1);
        manager->disconnect();
    }

    void wakeUpWithADeadCoreRecovers() {
        TestBundle bundle;
        bundle.useScriptCore(kIdleCore);
        ReadyButDeafController controller(quint16(bundle.apiPort()));
        QVERIFY(controller.isListening());
        ManagerEnvironment environment = quickRecovery(bundle);
        environment.wakeProbeTimeoutMs = 300;
        auto sleep = std::make_unique<SleepWatcher>();
        SleepWatcher* sleepWatcher = sleep.get();
        environment.platform.sleepWatcher = std::move(sleep);
        auto manager = makeManager(bundle, false, ProxyMode::Rule, std::move(environment));
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        const QList<qint64> before = bundle.corePids();
        QCOMPARE(before.size(), 1);

        controller.close(); // the core no longer answers
        emit sleepWatcher->resumed();
        QTRY_COMPARE_WITH_TIMEOUT(manager->statusMessage(), kRecovering, 10'000);
        QVERIFY(bundle.proxiesPointHere());
        QVERIFY(controller.resume());
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(manager->statusMessage(), kConnected);
        const QList<qint64> after = bundle.corePids();
        QCOMPARE(after.size(), 1);
        QVERIFY(after != before);
        manager->disconnect();
        QVERIFY(bundle.corePids().isEmpty());
    }

    void coreEndsWhenTheApplicationIsKilled() {
        TestBundle bundle;
        bundle.useScriptCore(kIdleCore);
        QVERIFY(QDir().mkpath(bundle.dataDir()));
        QProcess owner;
        owner.setProcessChannelMode(QProcess::SeparateChannels);
        owner.start(QStringLiteral(CORE_OWNER_PATH), {bundle.root()});
        QVERIFY(owner.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(owner.canReadLine() || owner.state() != QProcess::Running, 20'000);
        const qint64 core = owner.readLine().trimmed().toLongLong();
        QVERIFY(core > 0);
        QCOMPARE(bundle.corePids(), QList<qint64>{core});

        QCOMPARE(::kill(pid_t(owner.processId()), SIGKILL), 0);
        QVERIFY(owner.waitForFinished(10'000));
        QTRY_VERIFY_WITH_TIMEOUT(bundle.corePids().isEmpty(), 10'000);
    }

    void quittingDuringConnectEndsTheAttempt() {
        TestBundle bundle;
        bundle.useScriptCore(kIdleCore);
        auto manager = makeManager(bundle);
        manager->toggleConnection();
        QTRY_VERIFY_WITH_TIMEOUT(!bundle.corePids().isEmpty(), 10'000);
        QTest::qWait(300); // inside the readiness wait
        manager->disconnect();
        QVERIFY(!manager->isBusy());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(bundle.corePids().isEmpty());

        QSignalSpy published(manager.get(), &MihomoManager::statusMessageChanged);
        QSignalSpy errors(manager.get(), &MihomoManager::errorMessageChanged);
        QTest::qWait(1500); // several readiness attempts' worth
        QCOMPARE(published.count(), 0);
        QCOMPARE(errors.count(), 0);
        QVERIFY(bundle.corePids().isEmpty());
    }

    void startUpSwitchesOffProxiesLeftPointingHere_data() {
        QTest::addColumn<bool>("pointsHere");
        QTest::newRow("left by a crashed run") << true;
        QTest::newRow("the user's own proxy") << false;
    }
    void startUpSwitchesOffProxiesLeftPointingHere() {
        QFETCH(bool, pointsHere);
        TestBundle bundle;
        const QString http = kProxySchema + QStringLiteral(".http");
        bundle.setGsetting(kProxySchema, QStringLiteral("mode"), QStringLiteral("'manual'"));
        bundle.setGsetting(http, QStringLiteral("host"), QStringLiteral("'127.0.0.1'"));
        bundle.setGsetting(http, QStringLiteral("port"),
                           QString::number(pointsHere ? bundle.mixedPort() : 3128));
        const MihomoManager manager(bundle.environment());
        QCOMPARE(proxyMode(bundle),
                 pointsHere ? QStringLiteral("'none'") : QStringLiteral("'manual'"));
        QVERIFY(!manager.isConnected());
    }

    void startUpStopsOrphanCoresOnly_data() {
        QTest::addColumn<QString>("dataParent");
        QTest::newRow("plain") << QStringLiteral("data");
        QTest::newRow("regular-expression characters")
            << QStringLiteral("a+b (c) [d] {e} $f ^g|h.i*j?k\\l");
    }
    void startUpStopsOrphanCoresOnly() {
        QFETCH(QString, dataParent);
        TestBundle bundle(dataParent);
        bundle.useScriptCore(kIdleCore);
        QVERIFY(QDir().mkpath(bundle.dataDir()));
        const QString config = bundle.dataDir() + QStringLiteral("/config.yaml");
        // A core of an earlier run, and a program of the user that only names the folder.
        QProcess orphan;
        orphan.start(bundle.layout().coreBinary,
                     {QStringLiteral("-d"), bundle.dataDir(), QStringLiteral("-f"), config});
        QProcess viewer;
        viewer.start(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"), kIdleCore, QStringLiteral("viewer"),
                      QStringLiteral("-d"), bundle.dataDir() + QStringLiteral("/core.log"),
                      bundle.dataDir(), QStringLiteral("-f")});
        QVERIFY(orphan.waitForStarted() && viewer.waitForStarted());
        QCOMPARE(bundle.corePids(), QList<qint64>{orphan.processId()});

        const MihomoManager manager(bundle.environment());
        QVERIFY(orphan.waitForFinished(5000));
        QCOMPARE(orphan.exitStatus(), QProcess::NormalExit); // its SIGTERM trap ran
        QCOMPARE(viewer.state(), QProcess::Running);
        viewer.terminate();
        QVERIFY(viewer.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(ConnectionTest)
#include "tst_connection.moc"
