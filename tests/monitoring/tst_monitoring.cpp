// The controller's monitoring services against recording servers on 127.0.0.1: recent
// connections, the latency probe, the quota refresh and its polling, the machine identifier and
// the LAN address.
#include "ManagerFixture.h"
#include "ManagerTestAccess.h"
#include "RawHttpServer.h"
#include "RecordingServer.h"
#include "TestSupport.h"

#include "config/Deployment.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <net/if.h>
#include <sys/socket.h>

namespace {

// JSON text written with single quotes, for readable tables.
QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

class FixedIdentity : public MachineIdentity {
public:
    explicit FixedIdentity(QString id) : m_id(std::move(id)) {}
    QString platformId() const override { return m_id; }

private:
    QString m_id;
};

QByteArray quotaBody(qint64 usedBytes, bool withProxyUsed = true) {
    QJsonObject report{{"ok", true},
                       {"node_name", "CloudCone-LA"},
                       {"server_ip", "127.0.0.1"},
                       {"location", "LA"},
                       {"reset_day", 1},
                       {"cycle_start", "2024-05-01"},
                       {"next_reset", "2024-06-01"},
                       {"days_remaining", 9},
                       {"quota_bytes", 6000000000000LL},
                       {"used_bytes", usedBytes},
                       {"remaining_bytes", 6000000000000LL - usedBytes},
                       {"upload_bytes", 10},
                       {"download_bytes", 20},
                       {"percent_used", 12}};
    if (withProxyUsed)
        report.insert("proxy_used_bytes", usedBytes);
    return QJsonDocument(report).toJson(QJsonDocument::Compact);
}

QString delayTarget(const QString& node) {
    return QStringLiteral("/proxies/%1/delay?timeout=8000&url=http://%2/generate_204")
        .arg(node, QLatin1String(Deployment::checkHost));
}

// Shows an earlier quota (1 byte used) and an earlier error, refreshes the quota and waits until
// the outcome is published: the new error, or none.
bool refreshOverEarlierQuota(MihomoManager& manager) {
    QuotaInfo earlier;
    earlier.usedBytes = 1;
    MihomoManagerTestAccess::setQuota(manager, earlier);
    MihomoManagerTestAccess::setQuotaError(manager, "earlier error");
    QSignalSpy errorPublished(&manager, &MihomoManager::quotaErrorChanged);
    manager.refreshQuota();
    return QTest::qWaitFor([&errorPublished] { return errorPublished.size() == 1; });
}

} // namespace

class TestMonitoring : public QObject {
    Q_OBJECT
private slots:
    void nothingRequestedWhileDisconnected() {
        RecordingServer server;
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        MihomoManagerTestAccess::setRecentConnections(manager, {{"a.com", "a.com", "", ""}});
        MihomoManagerTestAccess::setLatencyMs(manager, 40);

        manager.refreshConnections();
        manager.testLatency();
        QCOMPARE(manager.recentConnections(), ConnectionItems{});
        QCOMPARE(manager.latencyMs(), OptionalLatency());
        QTest::qWait(200);
        QCOMPARE(server.requests.size(), 0);
    }

    void connectionsReplaceTheList_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<ConnectionItems>("expected");
        const ConnectionItems previous{{"old.net", "old.net", "", ""}};
        QTest::newRow("rows") << json("{'connections':[{'metadata':{'host':'b.com'},'rule':'Match',"
                                      "'chains':['DIRECT']}]}")
                              << ConnectionItems{{"b.com", "b.com", "Match", "DIRECT"}};
        QTest::newRow("null list empties it") << json("{'connections':null}") << ConnectionItems{};
        QTest::newRow("non-object element keeps it")
            << json("{'connections':[{'metadata':{'host':'b.com'}},1]}") << previous;
        QTest::newRow("not JSON keeps it") << QByteArray("Unauthorized") << previous;
    }
    void connectionsReplaceTheList() {
        QFETCH(QByteArray, reply);
        QFETCH(ConnectionItems, expected);
        RecordingServer server;
        server.handler = [&reply](const RecordingServer::Request&) {
            return RecordingServer::Reply{200, reply};
        };
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        MihomoManagerTestAccess::setRecentConnections(manager, {{"old.net", "old.net", "", ""}});
        MihomoManagerTestAccess::setIsConnected(manager, true);
        QSignalSpy changed(&manager, &MihomoManager::recentConnectionsChanged);

        manager.refreshConnections();
        QTRY_COMPARE(server.requests.size(), 1);
        QTest::qWait(200);
        QCOMPARE(server.requests.at(0).method, "GET");
        QCOMPARE(server.requests.at(0).target, "/connections");
        QCOMPARE(server.requests.at(0).authorization,
                 "Bearer " + ManagerFixture::secret().toUtf8());
        QCOMPARE(manager.recentConnections(), expected);
    }

    void oversizedConnectionsListIsNotRead() {
        // Valid JSON, an empty list, padded past 32 MiB: read whole, it would empty the list.
        const QByteArray body = "{\"connections\":[" + QByteArray(33 * 1024 * 1024, ' ') + "]}";
        RawHttpServer server([&](const QByteArray&) {
            return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\n\r\n" + body;
        });
        ManagerFixture fixture(QUrl(server.baseUrl()).port());
        MihomoManager& manager = *fixture.manager;
        const ConnectionItems previous{{"old.net", "old.net", "", ""}};
        MihomoManagerTestAccess::setRecentConnections(manager, previous);
        MihomoManagerTestAccess::setIsConnected(manager, true);

        manager.refreshConnections();
        QTRY_COMPARE(server.closedConnections, 1); // the client gave up on it
        QCOMPARE(server.heads.size(), 1);
        QCOMPARE(manager.recentConnections(), previous);
    }

    void latencyProbe_data() {
        QTest::addColumn<QList<QByteArray>>("replies"); // one per probed name, in order
        QTest::addColumn<int>("requests");
        QTest::addColumn<OptionalLatency>("latency");
        QTest::newRow("second name answers")
            << QList<QByteArray>{json("{'message':'an error occurred in the delay test'}"),
                                 json("{'delay':183}"), json("{'delay':1}")}
            << 2 << OptionalLatency(183);
        QTest::newRow("third name answers")
            << QList<QByteArray>{"not found", json("{'delay':1.5}"), json("{'delay':95}")} << 3
            << OptionalLatency(95);
        QTest::newRow("all fail") << QList<QByteArray>{"{}", "{}", "{}"} << 3 << OptionalLatency();
    }
    void latencyProbe() {
        QFETCH(QList<QByteArray>, replies);
        QFETCH(int, requests);
        QFETCH(OptionalLatency, latency);
        RecordingServer server;
        server.handler = [&](const RecordingServer::Request&) {
            return RecordingServer::Reply{200, replies.at(server.requests.size() - 1)};
        };
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        MihomoManagerTestAccess::setLatencyMs(manager, 7);
        MihomoManagerTestAccess::setIsConnected(manager, true);
        QSignalSpy published(&manager, &MihomoManager::latencyMsChanged);

        manager.testLatency();
        QTRY_COMPARE(published.size(), 1); // only the outcome is published
        QCOMPARE(manager.latencyMs(), latency);
        QTest::qWait(200);
        QCOMPARE(server.requests.size(), requests);
        const QStringList names{"CloudCone-LA-CF", "CloudCone-LA-HY2", "CloudCone-LA"};
        for (int i = 0; i < requests; ++i) {
            QCOMPARE(server.requests.at(i).target, delayTarget(names.at(i)));
            QCOMPARE(server.requests.at(i).authorization,
                     "Bearer " + ManagerFixture::secret().toUtf8());
        }
    }

    void latencyWithCoreGone() {
        ManagerFixture fixture(TestSupport::freeLocalPort());
        MihomoManager& manager = *fixture.manager;
        MihomoManagerTestAccess::setLatencyMs(manager, 7);
        MihomoManagerTestAccess::setIsConnected(manager, true);
        QSignalSpy published(&manager, &MihomoManager::latencyMsChanged);
        manager.testLatency();
        QTRY_COMPARE(published.size(), 1);
        QCOMPARE(manager.latencyMs(), OptionalLatency());
    }

    void quotaOutcomes_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("published");
        QTest::addColumn<QString>("error");
        QTest::newRow("complete report") << 200 << quotaBody(777) << true << QString();
        QTest::newRow("key missing") << 200 << quotaBody(777, false) << false << "刷新失败";
        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << false << "刷新失败";
        QTest::newRow("500") << 500 << quotaBody(777) << false << "流量接口返回异常";
        QTest::newRow("404") << 404 << QByteArray() << false << "流量接口返回异常";
        QTest::newRow("401") << 401 << json("{'ok':false}") << false << "流量接口返回异常";
    }
    void quotaOutcomes() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, published);
        QFETCH(QString, error);
        RecordingServer server;
        server.handler = [&](const RecordingServer::Request&) {
            return RecordingServer::Reply{status, body};
        };
        ManagerFixture fixture(TestSupport::freeLocalPort(),
                               std::make_unique<FixedIdentity>("MACHINE-1"));
        MihomoManager& manager = *fixture.manager;
        fixture.edit([&](AppConfig& config) {
            config.apiBaseURL = server.baseUrl() + "/";
            config.deviceToken = "token-ä";
        });
        QVERIFY(refreshOverEarlierQuota(manager));
        QCOMPARE(manager.quotaError(), error);
        QCOMPARE(manager.quota()->usedBytes, published ? 777 : 1);
        QCOMPARE(server.requests.size(), 1);
        const RecordingServer::Request& request = server.requests.at(0);
        QCOMPARE(request.method, "GET");
        QCOMPARE(request.target, "/api/quota");
        QCOMPARE(request.deviceToken, QStringLiteral("token-ä").toUtf8());
        QCOMPARE(request.deviceId, "MACHINE-1");
        QCOMPARE(request.authorization, QByteArray()); // the service gets no controller secret
    }

    // Replies no quota service sends: too large, never ending, or sending the identifying
    // headers on to another address or port.
    void quotaFromHostileServers_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("over 1 MiB, length announced") << "announced"
                                                      << "流量接口返回异常";
        QTest::newRow("over 1 MiB, never ending") << "endless"
                                                  << "流量接口返回异常";
        QTest::newRow("redirect to another address") << "other address"
                                                     << "流量接口返回异常";
        QTest::newRow("redirect to another port") << "other port"
                                                  << "流量接口返回异常";
        QTest::newRow("redirect on the same server is followed") << "same server"
                                                                 << "";
    }
    void quotaFromHostileServers() {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        const auto ok = [](const QByteArray& body) {
            return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                   QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        const QHostAddress elsewhereAddress(kind == QLatin1String("other address")
                                                ? QStringLiteral("127.0.0.2")
                                                : QStringLiteral("127.0.0.1"));
        RawHttpServer elsewhere([&](const QByteArray&) { return ok(quotaBody(555)); },
                                elsewhereAddress);
        if (!elsewhere.isListening())
            QSKIP("127.0.0.2 is not available on the loopback interface");
        const auto redirect = [](const QString& to) {
            return "HTTP/1.1 302 Found\r\nLocation: " + to.toUtf8() +
                   "\r\nContent-Length: 0\r\n\r\n";
        };
        RawHttpServer service([&](const QByteArray& head) -> QByteArray {
            if (kind == QLatin1String("announced"))
                return "HTTP/1.1 200 OK\r\nContent-Length: 2097152\r\n\r\n" +
                       QByteArray(2 * 1024 * 1024, ' ');
            if (kind == QLatin1String("endless")) // no length: the body lasts until the close
                return "HTTP/1.1 200 OK\r\n\r\n{" + QByteArray(3 * 1024 * 1024, ' ');
            if (kind == QLatin1String("same server"))
                return head.startsWith("GET /api/quota ") ? redirect("/api/quota-moved")
                                                          : ok(quotaBody(777));
            return redirect(elsewhere.baseUrl() + "/api/quota");
        });
        ManagerFixture fixture(TestSupport::freeLocalPort(),
                               std::make_unique<FixedIdentity>("MACHINE-1"));
        MihomoManager& manager = *fixture.manager;
        fixture.edit([&](AppConfig& config) {
            config.apiBaseURL = service.baseUrl();
            config.deviceToken = "secret-token";
        });
        QVERIFY(refreshOverEarlierQuota(manager));
        QCOMPARE(manager.quotaError(), error);
        QCOMPARE(manager.quota()->usedBytes, error.isEmpty() ? 777 : 1);
        QVERIFY(elsewhere.heads.isEmpty()); // nothing, least of all the headers, went there
        for (const QByteArray& head : std::as_const(service.heads))
            QVERIFY(head.contains("X-Device-Token: secret-token"));
    }

    void quotaUnreachableAndEmptyToken() {
        RecordingServer server;
        ManagerFixture fixture(TestSupport::freeLocalPort());
        MihomoManager& manager = *fixture.manager;
        fixture.edit([&](AppConfig& config) {
            config.apiBaseURL =
                QStringLiteral("http://127.0.0.1:%1").arg(TestSupport::freeLocalPort());
        });
        manager.refreshQuota();
        QTRY_COMPARE(manager.quotaError(), QStringLiteral("刷新失败"));

        fixture.edit([&](AppConfig& config) {
            config.apiBaseURL = server.baseUrl();
            config.deviceToken.clear();
        });
        manager.refreshQuota();
        QTRY_COMPARE(server.requests.size(), 1);
        QVERIFY(server.requests.at(0).hasDeviceToken);
        QCOMPARE(server.requests.at(0).deviceToken, QByteArray());
    }

    void pollingKeepsOneTimer() {
        RecordingServer server;
        ManagerFixture fixture(TestSupport::freeLocalPort());
        MihomoManager& manager = *fixture.manager;
        fixture.edit([&](AppConfig& config) { config.apiBaseURL = server.baseUrl(); });

        manager.startQuotaPolling();
        manager.startQuotaPolling();
        QTRY_COMPARE(server.requests.size(), 2);
        const auto timers = manager.findChildren<QTimer*>(QStringLiteral("quotaTimer"));
        QCOMPARE(timers.size(), 1);
        QVERIFY(timers.at(0)->isActive());
        QVERIFY(!timers.at(0)->isSingleShot());
        QCOMPARE(timers.at(0)->interval(), 30'000);

        QMetaObject::invokeMethod(timers.at(0), "timeout"); // a tick refreshes once more
        QTRY_COMPARE(server.requests.size(), 3);
    }

    void deviceIdFallsBackToItsFile() {
        ManagerFixture fixture(TestSupport::freeLocalPort(), std::make_unique<FixedIdentity>(""));
        MihomoManager& manager = *fixture.manager;
        const QString path = manager.environment().paths.deviceIdFile();

        const QString created = manager.hardwareDeviceID();
        QVERIFY(!QUuid(created).isNull());
        QCOMPARE(created, created.toUpper());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), created.toUtf8()); // no line break
        file.close();
        QCOMPARE(manager.hardwareDeviceID(), created);

        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(" \tSTORED-ID\r\n");
        file.close();
        QCOMPARE(manager.hardwareDeviceID(), "STORED-ID");
    }

    void platformIdComesFirst() {
        ManagerFixture fixture(TestSupport::freeLocalPort(),
                               std::make_unique<FixedIdentity>("PLATFORM-UUID"));
        QCOMPARE(fixture.manager->hardwareDeviceID(), "PLATFORM-UUID");
        QVERIFY(!QFile::exists(fixture.manager->environment().paths.deviceIdFile()));
    }

    void lanAddressUsesTheInjectedList_data() {
        QTest::addColumn<unsigned int>("en1Flags");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("en1 up") << unsigned(IFF_UP | IFF_RUNNING)
                                << std::optional<QString>("192.168.1.20");
        QTest::newRow("en1 down") << unsigned(IFF_RUNNING) << std::optional<QString>();
    }
    void lanAddressUsesTheInjectedList() {
        QFETCH(unsigned int, en1Flags);
        QFETCH(std::optional<QString>, expected);
        ManagerEnvironment environment;
        QTemporaryDir dir;
        environment.paths.dataDir = dir.path();
        environment.platform.pkillPath = QStringLiteral("/bin/true");
        environment.platform.lanInterfacePrefixes = {QStringLiteral("en")};
        environment.platform.interfaces = [en1Flags] {
            const unsigned int upRunning = IFF_UP | IFF_RUNNING;
            return QList<InterfaceAddress>{{"lo0", upRunning | IFF_LOOPBACK, AF_INET, "127.0.0.1"},
                                           {"en0", upRunning, AF_INET6, "fe80::1"},
                                           {"en1", en1Flags, AF_INET, "192.168.1.20"}};
        };
        MihomoManager manager(std::move(environment));
        QCOMPARE(manager.localIPv4Address(), expected);
    }
};

QTEST_GUILESS_MAIN(TestMonitoring)
#include "tst_monitoring.moc"
