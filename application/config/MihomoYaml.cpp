#include "config/MihomoYaml.h"

#include "config/CoreNames.h"
#include "config/Deployment.h"
#include "config/RuleParser.h"

#include <QRegularExpression>
#include <string_view>

namespace {

// Plain scalars a YAML 1.1 reader (or a lenient newer one) resolves to something other than
// text: booleans, nulls, integers in any base, floats, sexagesimals and dates.
bool resolvesToNonText(const QString& value) {
    static const QStringList words = {
        QStringLiteral("y"),    QStringLiteral("n"),     QStringLiteral("yes"),
        QStringLiteral("no"),   QStringLiteral("on"),    QStringLiteral("off"),
        QStringLiteral("true"), QStringLiteral("false"), QStringLiteral("null"),
        QStringLiteral("~"),    QStringLiteral("<<"),    QStringLiteral("=")};
    if (words.contains(value, Qt::CaseInsensitive)) {
        return true;
    }
    static const QRegularExpression number(
        QStringLiteral("^[-+]?("
                       "0b[01_]+|0o[0-7_]+|0x[0-9a-f_]+"           // integers with a base
                       "|[0-9][0-9_]*(:[0-5]?[0-9])*(\\.[0-9_]*)?" // decimals, sexagesimals
                       "|\\.[0-9][0-9_]*"                          // ".5"
                       ")(e[-+]?[0-9]+)?$"
                       "|^[-+]?\\.?(inf|infinity|nan)$"
                       "|^[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}"),
        QRegularExpression::CaseInsensitiveOption);
    return number.match(value).hasMatch();
}

bool isPlainSafe(const QString& value) {
    if (value.isEmpty()) {
        return true;
    }
    if (RuleParser::containsUnsafeCharacter(value)) {
        return false;
    }
    const QChar first = value.front();
    const QChar last = value.back();
    if (first == u' ' || last == u' ') {
        return false;
    }
    // "-", "?" and ":" start a plain scalar only when a non-blank follows.
    if ((first == u'-' || first == u'?' || first == u':') &&
        (value.size() == 1 || value.at(1) == u' ')) {
        return false;
    }
    static const QString indicators = QStringLiteral(",[]{}#&*!|>'\"%@`");
    if (indicators.contains(first)) {
        return false;
    }
    if (value.contains(QLatin1String(": ")) || last == u':' ||
        value.contains(QLatin1String(" #")) || value.contains(u'"') || value.contains(u'\'')) {
        return false;
    }
    return !resolvesToNonText(value);
}

QString doubleQuoted(const QString& value) {
    QString out;
    out.reserve(value.size() + 8);
    out += u'"';
    const qsizetype size = value.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = value.at(i);
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < size && value.at(i + 1).isLowSurrogate()) {
            out += c;
            out += value.at(++i);
            continue;
        }
        switch (u) {
        case u'"':
            out += QLatin1String("\\\"");
            continue;
        case u'\\':
            out += QLatin1String("\\\\");
            continue;
        case 0x00:
            out += QLatin1String("\\0");
            continue;
        case 0x07:
            out += QLatin1String("\\a");
            continue;
        case 0x08:
            out += QLatin1String("\\b");
            continue;
        case 0x09:
            out += QLatin1String("\\t");
            continue;
        case 0x0A:
            out += QLatin1String("\\n");
            continue;
        case 0x0B:
            out += QLatin1String("\\v");
            continue;
        case 0x0C:
            out += QLatin1String("\\f");
            continue;
        case 0x0D:
            out += QLatin1String("\\r");
            continue;
        case 0x1B:
            out += QLatin1String("\\e");
            continue;
        default:
            break;
        }
        if (c.isSurrogate()) {
            // An unpaired half has no UTF-8 form; the reader gets the replacement character.
            out += QLatin1String("\\uFFFD");
        } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            out += QLatin1String("\\x") + QString::number(u, 16).rightJustified(2, u'0').toUpper();
        } else if (RuleParser::containsUnsafeCharacter(QString(c))) {
            out += QLatin1String("\\u") + QString::number(u, 16).rightJustified(4, u'0').toUpper();
        } else {
            out += c;
        }
    }
    out += u'"';
    return out;
}

QString fromDeployment(const char* value) {
    return QString::fromUtf8(value);
}

class Lines {
public:
    explicit Lines(qsizetype expectedSize) { m_text.reserve(expectedSize); }

    Lines& operator<<(QLatin1String part) {
        m_text += part;
        return *this;
    }
    Lines& operator<<(const QString& part) {
        m_text += part;
        return *this;
    }
    Lines& operator<<(const char* part) {
        m_text += QLatin1String(part);
        return *this;
    }
    Lines& operator<<(qint64 number) {
        m_text += QString::number(number);
        return *this;
    }
    // Ends the current line.
    Lines& end() {
        m_text += u'\n';
        return *this;
    }
    Lines& line(const char* text) {
        m_text += QLatin1String(text);
        return end();
    }
    // The text has no line feed after its last line.
    QString finish() {
        if (m_text.endsWith(u'\n')) {
            m_text.chop(1);
        }
        return std::move(m_text);
    }

private:
    QString m_text;
};

} // namespace

QString yamlScalar(const QString& value) {
    return isPlainSafe(value) ? value : doubleQuoted(value);
}

QString buildMihomoYAML(const AppConfig& config, const MihomoYamlInputs& inputs) {
    const QString serverIP = yamlScalar(config.serverIP);
    const QString uuid = yamlScalar(config.uuid);
    const QString sni = yamlScalar(config.sni);
    const QString publicKey = yamlScalar(config.publicKey);
    const QString shortId = yamlScalar(config.shortId);
    const QString cdnName = fromDeployment(Deployment::cdnName);

    // Each custom rule's lines, once; rules that yield none or cannot be written safely drop out.
    QList<MihomoRuleLines> custom;
    custom.reserve(config.customRules.size());
    for (const CustomRule& rule : config.customRules) {
        if (auto lines = rule.toWritableMihomoLines()) {
            custom.append(std::move(*lines));
        }
    }

    const bool backupNodes =
        config.serverIP == fromDeployment(Deployment::defaultServer) && config.serverPort == 443;

    Lines out(4096 + custom.size() * 80);

    // General settings.
    out << "mixed-port: " << inputs.mixedPort;
    out.end();
    out << "allow-lan: " << (config.allowLan ? "true" : "false");
    out.end();
    out << "mode: " << rawValue(config.mode);
    out.end();
    out.line("log-level: warning");
    out << "external-controller: 127.0.0.1:" << inputs.apiPort;
    out.end();
    if (!inputs.controllerSecret.isEmpty()) {
        out << "secret: " << yamlScalar(inputs.controllerSecret);
        out.end();
    }
    out.line("geodata-mode: false");
    out.line("find-process-mode: strict");
    out.line("");

    // Fake-IP DNS.
    out.line("dns:");
    out.line("  enable: true");
    out.line("  listen: 127.0.0.1:1053");
    out.line("  enhanced-mode: fake-ip");
    out.line("  fake-ip-range: 198.18.0.1/16");
    out.line("  fake-ip-filter:");
    const char* baseFilter[] = {"*.lan",
                                "*.local",
                                "*.localhost",
                                Deployment::filterMessengerLogin,
                                Deployment::filterMessengerSecurity,
                                "time.*.com",
                                "ntp.*.com",
                                Deployment::filterNtpPool,
                                "stun.*.*",
                                "stun.*.*.*",
                                Deployment::filterOsConnectivity,
                                Deployment::filterOsNetworkStatus,
                                Deployment::filterVendorCaptive,
                                Deployment::filterMobileCheck,
                                "geosite:private",
                                "geosite:cn"};
    for (const char* entry : baseFilter) {
        out << "    - \"" << fromDeployment(entry) << "\"";
        out.end();
    }
    if (config.bypassAppleCN) {
        out.line("    - \"geosite:apple-cn\"");
    }
    for (const MihomoRuleLines& lines : custom) {
        if (lines.fakeIpPattern) {
            out << "    - \"" << *lines.fakeIpPattern << "\"";
            out.end();
        }
    }
    const QString dnsA = fromDeployment(Deployment::dnsA);
    const QString dnsB = fromDeployment(Deployment::dnsB);
    out.line("  default-nameserver:");
    out << "    - " << dnsA;
    out.end();
    out << "    - " << dnsB;
    out.end();
    out.line("  nameserver:");
    out << "    - https://" << fromDeployment(Deployment::dohA) << "/dns-query";
    out.end();
    out << "    - https://" << fromDeployment(Deployment::dohB) << "/dns-query";
    out.end();
    out.line("  proxy-server-nameserver:");
    out << "    - " << dnsA;
    out.end();
    out << "    - " << dnsB;
    out.end();
    out.line("");

    // TUN.
    out.line("tun:");
    if (config.tunEnabled) {
        out.line("  enable: true");
        out.line("  stack: gvisor");
        out.line("  auto-route: true");
        out.line("  auto-detect-interface: true");
        out.line("  dns-hijack:");
        out.line("    - \"any:53\"");
    } else {
        out.line("  enable: false");
    }
    out.line("");

    // Nodes.
    out.line("proxies:");
    if (backupNodes) {
        out << "  - name: \"" << CoreNames::cdnNode << "\"";
        out.end();
        out.line("    type: vless");
        out << "    server: " << fromDeployment(Deployment::cdnAddress);
        out.end();
        out.line("    port: 8443");
        out << "    uuid: " << uuid;
        out.end();
        out.line("    network: ws");
        out.line("    tls: true");
        out << "    servername: " << cdnName;
        out.end();
        out.line("    client-fingerprint: chrome");
        out.line("    ws-opts:");
        out.line("      path: /miravo-ws");
        out.line("      headers:");
        out << "        Host: " << cdnName;
        out.end();
        out << "  - name: \"" << CoreNames::hysteriaNode << "\"";
        out.end();
        out.line("    type: hysteria2");
        out << "    server: " << serverIP;
        out.end();
        out << "    port: " << config.serverPort;
        out.end();
        out << "    password: " << uuid;
        out.end();
        out << "    sni: " << fromDeployment(Deployment::hy2Sni);
        out.end();
        out.line("    skip-cert-verify: true");
    } else {
        out.line("");
    }
    out << "  - name: \"" << CoreNames::realityNode << "\"";
    out.end();
    out.line("    type: vless");
    out << "    server: " << serverIP;
    out.end();
    out << "    port: " << config.serverPort;
    out.end();
    out << "    uuid: " << uuid;
    out.end();
    out.line("    network: tcp");
    out.line("    tls: true");
    out.line("    udp: true");
    out.line("    flow: xtls-rprx-vision");
    out << "    servername: " << sni;
    out.end();
    out.line("    reality-opts:");
    out << "      public-key: " << publicKey;
    out.end();
    out << "      short-id: " << shortId;
    out.end();
    out.line("      support-x25519mlkem768: true");
    out.line("    client-fingerprint: chrome");
    out.line("");

    // Group.
    out.line("proxy-groups:");
    out << "  - name: \"" << CoreNames::proxyGroup << "\"";
    out.end();
    out.line("    type: fallback");
    out << "    url: " << CoreNames::healthCheckUrl();
    out.end();
    out.line("    interval: 120");
    out.line("    proxies:");
    for (const char* node : CoreNames::fallbackOrder) {
        if (backupNodes || std::string_view(node) == CoreNames::realityNode) {
            out << "      - \"" << node << "\"";
            out.end();
        }
    }
    out.line("");

    // Rules.
    out.line("rules:");
    if (config.blockQuic) {
        out.line("  - AND,((NETWORK,UDP),(DST-PORT,443)),REJECT");
    }
    if (config.allowLan) {
        // Sharing the proxy with the LAN must not share the host: a client that is not on this
        // machine may not reach its loopback addresses (local services, the controller) through
        // the mixed port, by address or by the name localhost. Local programs reach the port
        // from 127.0.0.1 or ::1 (the system proxy points there) and are unaffected.
        out.line("  - AND,((NOT,((SRC-IP-CIDR,127.0.0.1/32))),(NOT,((SRC-IP-CIDR,::1/128))),"
                 "(OR,((IP-CIDR,127.0.0.0/8),(IP-CIDR,0.0.0.0/32),(IP-CIDR6,::1/128),"
                 "(IP-CIDR6,::/128),(DOMAIN-SUFFIX,localhost)))),REJECT");
    }
    for (const MihomoRuleLines& lines : custom) {
        out << "  - " << lines.ruleLine;
        out.end();
    }
    out.line("  - IP-CIDR,127.0.0.0/8,DIRECT,no-resolve");
    out.line("  - IP-CIDR,10.0.0.0/8,DIRECT,no-resolve");
    out.line("  - IP-CIDR,172.16.0.0/12,DIRECT,no-resolve");
    out.line("  - IP-CIDR,192.168.0.0/16,DIRECT,no-resolve");
    out.line("  - IP-CIDR,100.64.0.0/10,DIRECT,no-resolve");
    out.line("  - IP-CIDR6,2400::/12,DIRECT,no-resolve");
    out << "  - DOMAIN-SUFFIX," << fromDeployment(Deployment::analyticsDomain) << ",DIRECT";
    out.end();
    out.line("  - GEOSITE,private,DIRECT");
    if (config.bypassAppleCN) {
        out.line("  - GEOSITE,apple-cn,DIRECT");
    }
    if (RuleParser::isIPv4(config.serverIP)) {
        out << "  - IP-CIDR," << config.serverIP << "/32,DIRECT,no-resolve";
        out.end();
    }
    out.line("  - GEOSITE,cn,DIRECT");
    out.line("  - GEOIP,CN,DIRECT,no-resolve");
    out << "  - MATCH," << CoreNames::proxyGroup;
    out.end();
    return out.finish();
}
