// The configurations the application generates start the development core, which then answers
// the requests the application makes of it.
#include "DevCoreHarness.h"

#include "config/AppConfig.h"
#include "config/Deployment.h"
#include "config/MihomoYaml.h"

#include <QJsonArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {
CustomRule customRule(const QString& pattern, CustomRuleAction action) {
    return CustomRule{QUuid::createUuid(), pattern, action};
}
} // namespace

class DevCoreGeneratedTest : public QObject {
    Q_OBJECT
private slots:
    void startsWithGeneratedConfiguration_data();
    void startsWithGeneratedConfiguration();
    void lanClientsCannotReachTheHostLoopback_data();
    void lanClientsCannotReachTheHostLoopback();
};

void DevCoreGeneratedTest::startsWithGeneratedConfiguration_data() {
    QTest::addColumn<AppConfig>("config");
    QTest::addColumn<QStringList>("nodes");

    QTest::newRow("default record") << AppConfig::empty() << QStringList{"CloudCone-LA"};

    AppConfig withBackups = AppConfig::empty();
    withBackups.serverIP = QString::fromUtf8(Deployment::defaultServer);
    withBackups.serverPort = 443;
    withBackups.mode = ProxyMode::Global;
    withBackups.tunEnabled = false;
    QTest::newRow("default server with backups, global mode")
        << withBackups << QStringList{"CloudCone-LA-CF", "CloudCone-LA-HY2", "CloudCone-LA"};

    AppConfig custom = AppConfig::empty();
    custom.serverIP = QStringLiteral("127.0.0.1");
    custom.serverPort = 8443;
    custom.bypassAppleCN = false;
    custom.customRules = {customRule("shop.example", CustomRuleAction::Direct),
                          customRule("kw:video", CustomRuleAction::Proxy),
                          customRule("10.1.0.0/16", CustomRuleAction::Direct)};
    QTest::newRow("custom rules") << custom << QStringList{"CloudCone-LA"};
}

void DevCoreGeneratedTest::startsWithGeneratedConfiguration() {
    QFETCH(AppConfig, config);
    QFETCH(QStringList, nodes);
    DevCoreHarness core;
    MihomoYamlInputs inputs;
    inputs.mixedPort = core.mixedPort;
    inputs.apiPort = core.controllerPort;
    inputs.controllerSecret = core.secret;
    QVERIFY(!core.writeConfig(buildMihomoYAML(config, inputs)).isEmpty());
    QVERIFY(core.start());

    QCOMPARE(core.request("GET", "/configs").json().value("mode").toString(),
             rawValue(config.mode));
    const QJsonArray selectable =
        core.request("GET", "/proxies/GLOBAL").json().value("all").toArray();
    for (const QString& node : nodes)
        QVERIFY2(selectable.contains(QJsonValue(node)), qPrintable(node));
    // What a connect and a hot reload send.
    QCOMPARE(core.request("PUT", "/proxies/GLOBAL", R"({"name":"PROXY"})").status, 204);
    const QByteArray reload =
        QJsonDocument(QJsonObject{{"path", core.configPath()}}).toJson(QJsonDocument::Compact);
    QCOMPARE(core.request("PUT", "/configs?force=true", reload).status, 204);
    QCOMPARE(core.request("PATCH", "/configs", R"({"mode":"rule"})").status, 204);
    QCOMPARE(core.request("GET", "/connections").json().value("connections"), QJsonValue());
    QCOMPARE(core.log().contains("not supported by this development core"), config.tunEnabled);
}

// With LAN sharing on, a client from the network (here 127.0.0.2, an address no local program
// uses for the proxy) is refused the host's loopback services and the controller, by address
// and by name; a program on this machine (127.0.0.1) keeps reaching them.
void DevCoreGeneratedTest::lanClientsCannotReachTheHostLoopback_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target"); // "service", "controller"
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("plainHttp");
    QTest::addColumn<bool>("reached");
    QTest::newRow("local program, by address")
        << "127.0.0.1"
        << "service" << QByteArray("127.0.0.1") << false << true;
    QTest::newRow("local program, by name") << "127.0.0.1"
                                            << "service" << QByteArray("localhost") << true << true;
    QTest::newRow("LAN client, by address")
        << "127.0.0.2"
        << "service" << QByteArray("127.0.0.1") << false << false;
    QTest::newRow("LAN client, other loopback address")
        << "127.0.0.2"
        << "service" << QByteArray("127.0.0.2") << false << false;
    QTest::newRow("LAN client, by name") << "127.0.0.2"
                                         << "service" << QByteArray("localhost") << false << false;
    QTest::newRow("LAN client, plain HTTP")
        << "127.0.0.2"
        << "service" << QByteArray("127.0.0.1") << true << false;
    QTest::newRow("LAN client, IPv6 loopback")
        << "127.0.0.2"
        << "service" << QByteArray("[::1]") << false << false;
    QTest::newRow("LAN client, unspecified address")
        << "127.0.0.2"
        << "service" << QByteArray("0.0.0.0") << false << false;
    QTest::newRow("LAN client, controller")
        << "127.0.0.2"
        << "controller" << QByteArray("127.0.0.1") << false << false;
}

void DevCoreGeneratedTest::lanClientsCannotReachTheHostLoopback() {
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(QByteArray, host);
    QFETCH(bool, plainHttp);
    QFETCH(bool, reached);

    // A loopback-only service of the host, listening on every loopback address.
    QTcpServer service;
    QVERIFY(service.listen(QHostAddress::Any, 0));
    QObject::connect(&service, &QTcpServer::newConnection, &service, [&service] {
        while (QTcpSocket* socket = service.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\n"
                              "secret");
                socket->disconnectFromHost();
            });
        }
    });

    DevCoreHarness core;
    AppConfig config = AppConfig::empty();
    config.allowLan = true;
    config.tunEnabled = false;
    MihomoYamlInputs inputs;
    inputs.mixedPort = core.mixedPort;
    inputs.apiPort = core.controllerPort;
    inputs.controllerSecret = core.secret;
    QVERIFY(!core.writeConfig(buildMihomoYAML(config, inputs)).isEmpty());
    QVERIFY(core.start());

    const quint16 port = target == "service" ? service.serverPort() : core.controllerPort;
    const QByteArray authority = host + ':' + QByteArray::number(port);
    QTcpSocket client;
    QVERIFY(client.bind(QHostAddress(source), 0));
    client.connectToHost(QHostAddress::LocalHost, core.mixedPort);
    QVERIFY(client.waitForConnected(5000));
    // The service answers from this thread: wait with its event loop running.
    const auto readUntil = [&client](const auto& done) {
        QByteArray received;
        QDeadlineTimer deadline(10000);
        while (!done(received) && client.state() == QAbstractSocket::ConnectedState &&
               !deadline.hasExpired()) {
            QTest::qWait(10);
            received += client.readAll();
        }
        return received + client.readAll();
    };
    if (plainHttp) {
        client.write("GET http://" + authority + "/ HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
    } else {
        client.write("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
        const QByteArray established =
            readUntil([](const QByteArray& text) { return text.contains("\r\n\r\n"); });
        QCOMPARE(established.startsWith("HTTP/1.1 200"), reached);
        if (!reached) {
            QVERIFY(established.startsWith("HTTP/1.1 403"));
            return;
        }
        client.write("GET / HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
    }
    const QByteArray reply =
        readUntil([](const QByteArray& text) { return text.contains("secret"); });
    QCOMPARE(reply.startsWith("HTTP/1.1 200"), reached);
    QCOMPARE(reply.contains("secret"), reached);
}

QTEST_GUILESS_MAIN(DevCoreGeneratedTest)
#include "tst_devcore_generated.moc"
