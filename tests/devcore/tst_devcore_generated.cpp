// The configurations the application generates start the development core, which then answers
// the requests the application makes of it.
#include "DevCoreHarness.h"

#include "config/AppConfig.h"
#include "config/Deployment.h"
#include "config/MihomoYaml.h"

#include <QJsonArray>
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

QTEST_GUILESS_MAIN(DevCoreGeneratedTest)
#include "tst_devcore_generated.moc"
