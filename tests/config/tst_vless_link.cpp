// Share links of the service's nodes: what a link maps to, and why a bad one is refused.
#include "config/AccountImport.h"
#include "config/MihomoYaml.h"
#include "config/VlessLink.h"

#include <QTest>

Q_DECLARE_METATYPE(VlessNode)

namespace {

const QString kUuid = QStringLiteral("5f3a9c2e-81d4-4b7a-9e0f-3c6d2a1b8e47");
const QString kKey = QStringLiteral("ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1-f4CBgoM");
const QString kQuery = QStringLiteral(
    "encryption=none&flow=xtls-rprx-vision&security=reality&sni=www.example.com&fp=chrome"
    "&pbk=ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1-f4CBgoM&sid=6ba85179e30d4fc2&type=tcp");

// A valid link with one piece changed: `replace` pairs are applied to the whole text.
QString link(std::initializer_list<std::pair<QString, QString>> replace = {}) {
    QString text = QStringLiteral("vless://") + kUuid + QStringLiteral("@node.example.net:443?") +
                   kQuery + QStringLiteral("#Alice");
    for (const auto& [from, to] : replace)
        text.replace(from, to);
    return text;
}

VlessNode node(std::initializer_list<std::pair<QString VlessNode::*, QString>> fields = {},
               qint64 port = 443) {
    VlessNode result{kUuid,
                     QStringLiteral("node.example.net"),
                     port,
                     kKey,
                     QStringLiteral("6ba85179e30d4fc2"),
                     QStringLiteral("www.example.com"),
                     QStringLiteral("/"),
                     QStringLiteral("Alice")};
    for (const auto& [field, value] : fields)
        result.*field = value;
    return result;
}

} // namespace

class VlessLinkTest : public QObject {
    Q_OBJECT

private slots:
    void validLinks_data();
    void validLinks();
    void refusedLinks_data();
    void refusedLinks();
    void tokens_data();
    void tokens();
    void importKeepsRulesModeAndSwitches();
};

void VlessLinkTest::validLinks_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<VlessNode>("expected");
    QTest::newRow("every field") << link() << node();
    QTest::newRow("IPv4 host, other port, upper-case UUID, short id and server name")
        << link({{QStringLiteral("node.example.net:443"), QStringLiteral("127.0.0.1:8443")},
                 {kUuid, kUuid.toUpper()},
                 {QStringLiteral("6ba85179e30d4fc2"), QStringLiteral("6BA8")},
                 {QStringLiteral("www.example.com"), QStringLiteral("WWW.Example.COM")}})
        << node({{&VlessNode::serverIP, QStringLiteral("127.0.0.1")},
                 {&VlessNode::shortId, QStringLiteral("6ba8")}},
                8443);
    QTest::newRow("IPv6 host in brackets")
        << link({{QStringLiteral("node.example.net"), QStringLiteral("[2001:DB8::1]")}})
        << node({{&VlessNode::serverIP, QStringLiteral("2001:db8::1")}});
    QTest::newRow("percent-encoded spx and label, path before the query")
        << link({{QStringLiteral(":443?"), QStringLiteral(":443/?spx=%2Fsearch%3Fq%3D1&")},
                 {QStringLiteral("#Alice"),
                  QStringLiteral("#%E5%BC%A0%E4%B8%89%20%E9%A6%99%E6%B8%AF%20%F0%9F%9A%80")}})
        << node({{&VlessNode::spiderX, QStringLiteral("/search?q=1")},
                 {&VlessNode::accountLabel, QStringLiteral("张三 香港 🚀")}});
    QTest::newRow("unencoded blanks in the label")
        << link({{QStringLiteral("#Alice"), QStringLiteral("#Alice  Home ")}})
        << node({{&VlessNode::accountLabel, QStringLiteral("Alice  Home")}});
    QTest::newRow("no label, no short id, no type or encryption, unknown keys; pasted with "
                  "blanks and upper-case scheme")
        << QStringLiteral("  \nVLESS://") + kUuid +
               QStringLiteral("@node.example.net:443?security=reality&flow=xtls-rprx-vision"
                              "&sni=www.example.com&pbk=") +
               kKey + QStringLiteral("&headerType=none&pqv=abc&&\n")
        << node({{&VlessNode::shortId, QString()}, {&VlessNode::accountLabel, QString()}});
}

void VlessLinkTest::validLinks() {
    QFETCH(QString, link);
    QFETCH(VlessNode, expected);
    QString error;
    const std::optional<VlessNode> parsed = VlessLink::parse(link, &error);
    QVERIFY2(parsed, qPrintable(error));
    QCOMPARE(parsed->uuid, expected.uuid);
    QCOMPARE(parsed->serverIP, expected.serverIP);
    QCOMPARE(parsed->serverPort, expected.serverPort);
    QCOMPARE(parsed->publicKey, expected.publicKey);
    QCOMPARE(parsed->shortId, expected.shortId);
    QCOMPARE(parsed->sni, expected.sni);
    QCOMPARE(parsed->spiderX, expected.spiderX);
    QCOMPARE(parsed->accountLabel, expected.accountLabel);
    QVERIFY(VlessLink::looksLikeLink(link));

    // The configuration carries every value as it stands.
    const AppConfig config = AccountImport{*parsed, {}}.appliedTo(AppConfig::empty());
    const QStringList lines = buildMihomoYAML(config, {}).split(u'\n');
    for (const QString& expectedLine :
         {QStringLiteral("    server: ") + expected.serverIP,
          QStringLiteral("    port: ") + QString::number(expected.serverPort),
          QStringLiteral("    uuid: ") + expected.uuid,
          QStringLiteral("    servername: ") + expected.sni,
          QStringLiteral("      public-key: ") + expected.publicKey})
        QVERIFY2(lines.contains(expectedLine), qPrintable(expectedLine));
}

void VlessLinkTest::refusedLinks_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("reason");
    const QString sid = QStringLiteral("sid=6ba85179e30d4fc2");
    QTest::newRow("empty") << QString() << QStringLiteral("不是 vless:// 链接");
    QTest::newRow("another scheme")
        << link({{QStringLiteral("vless://"), QStringLiteral("vmess://")}})
        << QStringLiteral("不是 vless:// 链接");
    QTest::newRow("missing pbk") << link({{QStringLiteral("&pbk=") + kKey, QString()}})
                                 << QStringLiteral("缺少 pbk（REALITY 公钥）");
    QTest::newRow("security=tls") << link({{QStringLiteral("security=reality"),
                                            QStringLiteral("security=tls")}})
                                  << QStringLiteral("仅支持 REALITY 节点");
    QTest::newRow("no security") << link({{QStringLiteral("&security=reality"), QString()}})
                                 << QStringLiteral("仅支持 REALITY 节点");
    QTest::newRow("bad UUID") << link({{kUuid, kUuid.left(35) + u'g'}})
                              << QStringLiteral("UUID 格式不正确");
    QTest::newRow("UUID without hyphens")
        << link({{kUuid, QString(kUuid).remove(u'-')}}) << QStringLiteral("UUID 格式不正确");
    QTest::newRow("no UUID") << link({{kUuid + u'@', QString()}}) << QStringLiteral("缺少 UUID");
    QTest::newRow("port 0") << link({{QStringLiteral(":443?"), QStringLiteral(":0?")}})
                            << QStringLiteral("端口无效");
    QTest::newRow("port 70000") << link({{QStringLiteral(":443?"), QStringLiteral(":70000?")}})
                                << QStringLiteral("端口无效");
    QTest::newRow("port not a number")
        << link({{QStringLiteral(":443?"), QStringLiteral(":+443?")}})
        << QStringLiteral("端口无效");
    QTest::newRow("no port") << link({{QStringLiteral(":443?"), QStringLiteral("?")}})
                             << QStringLiteral("缺少端口");
    QTest::newRow("IPv6 without brackets")
        << link({{QStringLiteral("node.example.net"), QStringLiteral("2001:db8::1")}})
        << QStringLiteral("IPv6 地址须写在方括号中");
    QTest::newRow("IPv6 with a zone")
        << link({{QStringLiteral("node.example.net"), QStringLiteral("[fe80::1%25eth0]")}})
        << QStringLiteral("服务器地址无效");
    QTest::newRow("host with a quote")
        << link({{QStringLiteral("node.example.net"), QStringLiteral("node\".example.net")}})
        << QStringLiteral("服务器地址无效");
    QTest::newRow("short id with 3 digits")
        << link({{sid, QStringLiteral("sid=abc")}})
        << QStringLiteral("sid（REALITY 短 ID）应为至多 16 位、偶数个十六进制数字");
    QTest::newRow("short id with 18 digits")
        << link({{sid, QStringLiteral("sid=0123456789abcdef01")}})
        << QStringLiteral("sid（REALITY 短 ID）应为至多 16 位、偶数个十六进制数字");
    QTest::newRow("public key of 44 characters")
        << link({{kKey, kKey + u'A'}})
        << QStringLiteral("pbk（REALITY 公钥）应为 43 个 base64url 字符");
    QTest::newRow("public key with a quote")
        << link({{kKey, kKey.left(40) + QStringLiteral("%22AB")}})
        << QStringLiteral("pbk（REALITY 公钥）应为 43 个 base64url 字符");
    QTest::newRow("sni with a newline")
        << link({{QStringLiteral("www.example.com"), QStringLiteral("www.exa%0Ample.com")}})
        << QStringLiteral("sni 不是有效的域名");
    QTest::newRow("sni with a colon and a blank")
        << link({{QStringLiteral("www.example.com"), QStringLiteral("a%3A%20b")}})
        << QStringLiteral("sni 不是有效的域名");
    QTest::newRow("no sni") << link({{QStringLiteral("&sni=www.example.com"), QString()}})
                            << QStringLiteral("缺少 sni（REALITY 伪装域名）");
    QTest::newRow("spx with a quote")
        << link({{QStringLiteral("#Alice"), QStringLiteral("&spx=%2F%22x#Alice")}})
        << QStringLiteral("spx（爬虫路径）应为以 / 开头的路径");
    QTest::newRow("label with a newline")
        << link({{QStringLiteral("#Alice"), QStringLiteral("#Ali%0Ace")}})
        << QStringLiteral("备注中含有控制字符");
    QTest::newRow("raw newline inside the link")
        << link({{QStringLiteral("&fp="), QStringLiteral("\n&fp=")}})
        << QStringLiteral("链接中含有空白或控制字符");
    QTest::newRow("bad percent encoding")
        << link({{QStringLiteral("sni=www.example.com"), QStringLiteral("sni=www%2")}})
        << QStringLiteral("参数 sni 的编码无效");
    QTest::newRow("percent encoding that is not UTF-8")
        << link({{QStringLiteral("#Alice"), QStringLiteral("#%FF%FE")}})
        << QStringLiteral("备注的编码无效");
    QTest::newRow("a key given twice")
        << link({{QStringLiteral("&fp=chrome"), QStringLiteral("&sni=evil.example")}})
        << QStringLiteral("参数 sni 重复出现");
    QTest::newRow("another transport")
        << link({{QStringLiteral("type=tcp"), QStringLiteral("type=ws")}})
        << QStringLiteral("仅支持 TCP 传输（type=tcp）");
    QTest::newRow("no vision flow") << link({{QStringLiteral("flow=xtls-rprx-vision&"), QString()}})
                                    << QStringLiteral("仅支持 xtls-rprx-vision 流控");
    QTest::newRow("too long") << link({{QStringLiteral("#Alice"), u'#' + QString(5000, u'a')}})
                              << QStringLiteral("链接过长");
}

void VlessLinkTest::refusedLinks() {
    QFETCH(QString, link);
    QFETCH(QString, reason);
    QString error;
    QVERIFY(!VlessLink::parse(link, &error));
    QCOMPARE(error, reason);
    QString linkError;
    QVERIFY(!AccountImport::parse(link, QStringLiteral("token"), &linkError));
    QCOMPARE(linkError, reason);
}

void VlessLinkTest::tokens_data() {
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("stored"); // when accepted
    QTest::addColumn<QString>("reason"); // when refused
    QTest::newRow("plain") << QStringLiteral("tok-123_ABC.xyz") << QStringLiteral("tok-123_ABC.xyz")
                           << QString();
    QTest::newRow("blanks around it")
        << QStringLiteral(" tok\n") << QStringLiteral("tok") << QString();
    QTest::newRow("empty keeps the current one") << QString() << QString() << QString();
    QTest::newRow("line break inside") << QStringLiteral("tok\r\nX-Other: 1") << QString()
                                       << QStringLiteral("访问令牌中含有空白或控制字符");
    QTest::newRow("too long") << QString(5000, u'a') << QString() << QStringLiteral("访问令牌过长");
}

void VlessLinkTest::tokens() {
    QFETCH(QString, token);
    QFETCH(QString, stored);
    QFETCH(QString, reason);
    QString linkError;
    QString tokenError;
    const std::optional<AccountImport> account =
        AccountImport::parse(link(), token, &linkError, &tokenError);
    QCOMPARE(linkError, QString());
    QCOMPARE(tokenError, reason);
    QCOMPARE(bool(account), reason.isEmpty());
    if (account)
        QCOMPARE(account->deviceToken, stored);
}

void VlessLinkTest::importKeepsRulesModeAndSwitches() {
    AppConfig before = AppConfig::empty();
    before.apiBaseURL = QStringLiteral("http://127.0.0.1:1");
    before.deviceToken = QStringLiteral("old-token");
    before.accountLabel = QStringLiteral("Bob");
    before.quotaToken = QStringLiteral("q");
    before.mode = ProxyMode::Global;
    before.tunEnabled = false;
    before.allowLan = true;
    before.bypassAppleCN = false;
    before.blockQuic = false;
    before.customRules = {
        {QUuid::createUuid(), QStringLiteral("shop.example"), CustomRuleAction::Proxy}};

    const std::optional<AccountImport> account =
        AccountImport::parse(link(), QStringLiteral("new-token"));
    QVERIFY(account);
    AppConfig expected = before;
    expected.uuid = kUuid;
    expected.serverIP = QStringLiteral("node.example.net");
    expected.serverPort = 443;
    expected.publicKey = kKey;
    expected.shortId = QStringLiteral("6ba85179e30d4fc2");
    expected.sni = QStringLiteral("www.example.com");
    expected.spiderX = QStringLiteral("/");
    expected.accountLabel = QStringLiteral("Alice");
    expected.deviceToken = QStringLiteral("new-token");
    QCOMPARE(account->appliedTo(before), expected);

    // Without a token or a label in the link, both stay as they were.
    const std::optional<AccountImport> bare =
        AccountImport::parse(link({{QStringLiteral("#Alice"), QString()}}), QString());
    QVERIFY(bare);
    const AppConfig kept = bare->appliedTo(before);
    QCOMPARE(kept.deviceToken, QStringLiteral("old-token"));
    QCOMPARE(kept.accountLabel, QStringLiteral("Bob"));
}

QTEST_GUILESS_MAIN(VlessLinkTest)
#include "tst_vless_link.moc"
