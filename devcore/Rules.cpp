#include "Rules.h"

namespace {

// Splits an AND payload "((A,x),(B,y))" into "A,x" and "B,y".
std::optional<QStringList> splitConditions(const QString& payload) {
    if (payload.size() < 2 || !payload.startsWith(u'(') || !payload.endsWith(u')'))
        return std::nullopt;
    const QString inner = payload.mid(1, payload.size() - 2);
    QStringList parts;
    int depth = 0;
    int start = -1;
    for (int i = 0; i < inner.size(); ++i) {
        const QChar c = inner.at(i);
        if (c == u'(') {
            if (depth++ == 0)
                start = i + 1;
        } else if (c == u')') {
            if (--depth < 0)
                return std::nullopt;
            if (depth == 0)
                parts << inner.mid(start, i - start);
        } else if (depth == 0 && c != u',' && !c.isSpace()) {
            return std::nullopt;
        }
    }
    if (depth != 0 || parts.isEmpty())
        return std::nullopt;
    return parts;
}

// Index of the comma that ends a parenthesised payload starting at from, or -1.
int endOfParenthesised(const QString& line, int from) {
    int depth = 0;
    for (int i = from; i < line.size(); ++i) {
        if (line.at(i) == u'(')
            ++depth;
        else if (line.at(i) == u')')
            --depth;
        else if (line.at(i) == u',' && depth == 0)
            return i;
    }
    return -1;
}

} // namespace

std::optional<std::pair<Rule::Kind, bool>> Rule::kindFromName(const QString& name) {
    // The bool says whether the rule carries a payload.
    const QString upper = name.trimmed().toUpper();
    if (upper == u"DOMAIN-SUFFIX")
        return std::pair{Kind::DomainSuffix, true};
    if (upper == u"DOMAIN-KEYWORD")
        return std::pair{Kind::DomainKeyword, true};
    if (upper == u"DOMAIN")
        return std::pair{Kind::Domain, true};
    if (upper == u"IP-CIDR" || upper == u"IP-CIDR6")
        return std::pair{Kind::IpCidr, true};
    if (upper == u"SRC-IP-CIDR")
        return std::pair{Kind::SrcIpCidr, true};
    if (upper == u"AND")
        return std::pair{Kind::And, true};
    if (upper == u"OR")
        return std::pair{Kind::Or, true};
    if (upper == u"NOT")
        return std::pair{Kind::Not, true};
    if (upper == u"GEOSITE")
        return std::pair{Kind::GeoSite, true};
    if (upper == u"GEOIP")
        return std::pair{Kind::GeoIp, true};
    if (upper == u"NETWORK")
        return std::pair{Kind::Network, true};
    if (upper == u"DST-PORT")
        return std::pair{Kind::DstPort, true};
    if (upper == u"MATCH")
        return std::pair{Kind::Match, false};
    return std::nullopt;
}

std::optional<Rule> Rule::parse(const QString& line, QString* error) {
    const int firstComma = line.indexOf(u',');
    if (firstComma < 0) {
        *error = QStringLiteral("rule \"%1\" has no target").arg(line);
        return std::nullopt;
    }
    const auto kind = kindFromName(line.left(firstComma));
    if (!kind) {
        *error = QStringLiteral("rule \"%1\" has an unsupported type").arg(line);
        return std::nullopt;
    }
    Rule rule;
    rule.m_kind = kind->first;
    rule.m_text = line;
    QString rest = line.mid(firstComma + 1);
    if (kind->second) {
        const int payloadEnd =
            rule.isLogic() ? endOfParenthesised(rest, 0) : int(rest.indexOf(u','));
        if (payloadEnd < 0) {
            *error = QStringLiteral("rule \"%1\" has no target").arg(line);
            return std::nullopt;
        }
        rule.m_payload = rest.left(payloadEnd).trimmed();
        rest = rest.mid(payloadEnd + 1);
    }
    // Options such as "no-resolve" follow the target and change nothing here.
    rule.m_target = rest.section(u',', 0, 0).trimmed();
    if (rule.m_target.isEmpty()) {
        *error = QStringLiteral("rule \"%1\" has no target").arg(line);
        return std::nullopt;
    }
    if (!rule.parsePayload(error)) {
        *error = QStringLiteral("rule \"%1\": %2").arg(line, *error);
        return std::nullopt;
    }
    return rule;
}

std::optional<Rule> Rule::parseCondition(const QString& text, QString* error) {
    const int comma = text.indexOf(u',');
    const auto kind = kindFromName(comma < 0 ? text : text.left(comma));
    if (!kind || !kind->second) {
        *error = QStringLiteral("unsupported condition \"%1\"").arg(text);
        return std::nullopt;
    }
    Rule condition;
    condition.m_kind = kind->first;
    if (condition.isLogic())
        condition.m_payload = text.mid(comma + 1).trimmed();
    else
        condition.m_payload =
            comma < 0 ? QString() : text.mid(comma + 1).section(u',', 0, 0).trimmed();
    if (!condition.parsePayload(error))
        return std::nullopt;
    return condition;
}

bool Rule::parsePayload(QString* error) {
    switch (m_kind) {
    case Kind::DomainSuffix:
    case Kind::DomainKeyword:
    case Kind::Domain:
        m_payload = m_payload.toLower();
        if (m_payload.isEmpty()) {
            *error = QStringLiteral("empty domain");
            return false;
        }
        return true;
    case Kind::IpCidr:
    case Kind::SrcIpCidr:
        m_subnet = QHostAddress::parseSubnet(m_payload);
        if (m_subnet.first.isNull()) {
            *error = QStringLiteral("invalid address range \"%1\"").arg(m_payload);
            return false;
        }
        return true;
    case Kind::Network: {
        const QString network = m_payload.toLower();
        if (network != u"tcp" && network != u"udp") {
            *error = QStringLiteral("invalid network \"%1\"").arg(m_payload);
            return false;
        }
        m_payload = network;
        return true;
    }
    case Kind::DstPort: {
        bool lowOk = false;
        bool highOk = false;
        const QString low = m_payload.section(u'-', 0, 0);
        const QString high = m_payload.contains(u'-') ? m_payload.section(u'-', 1, 1) : low;
        m_portLow = low.toUShort(&lowOk);
        m_portHigh = high.toUShort(&highOk);
        if (!lowOk || !highOk || m_portLow > m_portHigh) {
            *error = QStringLiteral("invalid port \"%1\"").arg(m_payload);
            return false;
        }
        return true;
    }
    case Kind::And:
    case Kind::Or:
    case Kind::Not: {
        const auto parts = splitConditions(m_payload);
        if (!parts || (m_kind == Kind::Not && parts->size() != 1)) {
            *error = QStringLiteral("malformed conditions");
            return false;
        }
        for (const QString& part : *parts) {
            auto condition = parseCondition(part, error);
            if (!condition)
                return false;
            m_conditions.push_back(std::move(*condition));
        }
        return true;
    }
    case Kind::GeoSite:
    case Kind::GeoIp:
    case Kind::Match:
        return true;
    }
    return true;
}

bool Rule::matches(const Destination& destination) const {
    switch (m_kind) {
    case Kind::DomainSuffix: {
        const QString host = destination.host.toLower();
        return host == m_payload ||
               (host.endsWith(m_payload) && host.at(host.size() - m_payload.size() - 1) == u'.');
    }
    case Kind::DomainKeyword:
        return destination.host.toLower().contains(m_payload);
    case Kind::Domain:
        return destination.host.toLower() == m_payload;
    case Kind::IpCidr:
        return destination.host.isEmpty() && !destination.address.isNull() &&
               destination.address.isInSubnet(m_subnet);
    case Kind::SrcIpCidr:
        return !destination.source.isNull() && destination.source.isInSubnet(m_subnet);
    case Kind::Network:
        return destination.network == m_payload;
    case Kind::DstPort:
        return destination.port >= m_portLow && destination.port <= m_portHigh;
    case Kind::And:
        for (const Rule& condition : m_conditions) {
            if (!condition.matches(destination))
                return false;
        }
        return true;
    case Kind::Or:
        for (const Rule& condition : m_conditions) {
            if (condition.matches(destination))
                return true;
        }
        return false;
    case Kind::Not:
        return !m_conditions.front().matches(destination);
    case Kind::GeoSite:
    case Kind::GeoIp:
        return false; // there is no geodata to look up
    case Kind::Match:
        return true;
    }
    return false;
}

QString Rule::typeName() const {
    switch (m_kind) {
    case Kind::DomainSuffix:
        return QStringLiteral("DomainSuffix");
    case Kind::DomainKeyword:
        return QStringLiteral("DomainKeyword");
    case Kind::Domain:
        return QStringLiteral("Domain");
    case Kind::IpCidr:
        return QStringLiteral("IPCIDR");
    case Kind::SrcIpCidr:
        return QStringLiteral("SrcIPCIDR");
    case Kind::And:
        return QStringLiteral("AND");
    case Kind::Or:
        return QStringLiteral("OR");
    case Kind::Not:
        return QStringLiteral("NOT");
    case Kind::GeoSite:
        return QStringLiteral("GeoSite");
    case Kind::GeoIp:
        return QStringLiteral("GeoIP");
    case Kind::Network:
        return QStringLiteral("Network");
    case Kind::DstPort:
        return QStringLiteral("DstPort");
    case Kind::Match:
        return QStringLiteral("Match");
    }
    return {};
}

bool Rule::isLogic() const {
    return m_kind == Kind::And || m_kind == Kind::Or || m_kind == Kind::Not;
}
