#include "config/AppConfig.h"
#include "config/Deployment.h"
#include "config/MihomoYaml.h"
#include "config/SettingsStore.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "TestSupport.h"

#include <yaml-cpp/yaml.h>

namespace {

const QString secret = QStringLiteral("0123456789abcdef0123456789abcdef");
const MihomoYamlInputs inputs{17890, 19090, secret};

// Fills the deployment placeholders of a hand-written text.
QString withDeployment(QString text) {
    const std::pair<const char*, const char*> values[] = {
        {"<DNS-A>", Deployment::dnsA},
        {"<DNS-B>", Deployment::dnsB},
        {"<DoH-A>", Deployment::dohA},
        {"<DoH-B>", Deployment::dohB},
        {"<check-host>", Deployment::checkHost},
        {"<default-server>", Deployment::defaultServer},
        {"<cdn-address>", Deployment::cdnAddress},
        {"<cdn-name>", Deployment::cdnName},
        {"<hy2-sni>", Deployment::hy2Sni},
        {"<default-sni>", Deployment::defaultSni},
        {"<analytics-domain>", Deployment::analyticsDomain},
        {"<messenger-login>", Deployment::filterMessengerLogin},
        {"<messenger-security>", Deployment::filterMessengerSecurity},
        {"<ntp-pool>", Deployment::filterNtpPool},
        {"<os-connectivity>", Deployment::filterOsConnectivity},
        {"<os-network-status>", Deployment::filterOsNetworkStatus},
        {"<vendor-captive>", Deployment::filterVendorCaptive},
        {"<mobile-check>", Deployment::filterMobileCheck},
        {"<secret>", "0123456789abcdef0123456789abcdef"}};
    for (const auto& [placeholder, value] : values) {
        text.replace(QLatin1String(placeholder), QString::fromUtf8(value));
    }
    return text;
}

const char* const filterHead = R"(    - "*.lan"
    - "*.local"
    - "*.localhost"
    - "<messenger-login>"
    - "<messenger-security>"
    - "time.*.com"
    - "ntp.*.com"
    - "<ntp-pool>"
    - "stun.*.*"
    - "stun.*.*.*"
    - "<os-connectivity>"
    - "<os-network-status>"
    - "<vendor-captive>"
    - "<mobile-check>"
    - "geosite:private"
    - "geosite:cn"
)";

const char* const fixedRules = R"(  - IP-CIDR,127.0.0.0/8,DIRECT,no-resolve
  - IP-CIDR,10.0.0.0/8,DIRECT,no-resolve
  - IP-CIDR,172.16.0.0/12,DIRECT,no-resolve
  - IP-CIDR,192.168.0.0/16,DIRECT,no-resolve
  - IP-CIDR,100.64.0.0/10,DIRECT,no-resolve
  - IP-CIDR6,2400::/12,DIRECT,no-resolve
  - DOMAIN-SUFFIX,<analytics-domain>,DIRECT
  - GEOSITE,private,DIRECT
)";

QString defaultRecordText() {
    return withDeployment(QStringLiteral(R"(mixed-port: 17890
allow-lan: false
mode: rule
log-level: warning
external-controller: 127.0.0.1:19090
secret: <secret>
geodata-mode: false
find-process-mode: strict

dns:
  enable: true
  listen: 127.0.0.1:1053
  enhanced-mode: fake-ip
  fake-ip-range: 198.18.0.1/16
  fake-ip-filter:
%1    - "geosite:apple-cn"
  default-nameserver:
    - <DNS-A>
    - <DNS-B>
  nameserver:
    - https://<DoH-A>/dns-query
    - https://<DoH-B>/dns-query
  proxy-server-nameserver:
    - <DNS-A>
    - <DNS-B>

tun:
  enable: true
  stack: gvisor
  auto-route: true
  auto-detect-interface: true
  dns-hijack:
    - "any:53"

proxies:

  - name: "CloudCone-LA"
    type: vless
    server: 
    port: 443
    uuid: 
    network: tcp
    tls: true
    udp: true
    flow: xtls-rprx-vision
    servername: <default-sni>
    reality-opts:
      public-key: 
      short-id: 
      support-x25519mlkem768: true
    client-fingerprint: chrome

proxy-groups:
  - name: "PROXY"
    type: fallback
    url: http://<check-host>/generate_204
    interval: 120
    proxies:
      - "CloudCone-LA"

rules:
  - AND,((NETWORK,UDP),(DST-PORT,443)),REJECT
%2  - GEOSITE,apple-cn,DIRECT
  - GEOSITE,cn,DIRECT
  - GEOIP,CN,DIRECT,no-resolve
  - MATCH,PROXY)")
                              .arg(QLatin1String(filterHead), QLatin1String(fixedRules)));
}

const char* const serviceUuid = "6f1c2a4e-8b3d-4e5f-9a7b-1c2d3e4f5a6b";

AppConfig defaultServerRecord() {
    AppConfig config = AppConfig::empty();
    config.serverIP = QString::fromUtf8(Deployment::defaultServer);
    config.serverPort = 443;
    config.uuid = QString::fromUtf8(serviceUuid);
    config.publicKey = "Jx3sK_vQ-9mZpR2tY7uWc1dE5fG8hI0jL4nO6qS2uV0";
    config.shortId = "a1b2c3d4";
    config.mode = ProxyMode::Global;
    config.tunEnabled = false;
    config.allowLan = true;
    config.customRules = {{QUuid::createUuid(), "shop.example", CustomRuleAction::Direct},
                          {QUuid::createUuid(), "kw:video", CustomRuleAction::Proxy}};
    return config;
}

QString defaultServerText() {
    return withDeployment(
        QStringLiteral(R"(mixed-port: 17890
allow-lan: true
mode: global
log-level: warning
external-controller: 127.0.0.1:19090
secret: <secret>
geodata-mode: false
find-process-mode: strict

dns:
  enable: true
  listen: 127.0.0.1:1053
  enhanced-mode: fake-ip
  fake-ip-range: 198.18.0.1/16
  fake-ip-filter:
%1    - "geosite:apple-cn"
    - "*.shop.example"
  default-nameserver:
    - <DNS-A>
    - <DNS-B>
  nameserver:
    - https://<DoH-A>/dns-query
    - https://<DoH-B>/dns-query
  proxy-server-nameserver:
    - <DNS-A>
    - <DNS-B>

tun:
  enable: false

proxies:
  - name: "CloudCone-LA-CF"
    type: vless
    server: <cdn-address>
    port: 8443
    uuid: %3
    network: ws
    tls: true
    servername: <cdn-name>
    client-fingerprint: chrome
    ws-opts:
      path: /miravo-ws
      headers:
        Host: <cdn-name>
  - name: "CloudCone-LA-HY2"
    type: hysteria2
    server: <default-server>
    port: 443
    password: %3
    sni: <hy2-sni>
    skip-cert-verify: true
  - name: "CloudCone-LA"
    type: vless
    server: <default-server>
    port: 443
    uuid: %3
    network: tcp
    tls: true
    udp: true
    flow: xtls-rprx-vision
    servername: <default-sni>
    reality-opts:
      public-key: Jx3sK_vQ-9mZpR2tY7uWc1dE5fG8hI0jL4nO6qS2uV0
      short-id: a1b2c3d4
      support-x25519mlkem768: true
    client-fingerprint: chrome

proxy-groups:
  - name: "PROXY"
    type: fallback
    url: http://<check-host>/generate_204
    interval: 120
    proxies:
      - "CloudCone-LA-CF"
      - "CloudCone-LA-HY2"
      - "CloudCone-LA"

rules:
  - AND,((NETWORK,UDP),(DST-PORT,443)),REJECT
  - AND,((NOT,((SRC-IP-CIDR,127.0.0.1/32))),(NOT,((SRC-IP-CIDR,::1/128))),(OR,((IP-CIDR,127.0.0.0/8),(IP-CIDR,0.0.0.0/32),(IP-CIDR6,::1/128),(IP-CIDR6,::/128),(DOMAIN-SUFFIX,localhost)))),REJECT
  - DOMAIN-SUFFIX,shop.example,DIRECT
  - DOMAIN-KEYWORD,video,PROXY
%2  - GEOSITE,apple-cn,DIRECT
  - IP-CIDR,<default-server>/32,DIRECT,no-resolve
  - GEOSITE,cn,DIRECT
  - GEOIP,CN,DIRECT,no-resolve
  - MATCH,PROXY)")
            .arg(QLatin1String(filterHead), QLatin1String(fixedRules), QLatin1String(serviceUuid)));
}

QStringList linesOf(const QString& text) {
    return text.split(u'\n');
}

// The rule entries, in order, as a YAML reader sees them.
QStringList parsedRules(const YAML::Node& root) {
    QStringList rules;
    for (const auto& rule : root["rules"]) {
        rules << QString::fromStdString(rule.as<std::string>());
    }
    return rules;
}

QStringList parsedFilter(const YAML::Node& root) {
    QStringList entries;
    for (const auto& entry : root["dns"]["fake-ip-filter"]) {
        entries << QString::fromStdString(entry.as<std::string>());
    }
    return entries;
}

// How a YAML 1.1 reader (or a newer, lenient one) resolves an untagged plain scalar.
bool plainScalarResolvesToText(const QString& value) {
    static const QRegularExpression nonText(
        QStringLiteral("^(y|yes|n|no|true|false|on|off|null|~|)$"                      // bool, null
                       "|^[-+]?(0b[0-1_]+|0o?[0-7_]+|0x[0-9a-f_]+|0|[1-9][0-9_]*)$"    // int
                       "|^[-+]?[1-9][0-9_]*(:[0-5]?[0-9])+(\\.[0-9_]*)?$"              // base 60
                       "|^[-+]?(\\.[0-9_]+|[0-9][0-9_]*(\\.[0-9_]*)?)(e[-+]?[0-9]+)?$" // float
                       "|^[-+]?\\.(inf|nan)$|^<<$|^=$|^[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}"), // others
        QRegularExpression::CaseInsensitiveOption);
    return !nonText.match(value).hasMatch();
}

// The scalar must read back as exactly this text, and as text (not a number, boolean or null).
void verifyTextScalar(const YAML::Node& node, const QString& expected, const char* where) {
    QVERIFY2(node.IsScalar(), where);
    // Bytes, not QString: QString::fromUtf8 would drop a leading byte-order mark.
    QCOMPARE(QByteArray::fromStdString(node.Scalar()), expected.toUtf8());
    // yaml-cpp tags a quoted scalar "!" (always text) and a plain one "?" (left to resolution).
    if (node.Tag() == "?") {
        QVERIFY2(plainScalarResolvesToText(expected), where);
    } else {
        QCOMPARE(node.Tag(), std::string("!"));
    }
}

} // namespace

class TestMihomoYaml : public QObject {
    Q_OBJECT

private slots:
    void defaultRecordGolden() {
        const QString text = buildMihomoYAML(AppConfig::empty(), inputs);
        QCOMPARE(linesOf(text), linesOf(defaultRecordText()));
        QCOMPARE(text, defaultRecordText());
    }

    void defaultServerGolden() {
        const QString text = buildMihomoYAML(defaultServerRecord(), inputs);
        QCOMPARE(linesOf(text), linesOf(defaultServerText()));
        QCOMPARE(text, defaultServerText());
    }

    void noSecretNoLine() {
        const QString text = buildMihomoYAML(AppConfig::empty(), {17890, 19090, QString()});
        QString expected = defaultRecordText();
        expected.remove("secret: " + secret + "\n");
        QCOMPARE(text, expected);
    }

    void backupNodesOnlyForTheDefaultServerOnPort443_data() {
        QTest::addColumn<QString>("serverIP");
        QTest::addColumn<qint64>("serverPort");
        QTest::addColumn<bool>("backups");
        QTest::addColumn<bool>("addressRule");
        const QString server = QString::fromUtf8(Deployment::defaultServer);
        QTest::newRow("default server, 443") << server << qint64(443) << true << true;
        QTest::newRow("default server, 8443") << server << qint64(8443) << false << true;
        QTest::newRow("other address") << "198.51.100.7" << qint64(443) << false << true;
        QTest::newRow("host name") << "node.example" << qint64(443) << false << false;
    }
    void backupNodesOnlyForTheDefaultServerOnPort443() {
        QFETCH(QString, serverIP);
        QFETCH(qint64, serverPort);
        QFETCH(bool, backups);
        QFETCH(bool, addressRule);
        AppConfig config = AppConfig::empty();
        config.serverIP = serverIP;
        config.serverPort = serverPort;
        const QString text = buildMihomoYAML(config, inputs);
        const YAML::Node root = YAML::Load(text.toStdString());
        QCOMPARE(root["proxies"].size(), backups ? 3u : 1u);
        QCOMPARE(root["proxy-groups"][0]["proxies"].size(), backups ? 3u : 1u);
        QCOMPARE(text.contains("proxies:\n\n  - name: \"CloudCone-LA\""), !backups);
        const QStringList rules = parsedRules(root);
        const QString rule = "IP-CIDR," + serverIP + "/32,DIRECT,no-resolve";
        QCOMPARE(rules.contains(rule), addressRule);
        if (addressRule) {
            QCOMPARE(rules.indexOf(rule), rules.size() - 4);
        }
        QCOMPARE(root["proxies"][backups ? 2 : 0]["port"].as<qint64>(), serverPort);
    }

    void switchesOffAndSkippedRules() {
        AppConfig config = AppConfig::empty();
        config.blockQuic = false;
        config.bypassAppleCN = false;
        config.tunEnabled = false;
        const QString text = buildMihomoYAML(config, inputs);
        QVERIFY(!text.contains("apple-cn"));
        QVERIFY(text.contains("\n\ntun:\n  enable: false\n\nproxies:\n"));
        QVERIFY(text.contains("rules:\n  - IP-CIDR,127.0.0.0/8,DIRECT,no-resolve\n"));
        QVERIFY(!text.contains("SRC-IP-CIDR")); // LAN sharing off: no rule about LAN clients

        // Rules that yield nothing add neither a rule nor a filter entry.
        config.customRules = {{QUuid::createUuid(), " , ", CustomRuleAction::Direct},
                              {QUuid::createUuid(), "kw:", CustomRuleAction::Direct}};
        QCOMPARE(buildMihomoYAML(config, inputs), text);
        config.customRules.prepend({QUuid::createUuid(), "Shop.Example", CustomRuleAction::Proxy});
        QVERIFY(buildMihomoYAML(config, inputs)
                    .contains("rules:\n  - DOMAIN-SUFFIX,shop.example,PROXY\n  - IP-CIDR,127."));
    }

    // Whatever a settings value holds, the file parses to the intended structure, and the value
    // reads back as the same text.
    void hostileSettingsValues_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        const QStringList values = {"00001234",
                                    "443",
                                    "-1",
                                    "0x1F",
                                    "0o17",
                                    "1e5",
                                    ".5",
                                    "1_000",
                                    "12:30",
                                    "2024-01-02",
                                    ".inf",
                                    "-.Inf",
                                    ".NaN",
                                    "true",
                                    "TRUE",
                                    "yes",
                                    "No",
                                    "off",
                                    "y",
                                    "null",
                                    "NULL",
                                    "~",
                                    "<<",
                                    "=",
                                    "a: b",
                                    "a:",
                                    "a #b",
                                    "a#b",
                                    "a\nb",
                                    "a\tb",
                                    "a\r\nb",
                                    QStringLiteral("a\u2028b"),
                                    QStringLiteral("a\u0085b"),
                                    "a\x01"
                                    "b",
                                    "*anchor",
                                    "&anchor",
                                    "!tag",
                                    "!!int 5",
                                    "- x",
                                    "-",
                                    "? x",
                                    "?",
                                    ": x",
                                    "[a, b]",
                                    "{a: b}",
                                    ",x",
                                    "|",
                                    ">",
                                    "'q'",
                                    "\"q\"",
                                    "it's",
                                    "say \"hi\"",
                                    "%x",
                                    "@x",
                                    "`x",
                                    "#x",
                                    " lead",
                                    "trail ",
                                    "back\\slash\\n",
                                    QStringLiteral("演示 \U0001F600"),
                                    QStringLiteral("\uFEFFbom"),
                                    "---",
                                    "..."};
        for (const char* field : {"serverIP", "uuid", "sni", "publicKey", "shortId"}) {
            for (const QString& value : values) {
                QTest::addRow("%s %s", field,
                              QString(value).toUtf8().toPercentEncoding().constData())
                    << QString::fromLatin1(field) << value;
            }
        }
    }
    void hostileSettingsValues() {
        QFETCH(QString, field);
        QFETCH(QString, value);
        AppConfig config = defaultServerRecord();
        if (field == "serverIP") {
            config.serverIP = value;
        } else if (field == "uuid") {
            config.uuid = value;
        } else if (field == "sni") {
            config.sni = value;
        } else if (field == "publicKey") {
            config.publicKey = value;
        } else {
            config.shortId = value;
        }
        const QString text = buildMihomoYAML(config, inputs);
        YAML::Node root;
        try {
            root = YAML::Load(text.toStdString());
        } catch (const YAML::Exception& e) {
            QFAIL(e.what());
        }

        const std::vector<std::string> keys = {"mixed-port",
                                               "allow-lan",
                                               "mode",
                                               "log-level",
                                               "external-controller",
                                               "secret",
                                               "geodata-mode",
                                               "find-process-mode",
                                               "dns",
                                               "tun",
                                               "proxies",
                                               "proxy-groups",
                                               "rules"};
        std::vector<std::string> parsedKeys;
        for (const auto& entry : root) {
            parsedKeys.push_back(entry.first.as<std::string>());
        }
        QVERIFY(parsedKeys == keys);

        const bool backups = field != "serverIP";
        const YAML::Node proxies = root["proxies"];
        QCOMPARE(proxies.size(), backups ? 3u : 1u);
        const YAML::Node main = proxies[backups ? 2 : 0];
        QCOMPARE(main.size(), 12u);
        QCOMPARE(main["reality-opts"].size(), 3u);
        QCOMPARE(main["port"].as<int>(), 443);
        verifyTextScalar(main["server"], config.serverIP, "server");
        verifyTextScalar(main["uuid"], config.uuid, "uuid");
        verifyTextScalar(main["servername"], config.sni, "servername");
        verifyTextScalar(main["reality-opts"]["public-key"], config.publicKey, "public-key");
        verifyTextScalar(main["reality-opts"]["short-id"], config.shortId, "short-id");
        if (backups) {
            QCOMPARE(proxies[0].size(), 10u);
            QCOMPARE(proxies[1].size(), 7u);
            verifyTextScalar(proxies[0]["uuid"], config.uuid, "CF uuid");
            verifyTextScalar(proxies[1]["password"], config.uuid, "HY2 password");
            verifyTextScalar(proxies[1]["server"], config.serverIP, "HY2 server");
        }
        QCOMPARE(root["proxy-groups"][0]["proxies"].size(), backups ? 3u : 1u);
        const QStringList rules = parsedRules(root);
        QCOMPARE(rules.first(), "AND,((NETWORK,UDP),(DST-PORT,443)),REJECT");
        // LAN sharing is on: the rule that keeps LAN clients off the host's loopback is next.
        QVERIFY(rules.at(1).startsWith("AND,((NOT,((SRC-IP-CIDR,127.0.0.1/32)))"));
        QCOMPARE(rules.last(), "MATCH,PROXY");
        QCOMPARE(rules.size(), backups ? 17 : 16);
    }

    void secretIsAlwaysText() {
        for (const QString& token :
             {QStringLiteral("00112233445566778899001122334455"), QStringLiteral("1234e5678")}) {
            const YAML::Node root = YAML::Load(
                buildMihomoYAML(AppConfig::empty(), {17890, 19090, token}).toStdString());
            verifyTextScalar(root["secret"], token, "secret");
        }
    }

    // A custom rule the core could not take is left out; everything else stays intact.
    void unwritableCustomRulesAreLeftOut() {
        AppConfig config = AppConfig::empty();
        const QStringList refused = {"shop.example.",
                                     "a..b",
                                     "sh\"op.example",
                                     "shop.example#x",
                                     "a\\b",
                                     "kw:a\tb",
                                     QStringLiteral("kw:a\u2028b"),
                                     "kw:x\"y",
                                     "kw:a..b",
                                     "2001:db8:::1",
                                     "[2001:db8::1"};
        for (const QString& pattern : refused) {
            config.customRules.append({QUuid::createUuid(), pattern, CustomRuleAction::Direct});
        }
        config.customRules.append({QUuid::createUuid(), "kw:a: b", CustomRuleAction::Direct});
        config.customRules.append({QUuid::createUuid(), "kw:&x*[y]'z", CustomRuleAction::Proxy});
        config.customRules.append(
            {QUuid::createUuid(), "[2001:DB8::1]:443", CustomRuleAction::Direct});
        config.customRules.append({QUuid::createUuid(), "Shop.example", CustomRuleAction::Direct});

        const QString text = buildMihomoYAML(config, inputs);
        const YAML::Node root = YAML::Load(text.toStdString());
        const QStringList rules = parsedRules(root);
        QCOMPARE(rules.mid(0, 5),
                 QStringList({"AND,((NETWORK,UDP),(DST-PORT,443)),REJECT",
                              "DOMAIN-KEYWORD,a:b,DIRECT", "DOMAIN-KEYWORD,&x*[y]'z,PROXY",
                              "IP-CIDR6,2001:db8::1/128,DIRECT,no-resolve",
                              "DOMAIN-SUFFIX,shop.example,DIRECT"}));
        QCOMPARE(rules.size(), 3 + 14);
        const QStringList filter = parsedFilter(root);
        QCOMPARE(filter.size(), 17 + 2);
        QCOMPARE(filter.mid(17), QStringList({"*a:b*", "*.shop.example"}));
    }

    // The support tool prints what the application writes, with a fresh secret.
    void toolRendersTheSettingsFile() {
        QTemporaryDir dir;
        const QString settings = dir.filePath("app_config.json");
        QVERIFY(writeFileAtomically(settings, AppConfigCodec::encode(AppConfig::empty())));
        const QString tool = TestSupport::stageDir() + "/bin/vantrel-config";

        QProcess render;
        render.start(tool, {"render", settings});
        QVERIFY(render.waitForFinished(30000));
        QCOMPARE(render.exitCode(), 0);
        QString text = QString::fromUtf8(render.readAllStandardOutput());
        static const QRegularExpression secretLine(QStringLiteral("^secret: \"?([0-9a-f]{32})\"?$"),
                                                   QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = secretLine.match(text);
        QVERIFY(match.hasMatch());
        // A secret of digits only comes quoted.
        text.replace(match.capturedStart(0), match.capturedLength(0), "secret: " + secret);
        QCOMPARE(text, defaultRecordText());

        writeFileAtomically(settings, "{\"customRules\":[{\"pattern\":\"a\"}]}");
        QProcess refused;
        refused.start(tool, {"render", settings});
        QVERIFY(refused.waitForFinished(30000));
        QCOMPARE(refused.exitCode(), 1);
        QVERIFY(refused.readAllStandardOutput().isEmpty());
        const QByteArray reason = refused.readAllStandardError();
        QCOMPARE(reason.count('\n'), 1);
        QVERIFY(reason.contains("customRules[0]"));

        QProcess normalize;
        normalize.start(tool,
                        {"normalize", " https://Shop.Example:8443/x ", "a..b", "[2001:DB8::1]"});
        QVERIFY(normalize.waitForFinished(30000));
        QCOMPARE(normalize.exitCode(), 0);
        const QString report = QString::fromUtf8(normalize.readAllStandardOutput());
        QVERIFY2(report.contains("normalized: \"shop.example\"\n"
                                 "  rule: - DOMAIN-SUFFIX,shop.example,DIRECT\n"
                                 "  fake-ip-filter: - \"*.shop.example\"\n"),
                 qPrintable(report));
        QVERIFY2(report.contains("normalized: \"a..b\"\n  no rule: refused"), qPrintable(report));
        QVERIFY2(report.contains("normalized: \"2001:db8::1\"\n"
                                 "  rule: - IP-CIDR6,2001:db8::1/128,DIRECT,no-resolve\n"
                                 "  fake-ip-filter: none\n"),
                 qPrintable(report));
    }
};

QTEST_APPLESS_MAIN(TestMihomoYaml)
#include "tst_mihomo_yaml.moc"
