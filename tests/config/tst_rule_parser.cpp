#include "config/AppConfig.h"
#include "config/RuleParser.h"

#include <QTest>

class TestRuleParser : public QObject {
    Q_OBJECT

private slots:
    void normalizePattern_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("blanks and case") << "  Sub.Shop.EXAMPLE  "
                                         << "sub.shop.example";
        QTest::newRow("tabs and newlines at the ends") << "\tshop.example\r\n"
                                                       << "shop.example";
        QTest::newRow("pasted URL") << "https://Sub.Shop.example:8443/path?q=1"
                                    << "sub.shop.example";
        QTest::newRow("any scheme") << "ftp://a.example/x://y"
                                    << "a.example";
        QTest::newRow("wildcard") << "*.shop.example"
                                  << "shop.example";
        QTest::newRow("two wildcards") << "*.*.shop.example"
                                       << "shop.example";
        QTest::newRow("leading dot") << ".shop.example"
                                     << "shop.example";
        QTest::newRow("leading dots after wildcard") << "*...shop.example"
                                                     << "shop.example";
        QTest::newRow("inner wildcard stays") << "a.*.example"
                                              << "a.*.example";
        QTest::newRow("comma") << "shop.example,"
                               << "shop.example";
        QTest::newRow("inner space") << "sh op.example"
                                     << "shop.example";
        QTest::newRow("inner tab stays") << "sh\top.example"
                                         << "sh\top.example";
        QTest::newRow("network") << "192.168.1.0/24"
                                 << "192.168.1.0/24";
        QTest::newRow("network with extra") << "192.168.1.0/24/extra"
                                            << "192.168.1.0/24/extra";
        QTest::newRow("domain then address") << "shop.example/192.168.1.1"
                                             << "shop.example";
        QTest::newRow("keyword") << "kw:Shop"
                                 << "kw:shop";
        QTest::newRow("keyword with colon") << "kw:a:b"
                                            << "kw:a:b";
        QTest::newRow("keyword with slash") << "kw:a/b"
                                            << "kw:a";
        QTest::newRow("address with port") << "10.0.0.1:8080"
                                           << "10.0.0.1";
        // IPv6: canonical form; the brackets, port and path of a URL go, a prefix length stays.
        QTest::newRow("IPv6 literal") << "fd00::1"
                                      << "fd00::1";
        QTest::newRow("IPv6 upper case, zeros written out") << "2001:0DB8:0:0:0:0:0:1"
                                                            << "2001:db8::1";
        QTest::newRow("IPv6 in brackets") << "[2001:db8::1]"
                                          << "2001:db8::1";
        QTest::newRow("IPv6 URL with port and path") << "https://[2001:DB8::1]:8443/a/b?c=1"
                                                     << "2001:db8::1";
        QTest::newRow("IPv6 network") << "2001:db8::/32"
                                      << "2001:db8::/32";
        QTest::newRow("IPv6 network in brackets") << "[2001:db8::]/048"
                                                  << "2001:db8::/48";
        QTest::newRow("IPv6 host prefix") << "::1/128"
                                          << "::1/128";
        QTest::newRow("IPv4-mapped IPv6") << "::FFFF:10.0.0.1"
                                          << "::ffff:10.0.0.1";
        QTest::newRow("IPv6 prefix too long kept for refusal") << "2001:db8::/129"
                                                               << "2001:db8::/129";
        QTest::newRow("invalid IPv6 kept for refusal") << "2001:db8:::1"
                                                       << "2001:db8:::1";
        QTest::newRow("unclosed bracket kept for refusal") << "[2001:db8::1"
                                                           << "[2001:db8::1";
        QTest::newRow("blank only") << "   "
                                    << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("Unicode upper case")
            << QStringLiteral("ÄRGER.Example") << QStringLiteral("ärger.example");
        // Full lower-casing: the dotted capital I becomes "i" plus a combining dot.
        QTest::newRow("special casing")
            << QStringLiteral("\u0130STANBUL.example") << QStringLiteral("i\u0307stanbul.example");
        QTest::newRow("Unicode blanks at the ends")
            << QStringLiteral("\u3000shop.example\u00A0") << "shop.example";
    }
    void normalizePattern() {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(RuleParser::normalizePattern(input), expected);
    }

    void ipv4_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ipv4");
        QTest::addColumn<bool>("ipv4OrCidr");
        QTest::newRow("address") << "10.0.0.1" << true << true;
        QTest::newRow("octet too large") << "10.0.0.256" << false << false;
        QTest::newRow("leading zero") << "10.0.0.01" << false << false;
        QTest::newRow("three parts") << "10.0.0" << false << false;
        QTest::newRow("trailing dot") << "10.0.0.1." << false << false;
        QTest::newRow("two dots in a row") << "10..0.1" << false << false;
        QTest::newRow("signed octet") << "10.0.0.+1" << false << false;
        QTest::newRow("network") << "10.0.0.0/8" << false << true;
        QTest::newRow("prefix too long") << "10.0.0.0/33" << false << false;
        QTest::newRow("empty prefix") << "10.0.0.0/" << false << false;
        QTest::newRow("prefix with leading zero") << "10.0.0.0/08" << false << true;
        QTest::newRow("prefix with plus") << "10.0.0.0/+8" << false << true;
        QTest::newRow("prefix minus zero") << "10.0.0.0/-0" << false << true;
        QTest::newRow("negative prefix") << "10.0.0.0/-1" << false << false;
        QTest::newRow("sign only") << "10.0.0.0/+" << false << false;
        QTest::newRow("huge prefix") << "10.0.0.0/99999999999999999999" << false << false;
        QTest::newRow("two slashes") << "10.0.0.0/8/8" << false << false;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("Arabic-Indic digits") << QStringLiteral("١٠.0.0.1") << false << false;
    }
    void ipv4() {
        QFETCH(QString, text);
        QFETCH(bool, ipv4);
        QFETCH(bool, ipv4OrCidr);
        QCOMPARE(RuleParser::isIPv4(text), ipv4);
        QCOMPARE(RuleParser::isIPv4OrCIDR(text), ipv4OrCidr);
    }

    void toMihomoLines_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<CustomRuleAction>("action");
        QTest::addColumn<bool>("hasResult");
        QTest::addColumn<QString>("ruleLine");
        QTest::addColumn<QString>("fakeIp"); // empty: no filter entry
        const auto direct = CustomRuleAction::Direct;
        const auto proxy = CustomRuleAction::Proxy;
        QTest::newRow("direct domain")
            << "shop.example" << direct << true << "DOMAIN-SUFFIX,shop.example,DIRECT"
            << "*.shop.example";
        QTest::newRow("proxy domain")
            << "shop.example" << proxy << true << "DOMAIN-SUFFIX,shop.example,PROXY"
            << "";
        QTest::newRow("proxy address")
            << "10.1.2.3" << proxy << true << "IP-CIDR,10.1.2.3/32,PROXY,no-resolve"
            << "";
        QTest::newRow("direct address")
            << "10.1.2.3" << direct << true << "IP-CIDR,10.1.2.3/32,DIRECT,no-resolve"
            << "";
        QTest::newRow("network kept as typed")
            << "192.168.1.7/24" << direct << true << "IP-CIDR,192.168.1.7/24,DIRECT,no-resolve"
            << "";
        QTest::newRow("prefix kept as typed")
            << "10.0.0.0/08" << proxy << true << "IP-CIDR,10.0.0.0/08,PROXY,no-resolve"
            << "";
        QTest::newRow("not a network") << "192.168.1.0/24/extra" << direct << true
                                       << "DOMAIN-SUFFIX,192.168.1.0/24/extra,DIRECT"
                                       << "*.192.168.1.0/24/extra";
        QTest::newRow("direct keyword")
            << "kw:shop" << direct << true << "DOMAIN-KEYWORD,shop,DIRECT"
            << "*shop*";
        QTest::newRow("proxy keyword")
            << "kw:Video" << proxy << true << "DOMAIN-KEYWORD,video,PROXY"
            << "";
        QTest::newRow("normalized again")
            << " https://Shop.Example/x " << direct << true << "DOMAIN-SUFFIX,shop.example,DIRECT"
            << "*.shop.example";
        QTest::newRow("IPv6 address")
            << "2001:DB8::1" << direct << true << "IP-CIDR6,2001:db8::1/128,DIRECT,no-resolve"
            << "";
        QTest::newRow("IPv6 address in brackets")
            << "[2001:db8::1]" << proxy << true << "IP-CIDR6,2001:db8::1/128,PROXY,no-resolve"
            << "";
        QTest::newRow("IPv6 network")
            << "fd00::/8" << proxy << true << "IP-CIDR6,fd00::/8,PROXY,no-resolve"
            << "";
        QTest::newRow("empty keyword") << "kw:" << direct << false << ""
                                       << "";
        QTest::newRow("empty") << "" << direct << false << ""
                               << "";
        QTest::newRow("blank") << " , " << proxy << false << ""
                               << "";
    }
    void toMihomoLines() {
        QFETCH(QString, pattern);
        QFETCH(CustomRuleAction, action);
        QFETCH(bool, hasResult);
        QFETCH(QString, ruleLine);
        QFETCH(QString, fakeIp);
        const auto lines = CustomRule{QUuid::createUuid(), pattern, action}.toMihomoLines();
        QCOMPARE(lines.has_value(), hasResult);
        if (lines) {
            QCOMPARE(lines->ruleLine, ruleLine);
            QCOMPARE(lines->fakeIpPattern.value_or(QString()), fakeIp);
        }
    }

    void isWritablePattern_data() {
        QTest::addColumn<QString>("normalized");
        QTest::addColumn<bool>("writable");
        QTest::newRow("domain") << "sub.shop.example" << true;
        QTest::newRow("inner wildcard") << "a.*.example" << true;
        QTest::newRow("non-ASCII domain") << QStringLiteral("bücher.example") << true;
        QTest::newRow("keyword with colon") << "kw:a:b" << true;
        QTest::newRow("keyword with YAML indicators") << "kw:&a*[b]{c}'d'" << true;
        QTest::newRow("network") << "10.0.0.0/8" << true;
        QTest::newRow("address") << "10.0.0.1" << true;
        QTest::newRow("IPv6 address") << "2001:db8::1" << true;
        QTest::newRow("IPv6 network") << "2001:db8::/32" << true;
        QTest::newRow("IPv6 prefix too long") << "2001:db8::/129" << false;
        QTest::newRow("invalid IPv6") << "2001:db8:::1" << false;
        QTest::newRow("bracket left over") << "[2001:db8::1" << false;
        QTest::newRow("trailing dot") << "shop.example." << false;
        QTest::newRow("two dots") << "shop..example" << false;
        QTest::newRow("keyword with two dots") << "kw:a..b" << false;
        QTest::newRow("double quote") << "sh\"op.example" << false;
        QTest::newRow("backslash") << "shop\\.example" << false;
        QTest::newRow("hash") << "shop.example#x" << false;
        QTest::newRow("keyword with hash") << "kw:a#b" << false;
        QTest::newRow("tab") << "kw:a\tb" << false;
        QTest::newRow("line feed") << "shop\n.example" << false;
        QTest::newRow("delete") << "shop\x7f.example" << false;
        QTest::newRow("next line") << QStringLiteral("shop\u0085.example") << false;
        QTest::newRow("line separator") << QStringLiteral("kw:a\u2028b") << false;
        QTest::newRow("byte-order mark") << QStringLiteral("kw:\uFEFFa") << false;
        QTest::newRow("unpaired surrogate") << QString(QChar(0xD800)) + "a.example" << false;
        QTest::newRow("surrogate pair") << QStringLiteral("kw:\U0001F600") << true;
    }
    void isWritablePattern() {
        QFETCH(QString, normalized);
        QFETCH(bool, writable);
        QCOMPARE(RuleParser::isWritablePattern(normalized), writable);
        QCOMPARE(CustomRule({QUuid::createUuid(), normalized, CustomRuleAction::Direct})
                     .toWritableMihomoLines()
                     .has_value(),
                 writable);
    }
};

QTEST_APPLESS_MAIN(TestRuleParser)
#include "tst_rule_parser.moc"
