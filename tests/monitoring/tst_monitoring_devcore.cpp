// Monitoring and live reconfiguration against the development core, started by a real connect:
// the traffic stream runs while connected and stops with the connection, and a rule added
// while connected changes how the core routes the next connection.
#include "ManagerTestAccess.h"
#include "TestBundle.h"

#include "controller/MihomoManager.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

namespace {

constexpr int connectTimeoutMs = 20'000;

// A target on 127.0.0.<n> and a CONNECT tunnel to it through the core's mixed port. Every
// probe uses its own loopback address, so its row in the connections list is its own.
struct Tunnel {
    QTcpServer target;
    QTcpSocket client;

    bool open(quint16 mixedPort, int n) {
        const QString address = QStringLiteral("127.0.0.%1").arg(n);
        if (!target.listen(QHostAddress(address), 0))
            return false;
        client.connectToHost(QHostAddress::LocalHost, mixedPort);
        if (!client.waitForConnected(5000))
            return false;
        client.write(QStringLiteral("CONNECT %1:%2 HTTP/1.1\r\nHost: %1:%2\r\n\r\n")
                         .arg(address)
                         .arg(target.serverPort())
                         .toLatin1());
        return client.waitForReadyRead(5000) && client.readAll().contains(" 200 ");
    }
};

// The row the core reports for 127.0.0.<n>, once the list holds it.
std::optional<ActiveConnectionItem> rowFor(MihomoManager& manager, int n) {
    const QString host = QStringLiteral("127.0.0.%1").arg(n);
    MihomoManagerTestAccess::setRecentConnections(manager, {});
    manager.refreshConnections();
    for (int waited = 0; waited < 5000; waited += 50) {
        for (const ActiveConnectionItem& row : manager.recentConnections()) {
            if (row.host == host)
                return row;
        }
        QTest::qWait(50);
    }
    return std::nullopt;
}

} // namespace

class TestMonitoringDevcore : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        const TestBundle bundle;
        QVERIFY2(bundle.isValid(), "the development core must be staged");
    }

    void trafficStreamLivesWithTheConnection() {
        TestBundle bundle;
        MihomoManager manager(bundle.environment());
        QSignalSpy rates(&manager, &MihomoManager::downSpeedChanged);
        manager.connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager.isConnected(), connectTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(rates.size() >= 2, 5000); // one line a second

        manager.disconnect();
        QCOMPARE(manager.downSpeed(), 0);
        rates.clear();
        QTest::qWait(2500);
        QCOMPARE(rates.size(), 0);
    }

    void ruleAddedWhileConnectedRoutesTheNextConnection() {
        TestBundle bundle;
        MihomoManager manager(bundle.environment());
        manager.connect();
        QTRY_VERIFY_WITH_TIMEOUT(manager.isConnected(), connectTimeoutMs);

        Tunnel before;
        QVERIFY(before.open(quint16(bundle.mixedPort()), 2));
        const std::optional<ActiveConnectionItem> direct = rowFor(manager, 2);
        QVERIFY(direct);
        QCOMPARE(direct->chain, QStringLiteral("DIRECT")); // loopback goes direct by default

        manager.addCustomRule(QStringLiteral(" 127.0.0.0/8 "), CustomRuleAction::Proxy);
        QCOMPARE(manager.config().customRules.at(0).pattern, QStringLiteral("127.0.0.0/8"));

        // The reload is asynchronous: probe fresh connections until the new rules apply.
        std::optional<ActiveConnectionItem> proxied;
        for (int n = 3; n < 40 && !(proxied && proxied->chain != u"DIRECT"); ++n) {
            std::unique_ptr<Tunnel> after = std::make_unique<Tunnel>();
            QVERIFY(after->open(quint16(bundle.mixedPort()), n));
            proxied = rowFor(manager, n);
            QVERIFY(proxied);
        }
        QVERIFY(proxied->chain != u"DIRECT");
        QVERIFY(!proxied->chain.isEmpty());
        QVERIFY(proxied->rule != direct->rule || proxied->chain != direct->chain);
        QCOMPARE(manager.errorMessage(), QString());
        manager.disconnect();
    }
};

QTEST_GUILESS_MAIN(TestMonitoringDevcore)
#include "tst_monitoring_devcore.moc"
