#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

// Where a proxied connection wants to go, and where it comes from. A literal address leaves
// host empty.
struct Destination {
    QString host;
    QHostAddress address;
    quint16 port = 0;
    QString network = QStringLiteral("tcp");
    QHostAddress source; // the client's address (IPv4-mapped addresses unmapped)
};

// One entry of the configuration's rule list, or a condition inside a logic rule (AND, OR, NOT,
// which nest).
class Rule {
public:
    enum class Kind {
        DomainSuffix,
        DomainKeyword,
        Domain,
        IpCidr,
        SrcIpCidr,
        And,
        Or,
        Not,
        GeoSite,
        GeoIp,
        Network,
        DstPort,
        Match
    };

    // Parses "TYPE,payload,target[,options]" ("MATCH,target" has no payload).
    static std::optional<Rule> parse(const QString& line, QString* error);

    bool matches(const Destination& destination) const;
    // The name the controller reports in a connection's "rule".
    QString typeName() const;
    const QString& payload() const { return m_payload; }
    const QString& target() const { return m_target; }
    const QString& text() const { return m_text; } // the line as the file has it

private:
    static std::optional<Rule> parseCondition(const QString& text, QString* error);
    static std::optional<std::pair<Kind, bool>> kindFromName(const QString& name);
    bool parsePayload(QString* error);
    bool isLogic() const;

    Kind m_kind = Kind::Match;
    QString m_text;
    QString m_payload;
    QString m_target;
    std::pair<QHostAddress, int> m_subnet;
    quint16 m_portLow = 0;
    quint16 m_portHigh = 0;
    std::vector<Rule> m_conditions;
};
