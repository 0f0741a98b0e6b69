// Downloads through the development core's mixed port from a local server, and what the
// controller reports about them.
#include "DevCoreHarness.h"

#include <QJsonArray>
#include <QMutex>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

namespace {

QByteArray payload() {
    QByteArray data(4 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char((i * 7 + i / 4096) & 0xff);
    return data;
}

// Answers every request with the payload and keeps the connection until the client closes it,
// so the core lists the connection while the test looks. Runs in its own thread because the
// test itself blocks on sockets.
class OriginServer : public QThread {
public:
    quint16 startServing() {
        start();
        m_ready.acquire();
        return m_port;
    }
    QByteArray lastRequest() const {
        QMutexLocker lock(&m_mutex);
        return m_lastRequest;
    }
    ~OriginServer() override {
        requestInterruption();
        wait();
    }

protected:
    void run() override {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        m_port = server.serverPort();
        m_ready.release();
        const QByteArray body = payload();
        while (!isInterruptionRequested()) {
            if (!server.waitForNewConnection(50))
                continue;
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            QByteArray request;
            while (!request.contains("\r\n\r\n") && socket->waitForReadyRead(5000))
                request += socket->readAll();
            {
                QMutexLocker lock(&m_mutex);
                m_lastRequest = request;
            }
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                          "\r\n\r\n" + body);
            while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(5000)) {
            }
            while (socket->state() == QAbstractSocket::ConnectedState && !isInterruptionRequested())
                socket->waitForReadyRead(50);
        }
    }

private:
    QSemaphore m_ready;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QByteArray m_lastRequest;
};

QByteArray readExactly(QTcpSocket& socket, qsizetype size) {
    QByteArray data;
    while (data.size() < size) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(5000))
            break;
        data += socket.read(size - data.size());
    }
    return data;
}

QByteArray readHeader(QTcpSocket& socket) {
    QByteArray header;
    while (!header.endsWith("\r\n\r\n")) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(5000))
            break;
        header += socket.read(1);
    }
    return header;
}

enum class Protocol { HttpConnect, PlainHttp, Socks5 };

// A client of the mixed port that fetches "/payload" from host:port and keeps the connection.
class ProxyClient {
public:
    QByteArray fetch(quint16 proxyPort, Protocol protocol, const QByteArray& host, quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, proxyPort);
        if (!m_socket.waitForConnected(2000))
            return {};
        const QByteArray authority = host + ':' + QByteArray::number(port);
        QByteArray target = "/payload";
        if (protocol == Protocol::HttpConnect) {
            m_socket.write("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
            if (!readHeader(m_socket).startsWith("HTTP/1.1 200"))
                return {};
        } else if (protocol == Protocol::Socks5) {
            m_socket.write(QByteArray("\x05\x01\x00", 3));
            if (readExactly(m_socket, 2) != QByteArray("\x05\x00", 2))
                return {};
            QHostAddress address;
            QByteArray request("\x05\x01\x00", 3);
            if (address.setAddress(QString::fromLatin1(host))) {
                const quint32 ip = address.toIPv4Address();
                request += '\x01';
                for (int shift : {24, 16, 8, 0})
                    request += char((ip >> shift) & 0xff);
            } else {
                request += '\x03' + QByteArray(1, char(host.size())) + host;
            }
            request += char(port >> 8);
            request += char(port & 0xff);
            m_socket.write(request);
            const QByteArray reply = readExactly(m_socket, 10);
            if (reply.size() != 10 || reply.at(1) != 0)
                return {};
        } else {
            target = "http://" + authority + "/payload";
        }
        m_socket.write("GET " + target + " HTTP/1.1\r\nHost: " + authority +
                       "\r\nProxy-Connection: keep-alive\r\n\r\n");
        const QByteArray header = readHeader(m_socket);
        const qsizetype at = header.indexOf("Content-Length: ");
        if (!header.startsWith("HTTP/1.1 200") || at < 0)
            return {};
        return readExactly(m_socket, header.mid(at + 16).split('\r').first().toLongLong());
    }
    void close() {
        m_socket.disconnectFromHost();
        if (m_socket.state() != QAbstractSocket::UnconnectedState)
            m_socket.waitForDisconnected(2000);
    }
    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
};

QJsonArray connections(const DevCoreHarness& core) {
    return core.request("GET", "/connections").json().value("connections").toArray();
}

QJsonObject connectionTo(const DevCoreHarness& core, quint16 port) {
    for (const QJsonValue& value : connections(core)) {
        const QJsonObject metadata = value.toObject().value("metadata").toObject();
        if (metadata.value("destinationPort").toString() == QString::number(port))
            return value.toObject();
    }
    return {};
}

// Reads the endless "/traffic" body until a line reports at least downloaded bytes in total.
bool trafficReachesDownload(const DevCoreHarness& core, qint64 downloaded) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, core.controllerPort);
    if (!socket.waitForConnected(2000))
        return false;
    socket.write("GET /traffic HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                 core.secret.toUtf8() + "\r\n\r\n");
    QByteArray received;
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired() && socket.waitForReadyRead(int(deadline.remainingTime()))) {
        received += socket.readAll();
        for (const QByteArray& line : received.split('\n')) {
            const QJsonObject sample = QJsonDocument::fromJson(line.trimmed()).object();
            if (sample.contains("up") && sample.contains("down") &&
                sample.value("downTotal").toInteger() >= downloaded)
                return true;
        }
    }
    return false;
}

QStringList chainsOf(const QJsonObject& connection) {
    QStringList chains;
    for (const QJsonValue& value : connection.value("chains").toArray())
        chains << value.toString();
    return chains;
}

} // namespace

class DevCoreRelayTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup() { m_core.reset(); }

    void downloadsThroughMixedPort_data();
    void downloadsThroughMixedPort();
    void reloadedDirectRuleDecidesNextConnection();
    void globalModeUsesSelection();
    void rejectRefuses();
    void deletingConnectionsClosesThem_data();
    void deletingConnectionsClosesThem();

private:
    OriginServer m_origin;
    quint16 m_originPort = 0;
    QByteArray m_payload;
    std::unique_ptr<DevCoreHarness> m_core;
};

void DevCoreRelayTest::initTestCase() {
    m_payload = payload();
    m_originPort = m_origin.startServing();
    QVERIFY(m_originPort != 0);
}

void DevCoreRelayTest::init() {
    m_core = std::make_unique<DevCoreHarness>();
    m_core->writeConfig(minimalConfig());
    QVERIFY(m_core->start());
}

void DevCoreRelayTest::downloadsThroughMixedPort_data() {
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("rulePayload");
    QTest::newRow("HTTP CONNECT to an address")
        << Protocol::HttpConnect << QByteArray("127.0.0.1") << "HTTPS"
        << "IPCIDR"
        << "127.0.0.0/8";
    QTest::newRow("plain HTTP to a host name")
        << Protocol::PlainHttp << QByteArray("localhost") << "HTTP"
        << "Domain"
        << "localhost";
    QTest::newRow("SOCKS5 to a host name")
        << Protocol::Socks5 << QByteArray("localhost") << "Socks5"
        << "Domain"
        << "localhost";
    QTest::newRow("SOCKS5 to an address") << Protocol::Socks5 << QByteArray("127.0.0.1") << "Socks5"
                                          << "IPCIDR"
                                          << "127.0.0.0/8";
}

void DevCoreRelayTest::downloadsThroughMixedPort() {
    QFETCH(Protocol, protocol);
    QFETCH(QByteArray, host);
    QFETCH(QString, type);
    QFETCH(QString, rule);
    QFETCH(QString, rulePayload);
    ProxyClient client;
    QVERIFY(client.fetch(m_core->mixedPort, protocol, host, m_originPort) == m_payload);
    if (protocol == Protocol::PlainHttp) {
        const QByteArray request = m_origin.lastRequest();
        QVERIFY2(request.startsWith("GET /payload HTTP/1.1\r\n"), request.constData());
        QVERIFY(request.contains("Connection: close\r\n"));
        QVERIFY(!request.contains("Proxy-Connection"));
    }

    const QJsonObject connection = connectionTo(*m_core, m_originPort);
    QVERIFY2(!connection.isEmpty(), "the open connection is listed");
    const QJsonObject metadata = connection.value("metadata").toObject();
    QCOMPARE(metadata.value("type").toString(), type);
    QCOMPARE(metadata.value("host").toString(), host == "localhost" ? "localhost" : "");
    QCOMPARE(metadata.value("destinationIP").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(connection.value("rule").toString(), rule);
    QCOMPARE(connection.value("rulePayload").toString(), rulePayload);
    QCOMPARE(chainsOf(connection), QStringList({"Node-A", "PROXY"}));
    QVERIFY(connection.value("download").toInteger() > m_payload.size());
    QVERIFY(connection.value("upload").toInteger() > 0);
    QVERIFY(
        QDateTime::fromString(connection.value("start").toString(), Qt::ISODateWithMs).isValid());

    client.close();
    QTRY_VERIFY_WITH_TIMEOUT(connections(*m_core).isEmpty(), 5000);
    QVERIFY(m_core->request("GET", "/connections").json().value("connections").isNull());
    QVERIFY(trafficReachesDownload(*m_core, m_payload.size()));
}

void DevCoreRelayTest::reloadedDirectRuleDecidesNextConnection() {
    ProxyClient before;
    QVERIFY(before.fetch(m_core->mixedPort, Protocol::HttpConnect, "localhost", m_originPort) ==
            m_payload);
    QCOMPARE(connectionTo(*m_core, m_originPort).value("rule").toString(),
             QStringLiteral("Domain"));
    before.close();

    const QString next = m_core->writeConfig(minimalConfig("  - DOMAIN-SUFFIX,localhost,DIRECT\n"),
                                             m_core->dataDir() + "/custom.yaml");
    const QByteArray body =
        QJsonDocument(QJsonObject{{"path", next}}).toJson(QJsonDocument::Compact);
    QCOMPARE(m_core->request("PUT", "/configs?force=true", body).status, 204);

    ProxyClient after;
    QVERIFY(after.fetch(m_core->mixedPort, Protocol::HttpConnect, "localhost", m_originPort) ==
            m_payload);
    const QJsonObject connection = connectionTo(*m_core, m_originPort);
    QCOMPARE(connection.value("rule").toString(), QStringLiteral("DomainSuffix"));
    QCOMPARE(connection.value("rulePayload").toString(), QStringLiteral("localhost"));
    QCOMPARE(chainsOf(connection), QStringList{"DIRECT"});
}

void DevCoreRelayTest::globalModeUsesSelection() {
    QCOMPARE(m_core->request("PATCH", "/configs", R"({"mode":"global"})").status, 204);
    QCOMPARE(m_core->request("PUT", "/proxies/GLOBAL", R"({"name":"PROXY"})").status, 204);
    ProxyClient client;
    QVERIFY(client.fetch(m_core->mixedPort, Protocol::Socks5, "localhost", m_originPort) ==
            m_payload);
    const QJsonObject connection = connectionTo(*m_core, m_originPort);
    QCOMPARE(connection.value("rule").toString(), QString());
    QCOMPARE(chainsOf(connection), QStringList({"Node-A", "PROXY", "GLOBAL"}));
}

void DevCoreRelayTest::rejectRefuses() {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_core->mixedPort);
    QVERIFY(socket.waitForConnected(2000));
    socket.write("CONNECT blocked.localhost:" + QByteArray::number(m_originPort) +
                 " HTTP/1.1\r\n\r\n");
    QVERIFY(readHeader(socket).startsWith("HTTP/1.1 403"));
    QVERIFY(connections(*m_core).isEmpty());
}

void DevCoreRelayTest::deletingConnectionsClosesThem_data() {
    QTest::addColumn<bool>("byId");
    QTest::newRow("one by its id") << true;
    QTest::newRow("all") << false;
}

void DevCoreRelayTest::deletingConnectionsClosesThem() {
    QFETCH(bool, byId);
    ProxyClient client;
    QVERIFY(client.fetch(m_core->mixedPort, Protocol::HttpConnect, "127.0.0.1", m_originPort) ==
            m_payload);
    const QString id = connectionTo(*m_core, m_originPort).value("id").toString();
    QVERIFY(!id.isEmpty());
    // An id nobody has is answered alike and closes nothing.
    QCOMPARE(m_core->request("DELETE", "/connections/no-such-id").status, 204);
    QCOMPARE(connections(*m_core).size(), 1);

    const HttpResult deleted =
        m_core->request("DELETE", byId ? "/connections/" + id : QStringLiteral("/connections"));
    QCOMPARE(deleted.status, 204);
    QVERIFY(deleted.body.isEmpty());
    QVERIFY(client.socket().state() == QAbstractSocket::UnconnectedState ||
            client.socket().waitForDisconnected(5000));
    QTRY_VERIFY_WITH_TIMEOUT(connections(*m_core).isEmpty(), 5000);
}

QTEST_GUILESS_MAIN(DevCoreRelayTest)
#include "tst_devcore_relay.moc"
