#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// Routing mode; the raw value is also the core's `mode`.
enum class ProxyMode { Rule, Global };
QString rawValue(ProxyMode mode);
QString title(ProxyMode mode); // "智能分流" / "全局模式"
std::optional<ProxyMode> proxyModeFromRaw(const QString& raw);
inline constexpr ProxyMode allProxyModes[] = {ProxyMode::Rule, ProxyMode::Global};

// Where a custom rule sends matching traffic; the raw value is the core rule's target.
enum class CustomRuleAction { Direct, Proxy };
QString rawValue(CustomRuleAction action);
QString title(CustomRuleAction action); // "直连" / "代理"
std::optional<CustomRuleAction> customRuleActionFromRaw(const QString& raw);
inline constexpr CustomRuleAction allCustomRuleActions[] = {CustomRuleAction::Direct,
                                                            CustomRuleAction::Proxy};

// What one custom rule contributes to the core configuration.
struct MihomoRuleLines {
    QString ruleLine;
    std::optional<QString> fakeIpPattern;
    bool operator==(const MihomoRuleLines&) const = default;
};

struct CustomRule {
    QUuid id;
    QString pattern;
    CustomRuleAction action = CustomRuleAction::Direct;

    // The core rule (and fake-IP filter entry) of this rule; nothing for an empty pattern.
    std::optional<MihomoRuleLines> toMihomoLines() const;
    // As toMihomoLines, but also nothing when the normalized pattern cannot be written into the
    // configuration text safely (RuleParser::isWritablePattern).
    std::optional<MihomoRuleLines> toWritableMihomoLines() const;
    bool operator==(const CustomRule&) const = default;
};

struct AppConfig {
    QString apiBaseURL;
    QString deviceToken;
    QString accountLabel;
    QString serverIP;
    qint64 serverPort = 443;
    QString uuid;
    QString publicKey;
    QString shortId;
    QString sni;
    QString spiderX = QStringLiteral("/");
    QString quotaURL;
    QString quotaToken;
    ProxyMode mode = ProxyMode::Rule;
    bool tunEnabled = false;
    bool allowLan = false;
    bool bypassAppleCN = true;
    bool blockQuic = true;
    QList<CustomRule> customRules; // newest first
    bool autoConnect = false;      // connect once at start-up

    // The built-in record of defaults.
    static AppConfig empty();

    // The service base URL without a trailing "/".
    QString resolvedApiBaseURL() const;

    bool operator==(const AppConfig&) const = default;
};

namespace AppConfigCodec {
// Strict decoding: absent keys and nulls take their defaults, anything else wrong fails.
// On failure `error` (when given) receives a one-line reason.
std::optional<AppConfig> decode(const QByteArray& json, QString* error = nullptr);
// Compact JSON, all nineteen keys in field order, rule ids in upper case.
QByteArray encode(const AppConfig& config);
} // namespace AppConfigCodec
