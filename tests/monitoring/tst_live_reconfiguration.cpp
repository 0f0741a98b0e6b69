// Mode and rule changes: what is saved, what is written and which requests reach the core's
// controller (a recording server on 127.0.0.1 standing in for it).
#include "ManagerFixture.h"
#include "ManagerTestAccess.h"
#include "RecordingServer.h"
#include "TestSupport.h"

#include "config/AppConfig.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

// JSON text written with single quotes, for readable tables.
QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

using Sent = QList<QPair<QByteArray, QString>>; // method, target
using Bodies = QList<QByteArray>;

Sent sent(const RecordingServer& server) {
    Sent list;
    for (const RecordingServer::Request& request : server.requests)
        list.append({request.method, request.target});
    return list;
}

Bodies bodies(const RecordingServer& server) {
    Bodies list;
    for (const RecordingServer::Request& request : server.requests)
        list.append(request.body);
    return list;
}

// Lets stray requests arrive before the test counts them.
void settle() {
    QTest::qWait(300);
}

std::optional<AppConfig> savedSettings(const MihomoManager& manager) {
    QFile file(manager.configFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return AppConfigCodec::decode(file.readAll());
}

CustomRule rule(const QString& pattern, CustomRuleAction action) {
    return {QUuid::createUuid(), pattern, action};
}

} // namespace

class TestLiveReconfiguration : public QObject {
    Q_OBJECT
private slots:
    void switchModeWhileConnected_data() {
        QTest::addColumn<ProxyMode>("mode");
        QTest::addColumn<Sent>("requests");
        QTest::addColumn<Bodies>("bodies");
        QTest::newRow("global: patch, then select PROXY")
            << ProxyMode::Global << Sent{{"PATCH", "/configs"}, {"PUT", "/proxies/GLOBAL"}}
            << Bodies{json("{'mode':'global'}"), json("{'name':'PROXY'}")};
        QTest::newRow("rule: patch only")
            << ProxyMode::Rule << Sent{{"PATCH", "/configs"}} << Bodies{json("{'mode':'rule'}")};
    }
    void switchModeWhileConnected() {
        QFETCH(ProxyMode, mode);
        QFETCH(Sent, requests);
        QFETCH(Bodies, bodies);
        RecordingServer server;
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        MihomoManagerTestAccess::setIsConnected(manager, true);

        manager.switchMode(mode);
        QCOMPARE(manager.config().mode, mode);
        QCOMPARE(savedSettings(manager)->mode, mode);
        QTRY_COMPARE(server.requests.size(), requests.size());
        settle();
        QCOMPARE(sent(server), requests);
        QCOMPARE(::bodies(server), bodies);
        for (const RecordingServer::Request& request : server.requests)
            QCOMPARE(request.authorization, "Bearer " + ManagerFixture::secret().toUtf8());
        QVERIFY(!QFileInfo::exists(manager.mihomoConfigPath())); // a mode change writes no file
        QCOMPARE(manager.errorMessage(), QString());
    }

    void addRuleWhileConnected_data() {
        QTest::addColumn<ProxyMode>("mode");
        QTest::addColumn<Sent>("requests");
        QTest::newRow("rule mode: one reload")
            << ProxyMode::Rule << Sent{{"PUT", "/configs?force=true"}};
        QTest::newRow("global mode: reload, then select PROXY")
            << ProxyMode::Global
            << Sent{{"PUT", "/configs?force=true"}, {"PUT", "/proxies/GLOBAL"}};
    }
    void addRuleWhileConnected() {
        QFETCH(ProxyMode, mode);
        QFETCH(Sent, requests);
        RecordingServer server;
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        const CustomRule other = rule("kept.org", CustomRuleAction::Direct);
        fixture.edit([&](AppConfig& config) {
            config.mode = mode;
            config.customRules = {rule("example.com", CustomRuleAction::Direct), other};
        });
        MihomoManagerTestAccess::setIsConnected(manager, true);

        manager.addCustomRule("  Example.COM/some/Path?q=1 ", CustomRuleAction::Proxy);

        const QList<CustomRule> rules = manager.config().customRules;
        QCOMPARE(rules.size(), 2);
        QCOMPARE(rules.at(0).pattern, "example.com");
        QCOMPARE(rules.at(0).action, CustomRuleAction::Proxy);
        QVERIFY(!rules.at(0).id.isNull());
        QCOMPARE(rules.at(1), other);
        QCOMPARE(savedSettings(manager)->customRules, rules);

        // The configuration is written off the main thread before the reload is asked for.
        QTRY_COMPARE(server.requests.size(), requests.size());
        QFile yaml(manager.mihomoConfigPath());
        QVERIFY(yaml.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(yaml.readAll()), manager.buildMihomoYAML());
        settle();
        QCOMPARE(sent(server), requests);
        QCOMPARE(QJsonDocument::fromJson(server.requests.at(0).body).object(),
                 (QJsonObject{{"path", manager.mihomoConfigPath()}}));
        QCOMPARE(manager.errorMessage(), QString());
    }

    void nothingSentWhileDisconnected() {
        RecordingServer server;
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        const CustomRule doomed = rule("gone.net", CustomRuleAction::Proxy);
        fixture.edit([&](AppConfig& config) { config.customRules = {doomed}; });

        manager.switchMode(ProxyMode::Global);
        QCOMPARE(savedSettings(manager)->mode, ProxyMode::Global);
        manager.addCustomRule("10.1.2.3", CustomRuleAction::Direct);
        manager.removeCustomRule(doomed);
        manager.removeCustomRule(doomed); // no longer present: nothing to remove, saved again

        QCOMPARE(manager.config().customRules.size(), 1);
        QCOMPARE(manager.config().customRules.at(0).pattern, "10.1.2.3");
        QCOMPARE(savedSettings(manager)->customRules, manager.config().customRules);
        settle();
        QCOMPARE(server.requests.size(), 0);
        QVERIFY(!QFileInfo::exists(manager.mihomoConfigPath()));
    }

    void refusedPatternChangesNothing_data() {
        QTest::addColumn<QString>("pattern");
        QTest::newRow("blank") << "   ";
        QTest::newRow("only a scheme") << "https://";
        QTest::newRow("double quote") << "bad\"name.com";
        QTest::newRow("hash") << "a#b.com";
        QTest::newRow("empty label") << "a..b.com";
        QTest::newRow("control character") << QStringLiteral("tab\tname.com");
    }
    void refusedPatternChangesNothing() {
        QFETCH(QString, pattern);
        RecordingServer server;
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        QFile::remove(manager.configFilePath());
        MihomoManagerTestAccess::setIsConnected(manager, true);
        const AppConfig before = manager.config();

        manager.addCustomRule(pattern, CustomRuleAction::Proxy);
        QCOMPARE(manager.config(), before);
        QVERIFY(!QFileInfo::exists(manager.configFilePath())); // not even saved
        settle();
        QCOMPARE(server.requests.size(), 0);
    }

    // Each change asks for a write and a reload; the writes keep their order, so the file ends
    // with the last change.
    void quickChangesEndWithTheLastConfiguration() {
        RecordingServer server;
        ManagerFixture fixture(server.port());
        MihomoManager& manager = *fixture.manager;
        fixture.edit([](AppConfig& config) {
            config.mode = ProxyMode::Rule; // one request per reload
            config.customRules = {};
        });
        MihomoManagerTestAccess::setIsConnected(manager, true);

        manager.addCustomRule("first.example", CustomRuleAction::Direct);
        manager.addCustomRule("second.example", CustomRuleAction::Proxy);
        manager.removeCustomRule(manager.config().customRules.at(1));

        QTRY_COMPARE(server.requests.size(), 3);
        QFile yaml(manager.mihomoConfigPath());
        QVERIFY(yaml.open(QIODevice::ReadOnly));
        const QString written = QString::fromUtf8(yaml.readAll());
        QCOMPARE(written, manager.buildMihomoYAML());
        QVERIFY(written.contains(QStringLiteral("second.example")));
        QVERIFY(!written.contains(QStringLiteral("first.example")));
    }

    void coreGoneShowsErrors() {
        ManagerFixture fixture(TestSupport::freeLocalPort());
        MihomoManager& manager = *fixture.manager;
        MihomoManagerTestAccess::setIsConnected(manager, true);

        manager.switchMode(ProxyMode::Global);
        QTRY_VERIFY(manager.errorMessage().startsWith(QStringLiteral("切换模式失败: ")));
        QVERIFY(manager.errorMessage().size() > QStringLiteral("切换模式失败: ").size());
        QCOMPARE(savedSettings(manager)->mode, ProxyMode::Global);

        manager.addCustomRule("example.org", CustomRuleAction::Direct);
        QTRY_VERIFY(manager.errorMessage().startsWith(QStringLiteral("热重载配置失败: ")));
        QCOMPARE(savedSettings(manager)->customRules.at(0).pattern, "example.org");
    }
};

QTEST_GUILESS_MAIN(TestLiveReconfiguration)
#include "tst_live_reconfiguration.moc"
