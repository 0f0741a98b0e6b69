#pragma once

#include <QString>
#include <optional>

// The node a VLESS REALITY share link describes, as the settings fields it maps to. Every value
// is validated: the configuration text can carry it as it stands.
struct VlessNode {
    QString uuid;     // canonical 8-4-4-4-12 form, lower case
    QString serverIP; // IPv4 address, IPv6 address (without brackets) or host name
    qint64 serverPort = 443;
    QString publicKey;    // 43 base64url characters
    QString shortId;      // at most 16 hexadecimal digits, an even count, lower case; may be empty
    QString sni;          // host name, lower case
    QString spiderX;      // "/" when the link names none
    QString accountLabel; // the link's label; empty when it has none

    bool operator==(const VlessNode&) const = default;
};

// vless://<uuid>@<host>:<port>?<query>#<label>, as the service and its peers share nodes.
namespace VlessLink {
// Longest link accepted; real ones are a few hundred characters.
inline constexpr qsizetype maxLength = 4096;
// The node, or nothing with one reason in Chinese (for the user) in `error`.
std::optional<VlessNode> parse(const QString& link, QString* error = nullptr);
// Whether text looks like a share link of this kind, valid or not (used to prefill a field).
bool looksLikeLink(const QString& text);
} // namespace VlessLink
