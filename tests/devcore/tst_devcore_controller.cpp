// The development core's controller: the secret, mode changes, reload by path, the GLOBAL
// selector and delay tests, each against a real core process.
#include "DevCoreHarness.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QTcpServer>
#include <QtTest>

class DevCoreControllerTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { m_core.reset(); }

    void enforcesSecret_data();
    void enforcesSecret();
    void patchesMode_data();
    void patchesMode();
    void reloadsByPath_data();
    void reloadsByPath();
    void selectsGlobal_data();
    void selectsGlobal();
    void measuresDelay_data();
    void measuresDelay();

private:
    QString mode() const {
        return m_core->request("GET", "/configs").json().value("mode").toString();
    }

    std::unique_ptr<DevCoreHarness> m_core;
    QTcpServer m_listeningNode; // accepts the delay test's connect without serving anything
};

void DevCoreControllerTest::init() {
    if (!m_listeningNode.isListening())
        QVERIFY(m_listeningNode.listen(QHostAddress::LocalHost, 0));
    m_core = std::make_unique<DevCoreHarness>();
    QString config = minimalConfig();
    config.replace("    port: 9\n",
                   QStringLiteral("    port: %1\n").arg(m_listeningNode.serverPort()));
    config.replace("proxy-groups:", QStringLiteral("  - name: \"Node-Closed\"\n    type: vless\n"
                                                   "    server: 127.0.0.1\n    port: %1\n"
                                                   "proxy-groups:")
                                        .arg(TestSupport::freeLocalPort()));
    m_core->writeConfig(config);
    QVERIFY(m_core->start());
}

void DevCoreControllerTest::enforcesSecret_data() {
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<int>("status");
    QTest::newRow("no header") << QByteArray() << 401;
    QTest::newRow("wrong token") << QByteArray("guess") << 401;
    QTest::newRow("right token") << QByteArray("harness-secret") << 200;
}

void DevCoreControllerTest::enforcesSecret() {
    QFETCH(QByteArray, token);
    QFETCH(int, status);
    for (const char* path : {"/version", "/connections"}) {
        const HttpResult result = m_core->request("GET", path, {}, token);
        QCOMPARE(result.status, status);
        if (status == 401)
            QCOMPARE(result.body, QByteArray(R"({"message":"Unauthorized"})"));
    }
    if (status == 200)
        QCOMPARE(m_core->request("GET", "/version", {}, token).json().value("meta").toBool(), true);
}

void DevCoreControllerTest::patchesMode_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("modeAfter");
    QTest::newRow("global") << QByteArray(R"({"mode":"global"})") << 204 << "global";
    QTest::newRow("any letter case") << QByteArray(R"({"mode":"Direct"})") << 204 << "direct";
    QTest::newRow("unknown mode") << QByteArray(R"({"mode":"fast"})") << 400 << "rule";
    QTest::newRow("not JSON") << QByteArray("mode=global") << 400 << "rule";
}

void DevCoreControllerTest::patchesMode() {
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, modeAfter);
    const HttpResult result = m_core->request("PATCH", "/configs", body);
    QCOMPARE(result.status, status);
    if (status == 400)
        QCOMPARE(result.json().value("message").toString(), QStringLiteral("Body invalid"));
    QCOMPARE(mode(), modeAfter);
}

void DevCoreControllerTest::reloadsByPath_data() {
    // Every replacement file sets mode global, so the mode tells whether it was taken.
    QTest::addColumn<QString>("path"); // "<data>" stands for the data folder
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("messagePart");
    const QString global = minimalConfig().replace("mode: rule", "mode: global");
    QTest::newRow("file in the data folder") << "<data>/next.yaml" << global << 204 << "";
    QTest::newRow("empty path reloads the started file") << "" << global << 204 << "";
    QTest::newRow("relative path") << "next.yaml" << global << 400 << "absolute";
    QTest::newRow("outside the data folder")
        << "<outside>/next.yaml" << global << 400 << "data folder";
    QTest::newRow("escapes with ..") << "<data>/../next.yaml"
                                     << "" << 400 << "data folder";
    QTest::newRow("missing file") << "<data>/absent.yaml"
                                  << "" << 400 << "absent.yaml";
    QTest::newRow("unparsable file") << "<data>/next.yaml"
                                     << "mode: [global" << 400 << "invalid configuration";
    QTest::newRow("unknown target")
        << "<data>/next.yaml" << QString(global).replace("MATCH,DIRECT", "MATCH,Nowhere") << 400
        << "Nowhere";
}

void DevCoreControllerTest::reloadsByPath() {
    QFETCH(QString, path);
    QFETCH(QString, content);
    QFETCH(int, status);
    QFETCH(QString, messagePart);
    QTemporaryDir outside;
    path.replace("<data>", m_core->dataDir()).replace("<outside>", outside.path());
    if (!content.isEmpty()) {
        const QString file = path.isEmpty()
                                 ? m_core->configPath()
                                 : QDir::cleanPath(QDir(m_core->dataDir()).absoluteFilePath(path));
        QVERIFY(!m_core->writeConfig(content, file).isEmpty());
    }

    const QByteArray body =
        QJsonDocument(QJsonObject{{"path", path}}).toJson(QJsonDocument::Compact);
    const HttpResult result = m_core->request("PUT", "/configs?force=true", body);
    QCOMPARE(result.status, status);
    QVERIFY2(result.json().value("message").toString().contains(messagePart),
             result.body.constData());
    QCOMPARE(mode(), status == 204 ? QStringLiteral("global") : QStringLiteral("rule"));
}

void DevCoreControllerTest::selectsGlobal_data() {
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("nowAfter");
    QTest::newRow("group") << "GLOBAL"
                           << "PROXY" << 204 << "PROXY";
    QTest::newRow("node") << "GLOBAL"
                          << "Node-A" << 204 << "Node-A";
    QTest::newRow("REJECT") << "GLOBAL"
                            << "REJECT" << 204 << "REJECT";
    QTest::newRow("undefined name") << "GLOBAL"
                                    << "Nowhere" << 400 << "DIRECT";
    QTest::newRow("other group") << "PROXY"
                                 << "Node-A" << 404 << "DIRECT";
}

void DevCoreControllerTest::selectsGlobal() {
    QFETCH(QString, group);
    QFETCH(QString, name);
    QFETCH(int, status);
    QFETCH(QString, nowAfter);
    const QByteArray body =
        QJsonDocument(QJsonObject{{"name", name}}).toJson(QJsonDocument::Compact);
    const HttpResult result = m_core->request("PUT", "/proxies/" + group, body);
    QCOMPARE(result.status, status);
    if (status == 400) {
        QCOMPARE(result.json().value("message").toString(),
                 QStringLiteral("Selector update error: proxy not exist"));
    }
    const QJsonObject global = m_core->request("GET", "/proxies/GLOBAL").json();
    QCOMPARE(global.value("now").toString(), nowAfter);
    QVERIFY(global.value("all").toArray().contains(QJsonValue("PROXY")));
}

void DevCoreControllerTest::measuresDelay_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QString url = "&url=http%3A%2F%2F127.0.0.1%2Fgenerate_204";
    QTest::newRow("listening node") << "Node-A/delay?timeout=2000" + url << 200 << "";
    QTest::newRow("group of a listening node") << "PROXY/delay?timeout=2000" + url << 200 << "";
    QTest::newRow("closed port") << "Node-Closed/delay?timeout=2000" + url << 503
                                 << "An error occurred in the delay test";
    QTest::newRow("unknown name") << "Nowhere/delay?timeout=2000" + url << 404
                                  << "Resource not found";
    QTest::newRow("missing timeout") << "Node-A/delay?url=x" << 400 << "Body invalid";
    QTest::newRow("non-numeric timeout") << "Node-A/delay?timeout=soon" << 400 << "Body invalid";
}

void DevCoreControllerTest::measuresDelay() {
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(QString, message);
    const HttpResult result = m_core->request("GET", "/proxies/" + query);
    QCOMPARE(result.status, status);
    if (status == 200) {
        QVERIFY(result.json().value("delay").isDouble());
        QVERIFY(result.json().value("delay").toInt() >= 1);
    } else {
        QCOMPARE(result.json().value("message").toString(), message);
    }
}

QTEST_GUILESS_MAIN(DevCoreControllerTest)
#include "tst_devcore_controller.moc"
