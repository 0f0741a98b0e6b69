// Connect, disconnect, the TUN switch and start-up recovery, with real processes: the
// development core (or tiny script cores), the real launcher, real pkill and HTTP on 127.0.0.1.
#include "TestBundle.h"
#include "TestSupport.h"

#include "config/SettingsStore.h"
#include "controller/MihomoManager.h"
#include "platform/linux/PkexecAuthorizer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

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

QString portHolder() {
    return QStringLiteral(VANTREL_PORT_HOLDER);
}

QStringList asNobody(const QString& program, const QStringList& arguments) {
    return QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                       QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups"),
                       program} +
           arguments;
}

// Another program on one of the core's ports, started before the connect: one of ours or,
// through setpriv, one of the user nobody.
struct PortSquatter {
    QProcess process;
    bool start(quint16 port, bool nobody) {
        QStringList command{portHolder(), QString::number(port)};
        if (nobody)
            command = asNobody(command.at(0), command.mid(1));
        process.start(command.at(0), command.mid(1));
        return process.waitForReadyRead(10'000) &&
               process.readAll().startsWith("listening"); // bound from here on
    }
    ~PortSquatter() {
        process.kill();
        process.waitForFinished(5000);
    }
};

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

// A controller that starts its answer and then sends one more head line every 50 ms, for ever.
class TricklingController : public QTcpServer {
public:
    explicit TricklingController(quint16 port) {
        listen(QHostAddress::LocalHost, port);
        QObject::connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                socket->write("HTTP/1.1 200 OK\r\n");
                auto* trickle = new QTimer(socket);
                QObject::connect(trickle, &QTimer::timeout, socket,
                                 [socket] { socket->write("X-Pad: 1\r\n"); });
                trickle->start(50);
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
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
        // TUN mode leaves the user's own proxy settings alone.
        QTest::newRow("tun") << true << kTunConnected << QStringLiteral("'auto'");
    }
    void connectsAndDisconnects() {
        QFETCH(bool, tun);
        QFETCH(QString, connectedText);
        QFETCH(QString, proxyModeWhenConnected);
        TestBundle bundle;
        QVERIFY(bundle.setHelperAuthorised(true));
        // The user's automatic proxy configuration, to find again after disconnecting.
        bundle.setGsetting(kProxySchema, QStringLiteral("autoconfig-url"),
                           QStringLiteral("'http://wpad.corp.example/proxy.pac'"));
        bundle.setGsetting(kProxySchema, QStringLiteral("ignore-hosts"),
                           QStringLiteral("['localhost', '*.corp.example']"));
        bundle.setGsetting(kProxySchema, QStringLiteral("mode"), QStringLiteral("'auto'"));
        const QString http = kProxySchema + QStringLiteral(".http");
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
        if (tun) {
            // The caller's identity (root here) and the three network capabilities, nothing
            // else: bits 10, 12 and 13.
            const qint64 core = bundle.corePids().first();
            for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb", "CapBnd"})
                QCOMPARE(TestSupport::processStatus(core, QLatin1String(set)),
                         QStringLiteral("0000000000003400"));
            const QString uid = QString::number(getuid());
            QCOMPARE(TestSupport::processStatus(core, QStringLiteral("Uid")),
                     QStringList(4, uid).join(QLatin1Char(' ')));
        }

        manager->toggleConnection();
        QVERIFY(!manager->isConnected());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(bundle.corePids().isEmpty());
        QCOMPARE(proxyMode(bundle), QStringLiteral("'auto'"));
        QCOMPARE(bundle.gsetting(kProxySchema, QStringLiteral("ignore-hosts")),
                 QStringLiteral("['localhost', '*.corp.example']"));
        QCOMPARE(bundle.gsetting(http, QStringLiteral("host")), QStringLiteral("''"));
        QVERIFY(!QFile::exists(bundle.dataDir() + QStringLiteral("/proxy_snapshot.json")));
        if (tun)
            return;

        // A second disconnect repeats the teardown harmlessly: proxies pointing here once
        // more are switched off.
        bundle.setGsetting(http, QStringLiteral("host"), QStringLiteral("'127.0.0.1'"));
        bundle.setGsetting(http, QStringLiteral("port"), QString::number(bundle.mixedPort()));
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
        auto manager = makeManager(bundle, false, ProxyMode::Global);
        manager->connect();
        // The ports must be free when the core starts: the controller appears after that.
        QTRY_VERIFY_WITH_TIMEOUT(!bundle.corePids().isEmpty(), kConnectTimeoutMs);
        ReadyButDeafController controller(bundle.apiPort());
        QVERIFY(controller.isListening());
        QTcpServer proxyPort; // the core is ready only while it holds both ports
        QVERIFY(proxyPort.listen(QHostAddress::LocalHost, quint16(bundle.mixedPort())));
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        QVERIFY(!manager->isConnected());
        QVERIFY(!manager->errorMessage().isEmpty());
        QVERIFY(manager->errorMessage() != QStringLiteral("内核启动超时"));
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(bundle.corePids().isEmpty());
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
    }

    // Each probe ends after its second, and the whole wait after a few: not after 25 probes'
    // worth of endless heads.
    void controllerTricklingItsHeadTimesOut() {
        TestBundle bundle;
        bundle.useScriptCore(kIdleCore);
        auto manager =
            makeManager(bundle, false, ProxyMode::Rule, bundle.shortReadinessEnvironment());
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!bundle.corePids().isEmpty(), kConnectTimeoutMs);
        TricklingController controller(bundle.apiPort());
        QVERIFY(controller.isListening());
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), 15'000);
        QCOMPARE(manager->errorMessage(), QStringLiteral("内核启动超时"));
        QVERIFY(bundle.corePids().isEmpty());
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
            // Authorised (root, the capabilities) yet not executable.
            QVERIFY(bundle.setHelperAuthorised(true));
            QCOMPARE(::chmod(QFile::encodeName(bundle.layout().helperBinary).constData(), 0600), 0);
            tun = true;
        } else if (failure == QLatin1String("core exits")) {
            bundle.useScriptCore(QStringLiteral("exit 1"));
        } else {
            bundle.useScriptCore(kIdleCore);
        }
        // Only a start that waits for the controller in vain sits through the pauses.
        auto manager =
            makeManager(bundle, tun, ProxyMode::Rule, bundle.shortReadinessEnvironment());
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

    // Another program on the proxy or the controller port: the connect fails with the port's
    // message, nothing is sent the secret, the desktop proxy is never switched on.
    void portsOfOthersAreRefused_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("squatter");
        QTest::newRow("proxy port, another program of the user") << "mixed"
                                                                 << "before, ours";
        QTest::newRow("controller port, another program of the user") << "api"
                                                                      << "before, ours";
        QTest::newRow("proxy port, another user") << "mixed"
                                                  << "before, nobody";
        QTest::newRow("controller port, another user") << "api"
                                                       << "before, nobody";
        // A core that only logs its failed bind while another user takes the port after the
        // check: the controller's secret must not reach that user.
        QTest::newRow("controller port, another user after the start") << "api"
                                                                       << "after";
        // A controller of ours that answers, but the proxy port belongs to another user (seen
        // before the probe or once the controller has answered, whichever comes first).
        QTest::newRow("proxy port, another user after the start") << "mixed"
                                                                  << "after";
    }
    void portsOfOthersAreRefused() {
        QFETCH(QString, port);
        QFETCH(QString, squatter);
        const bool nobody = squatter != QLatin1String("before, ours");
        if (nobody && ::geteuid() != 0)
            QSKIP("listening as another user needs root (setpriv)");
        if (nobody && QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        TestBundle bundle;
        const qint64 taken = port == QLatin1String("mixed") ? bundle.mixedPort() : bundle.apiPort();
        PortSquatter early;
        if (squatter.startsWith(QLatin1String("before"))) {
            bundle.useScriptCore(kIdleCore);
            QVERIFY(early.start(quint16(taken), nobody));
        } else {
            // The core binds nothing itself; it starts the other user's program (and, for the
            // proxy port case, a controller of ours answering 200) and ends them on SIGTERM.
            QString script = QStringLiteral("trap 'kill $pids 2>/dev/null; exit 0' TERM\n") +
                             asNobody(portHolder(), {QString::number(taken)}).join(' ') +
                             QStringLiteral(" &\npids=$!\n");
            if (port == QLatin1String("mixed"))
                script += portHolder() +
                          QStringLiteral(" %1 &\npids=\"$pids $!\"\n").arg(bundle.apiPort());
            bundle.useScriptCore(script + QStringLiteral("wait\n"));
        }
        auto manager = makeManager(bundle);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), kConnectTimeoutMs);
        QCOMPARE(manager->errorMessage(), QStringLiteral("端口 %1 已被其他程序占用").arg(taken));
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(!manager->isConnected());
        QVERIFY(bundle.corePids().isEmpty());
        for (const QString& call : bundle.gsettingsCalls())
            QVERIFY2(!call.contains(QLatin1String("'manual'")), qPrintable(call));

        QFile log(bundle.dataDir() + QStringLiteral("/core.log"));
        if (squatter.startsWith(QLatin1String("before"))) {
            QVERIFY(!log.exists());                     // the core was never started
            QVERIFY(early.process.readAll().isEmpty()); // nothing was sent to the squatter
        } else {
            // The programs' output: what each of them received.
            QVERIFY(log.open(QIODevice::ReadOnly));
            const QByteArray received = log.readAll();
            if (port == QLatin1String("api"))
                QVERIFY2(!received.contains(TestBundle::secret().toUtf8()), received.constData());
        }
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
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<bool>("authorised");
        QTest::newRow("capabilities, root's core") << "authorised" << true;
        QTest::newRow("no capabilities") << "plain" << false;
        QTest::newRow("capabilities, core owned by nobody") << "core owned by nobody" << false;
        QTest::newRow("capabilities, core writable by group") << "core 0775" << false;
        QTest::newRow("capabilities, launcher set-user-ID") << "launcher 4750" << false;
        QTest::newRow("capabilities, launcher owned by nobody") << "launcher nobody" << false;
        QTest::newRow("a fourth capability") << "extra capability" << false;
        QTest::newRow("set-user-ID root without capabilities") << "setuid only" << false;
    }
    void launcherCheck() {
        QFETCH(QString, setUp);
        QFETCH(bool, authorised);
        TestBundle bundle;
        const QByteArray helper = QFile::encodeName(bundle.layout().helperBinary);
        const QByteArray core = QFile::encodeName(bundle.layout().coreBinary);
        QVERIFY(bundle.setHelperAuthorised(setUp != QLatin1String("plain") &&
                                           setUp != QLatin1String("setuid only")));
        if (setUp == QLatin1String("core owned by nobody"))
            QCOMPARE(::chown(core.constData(), 65534, 65534), 0);
        if (setUp == QLatin1String("core 0775"))
            QCOMPARE(::chmod(core.constData(), 0775), 0);
        if (setUp == QLatin1String("launcher 4750"))
            QCOMPARE(::chmod(helper.constData(), 04750), 0);
        if (setUp == QLatin1String("launcher nobody")) {
            QCOMPARE(::chown(helper.constData(), 65534, 65534), 0);
            QVERIFY(TestSupport::setTunCapabilities(bundle.layout().helperBinary));
        }
        if (setUp == QLatin1String("extra capability")) {
            QProcess setcap;
            setcap.start(QStringLiteral("/usr/sbin/setcap"),
                         {QStringLiteral("cap_net_admin,cap_net_raw,cap_net_bind_service,"
                                         "cap_sys_admin+p"),
                          bundle.layout().helperBinary});
            QVERIFY(setcap.waitForFinished() && setcap.exitCode() == 0);
        }
        if (setUp == QLatin1String("setuid only")) {
            QCOMPARE(::chown(helper.constData(), 0, 0), 0);
            QCOMPARE(::chmod(helper.constData(), 04755), 0);
        }
        const MihomoManager manager(bundle.environment());
        QCOMPARE(manager.tunPrivilegedReady(), authorised);
        QCOMPARE(manager.checkLauncherPrivileges(), authorised);
        QVERIFY(QFile::remove(bundle.layout().helperBinary));
        QVERIFY(!manager.checkLauncherPrivileges());
    }

    void refusedAuthorisation() {
        TestBundle bundle(QStringLiteral("data"), TestBundle::Placement::Installed);
        QVERIFY(bundle.setHelperAuthorised(false));
        bundle.setPkexecExitCode(126);
        auto manager = makeManager(bundle, true);
        QVERIFY(!manager->tunPrivilegedReady());

        manager->connect();
        QVERIFY(manager->isBusy()); // while the dialog is open
        QTRY_COMPARE_WITH_TIMEOUT(
            manager->errorMessage(),
            QStringLiteral("虚拟网卡（TUN）需要一次管理员授权，或可先关闭 TUN 使用系统代理"),
            kConnectTimeoutMs);
        QVERIFY(!manager->isBusy());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        // pkexec runs the installed script and nothing else: no path of ours, no shell text.
        QCOMPARE(bundle.pkexecCalls(),
                 QList<QStringList>{{QFileInfo(bundle.layout().helperBinary).absolutePath() +
                                     QStringLiteral("/vantrel-authorize")}});

        // Refused while connected in system-proxy mode: the connection stays, TUN is saved off.
        AppConfig config = manager->config();
        config.tunEnabled = false;
        manager->setConfig(config);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        const auto pids = bundle.corePids();
        manager->toggleTun(true);
        QTRY_COMPARE_WITH_TIMEOUT(manager->errorMessage(),
                                  QStringLiteral("未授予管理员权限，保持系统代理模式"),
                                  kConnectTimeoutMs);
        QVERIFY(!manager->config().tunEnabled);
        QVERIFY(manager->isConnected());
        QCOMPARE(bundle.corePids(), pids);
        QCOMPARE(bundle.pkexecCalls().size(), 2);
        QVERIFY(!manager->tunPrivilegedReady());
        manager->disconnect();
    }

    void authorisationFailureTexts_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<bool>("fromSwitch");
        QTest::addColumn<QString>("expected");
        const QString devBuild = QStringLiteral("开发构建不支持虚拟网卡授权，请安装软件包后使用");
        const QString noPkexec = QStringLiteral("未找到 pkexec，无法获取管理员授权");
        QTest::newRow("development build, connect") << "dev" << false << devBuild;
        QTest::newRow("development build, switch") << "dev" << true << devBuild;
        QTest::newRow("no pkexec, connect") << "no pkexec" << false << noPkexec;
        QTest::newRow("no pkexec, switch") << "no pkexec" << true << noPkexec;
    }
    void authorisationFailureTexts() {
        QFETCH(QString, cause);
        QFETCH(bool, fromSwitch);
        QFETCH(QString, expected);
        const bool dev = cause == QLatin1String("dev");
        TestBundle bundle(QStringLiteral("data"), dev ? TestBundle::Placement::Temporary
                                                      : TestBundle::Placement::Installed);
        bundle.setPkexecExitCode(0);
        if (!dev)
            QVERIFY(QFile::remove(bundle.toolsDir() + QStringLiteral("/pkexec")));
        auto manager = makeManager(bundle, !fromSwitch);
        if (fromSwitch)
            manager->toggleTun(true);
        else
            manager->connect();
        QTRY_COMPARE_WITH_TIMEOUT(manager->errorMessage(), expected, kConnectTimeoutMs);
        QVERIFY(!manager->isBusy());
        QVERIFY(!manager->isConnected());
        QVERIFY(!manager->tunPrivilegedReady());
        QCOMPARE(manager->config().tunEnabled, !fromSwitch);
        QVERIFY(bundle.pkexecCalls().isEmpty());
        QVERIFY(!PkexecAuthorizer::launcherHasTunCapabilities(bundle.layout().helperBinary));
    }

    void grantedAuthorisationConnectsInTun() {
        TestBundle bundle(QStringLiteral("data"), TestBundle::Placement::Installed);
        QVERIFY(bundle.setHelperAuthorised(false));
        bundle.setPkexecExitCode(0); // runs the root script for real (the tests run as root)
        auto manager = makeManager(bundle, true);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(bundle.pkexecCalls().size(), 1);
        QVERIFY(manager->tunPrivilegedReady());
        QCOMPARE(manager->statusMessage(), kTunConnected);
        const QFileInfo helper(bundle.layout().helperBinary);
        QCOMPARE(helper.ownerId(), 0u);
        QCOMPARE(helper.groupId(), uint(getgid()));
        QVERIFY(PkexecAuthorizer::launcherHasTunCapabilities(bundle.layout().helperBinary));
        manager->disconnect();
        manager->connect(); // authorised now: no second prompt
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(bundle.pkexecCalls().size(), 1);
        manager->disconnect();

        // An upgrade replaced the launcher (root's, without capabilities): the next connect
        // asks again instead of failing.
        QVERIFY(QFile::remove(bundle.layout().helperBinary));
        QVERIFY(QFile::copy(TestSupport::stagedHelper(), bundle.layout().helperBinary));
        QVERIFY(!manager->checkLauncherPrivileges());
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QCOMPARE(bundle.pkexecCalls().size(), 2);
        manager->disconnect();

        // A core that is no longer root's alone is no installation to authorise: the user
        // reads why, instead of every connect failing at the launcher.
        QCOMPARE(::chown(QFile::encodeName(bundle.layout().coreBinary).constData(), 65534, 65534),
                 0);
        QVERIFY(!manager->checkLauncherPrivileges());
        manager->connect();
        QTRY_COMPARE_WITH_TIMEOUT(manager->errorMessage(),
                                  QStringLiteral("开发构建不支持虚拟网卡授权，请安装软件包后使用"),
                                  kConnectTimeoutMs);
        QVERIFY(!manager->isConnected());
        QCOMPARE(bundle.pkexecCalls().size(), 2);
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
        QTest::addColumn<bool>("killLauncher");
        QTest::newRow("system proxy") << false << false;
        QTest::newRow("tun") << true << false;
        // The core it leaves behind runs as this user: the clean-up stops it.
        QTest::newRow("tun, launcher killed") << true << true;
    }
    void coreEndingTooOftenGivesUp() {
        QFETCH(bool, tun);
        QFETCH(bool, killLauncher);
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
            qint64 victim = pids.first();
            if (killLauncher) {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(victim));
                QVERIFY(stat.open(QIODevice::ReadOnly));
                const QByteArray fields = stat.readAll();
                victim = fields.mid(fields.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
                QVERIFY(victim > 1);
            }
            QCOMPARE(::kill(pid_t(victim), SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!manager->isConnected(), 10'000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!manager->isBusy(), 10'000);
        QCOMPARE(manager->errorMessage(), kCoreDied);
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QCOMPARE(proxyMode(bundle), QStringLiteral("'none'"));
        // Only system-proxy mode switched the proxies on, so only it switches them off.
        QCOMPARE(switchedOff(bundle.gsettingsCalls()), !tun);
        if (killLauncher) // pkill's SIGTERM takes a moment to end the core left behind
            QTRY_VERIFY_WITH_TIMEOUT(bundle.corePids().isEmpty(), 5000);
        QVERIFY(bundle.corePids().isEmpty());
    }

    // A core that forks a child which ignores SIGTERM: however the core ends, the child ends
    // with it.
    void coreChildrenEndWithTheCore_data() {
        QTest::addColumn<QString>("ending");
        QTest::newRow("disconnect") << "disconnect";
        QTest::newRow("quit") << "quit";
        QTest::newRow("core dies") << "core dies";
    }
    void coreChildrenEndWithTheCore() {
        QFETCH(QString, ending);
        TestBundle bundle;
        const QString childPidFile = bundle.root() + QStringLiteral("/child.pid");
        // The development core itself, after forking that child: it holds both ports as a core
        // must before it counts as ready.
        bundle.useScriptCore(
            QStringLiteral("(trap '' TERM; exec sleep 300) &\n"
                           "echo $! > '%1'\n"
                           "exec '%2' \"$@\"\n")
                .arg(childPidFile, TestSupport::stageDir() + QStringLiteral("/libexec/vantrel-vpn/"
                                                                            "vantrel-devcore")));
        auto manager = makeManager(bundle);
        manager->connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), kConnectTimeoutMs);
        QTRY_VERIFY(QFileInfo(childPidFile).size() > 0);
        QFile pidFile(childPidFile);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const qint64 child = pidFile.readAll().trimmed().toLongLong();
        QVERIFY(child > 0);
        QVERIFY(TestSupport::isRunning(child));

        if (ending == QLatin1String("disconnect")) {
            manager->disconnect();
        } else if (ending == QLatin1String("quit")) {
            manager.reset();
        } else {
            const auto pids = bundle.corePids();
            QCOMPARE(pids.size(), 1);
            QCOMPARE(::kill(pid_t(pids.first()), SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!manager->isConnected(), 10'000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!TestSupport::isRunning(child), 10'000);
        if (manager) // a core that died is restarted: this ends the new one
            manager->disconnect();
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

        // The core still runs but no longer answers.
        QCOMPARE(::kill(pid_t(before.first()), SIGSTOP), 0);
        emit sleepWatcher->resumed();
        QTRY_COMPARE_WITH_TIMEOUT(manager->statusMessage(), kRecovering, 10'000);
        QVERIFY(bundle.proxiesPointHere());
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
        auto manager =
            makeManager(bundle, false, ProxyMode::Rule, bundle.shortReadinessEnvironment());
        manager->toggleConnection();
        QTRY_VERIFY_WITH_TIMEOUT(!bundle.corePids().isEmpty(), 10'000);
        QTest::qWait(4 * TestBundle::shortReadinessPauseMs); // inside the readiness wait
        manager->disconnect();
        QVERIFY(!manager->isBusy());
        QCOMPARE(manager->statusMessage(), kDisconnected);
        QVERIFY(bundle.corePids().isEmpty());

        QSignalSpy published(manager.get(), &MihomoManager::statusMessageChanged);
        QSignalSpy errors(manager.get(), &MihomoManager::errorMessageChanged);
        QTest::qWait(8 * TestBundle::shortReadinessPauseMs); // several readiness attempts' worth
        QCOMPARE(published.count(), 0);
        QCOMPARE(errors.count(), 0);
        QVERIFY(bundle.corePids().isEmpty());
    }

    void startUpSwitchesOffProxiesLeftPointingHere_data() {
        QTest::addColumn<bool>("pointsHere");
        QTest::addColumn<bool>("snapshot");
        QTest::addColumn<QString>("modeAfter");
        QTest::addColumn<bool>("deferred");
        QTest::newRow("left by a crashed run")
            << true << false << QStringLiteral("'none'") << false;
        QTest::newRow("left by a crashed run that kept a snapshot")
            << true << true << QStringLiteral("'auto'") << false;
        QTest::newRow("the user's own proxy")
            << false << false << QStringLiteral("'manual'") << false;
        QTest::newRow("the user's own proxy, a snapshot left")
            << false << true << QStringLiteral("'manual'") << false;
        QTest::newRow("left by a crashed run, checked after the window")
            << true << false << QStringLiteral("'none'") << true;
    }
    void startUpSwitchesOffProxiesLeftPointingHere() {
        QFETCH(bool, pointsHere);
        QFETCH(bool, snapshot);
        QFETCH(QString, modeAfter);
        QFETCH(bool, deferred);
        TestBundle bundle;
        const QString snapshotFile = bundle.dataDir() + QStringLiteral("/proxy_snapshot.json");
        if (snapshot) {
            QVERIFY(QDir().mkpath(bundle.dataDir()));
            QVERIFY(writeFileAtomically(
                snapshotFile,
                R"({"stores": {"gsettings": {"mode": "'auto'", "http.host": "''"}}})"));
        }
        const QString http = kProxySchema + QStringLiteral(".http");
        bundle.setGsetting(kProxySchema, QStringLiteral("mode"), QStringLiteral("'manual'"));
        bundle.setGsetting(http, QStringLiteral("host"), QStringLiteral("'127.0.0.1'"));
        bundle.setGsetting(http, QStringLiteral("port"),
                           QString::number(pointsHere ? bundle.mixedPort() : 3128));
        ManagerEnvironment environment = bundle.environment();
        environment.deferStartupChecks = deferred;
        MihomoManager manager(std::move(environment));
        if (deferred) {
            QCOMPARE(proxyMode(bundle), QStringLiteral("'manual'"));
            // A connect never starts before the checks: they run first, within the call.
            manager.connect();
            QCOMPARE(proxyMode(bundle), modeAfter);
            QTRY_VERIFY_WITH_TIMEOUT(!manager.isBusy(), kConnectTimeoutMs);
            manager.disconnect();
            return;
        }
        QCOMPARE(proxyMode(bundle), modeAfter);
        QCOMPARE(bundle.gsetting(http, QStringLiteral("host")),
                 snapshot && pointsHere ? QStringLiteral("''") : QStringLiteral("'127.0.0.1'"));
        QVERIFY(!QFile::exists(snapshotFile)); // consumed either way
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
