#include "config/AppConfig.h"

#include "config/Deployment.h"
#include "config/RuleParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringBuilder>
#include <QUrl>

QString rawValue(ProxyMode mode) {
    return mode == ProxyMode::Global ? QStringLiteral("global") : QStringLiteral("rule");
}

QString title(ProxyMode mode) {
    return mode == ProxyMode::Global ? QStringLiteral("全局模式") : QStringLiteral("智能分流");
}

std::optional<ProxyMode> proxyModeFromRaw(const QString& raw) {
    for (ProxyMode mode : allProxyModes) {
        if (rawValue(mode) == raw) {
            return mode;
        }
    }
    return std::nullopt;
}

QString rawValue(CustomRuleAction action) {
    return action == CustomRuleAction::Proxy ? QStringLiteral("PROXY") : QStringLiteral("DIRECT");
}

QString title(CustomRuleAction action) {
    return action == CustomRuleAction::Proxy ? QStringLiteral("代理") : QStringLiteral("直连");
}

std::optional<CustomRuleAction> customRuleActionFromRaw(const QString& raw) {
    for (CustomRuleAction action : allCustomRuleActions) {
        if (rawValue(action) == raw) {
            return action;
        }
    }
    return std::nullopt;
}

namespace {

std::optional<MihomoRuleLines> linesForNormalized(const QString& n, CustomRuleAction action) {
    const QString target = rawValue(action);
    const bool direct = action == CustomRuleAction::Direct;
    if (n.isEmpty()) {
        return std::nullopt;
    }
    if (n.startsWith(QLatin1String("kw:"))) {
        const QStringView keyword = QStringView(n).mid(3);
        if (keyword.isEmpty()) {
            return std::nullopt;
        }
        return MihomoRuleLines{QString(QLatin1String("DOMAIN-KEYWORD,") % keyword % u',' % target),
                               direct ? std::optional<QString>(QString(u'*' % keyword % u'*'))
                                      : std::nullopt};
    }
    if (RuleParser::isIPv4OrCIDR(n)) {
        const QLatin1String hostPrefix =
            n.contains(u'/') ? QLatin1String("") : QLatin1String("/32");
        return MihomoRuleLines{QString(QLatin1String("IP-CIDR,") % n % hostPrefix % u',' % target %
                                       QLatin1String(",no-resolve")),
                               std::nullopt};
    }
    if (RuleParser::isIPv6OrCIDR(n)) {
        const QLatin1String hostPrefix =
            n.contains(u'/') ? QLatin1String("") : QLatin1String("/128");
        return MihomoRuleLines{QString(QLatin1String("IP-CIDR6,") % n % hostPrefix % u',' % target %
                                       QLatin1String(",no-resolve")),
                               std::nullopt};
    }
    return MihomoRuleLines{QString(QLatin1String("DOMAIN-SUFFIX,") % n % u',' % target),
                           direct ? std::optional<QString>(QString(QLatin1String("*.") % n))
                                  : std::nullopt};
}

} // namespace

std::optional<MihomoRuleLines> CustomRule::toMihomoLines() const {
    return linesForNormalized(RuleParser::normalizePattern(pattern), action);
}

std::optional<MihomoRuleLines> CustomRule::toWritableMihomoLines() const {
    const QString n = RuleParser::normalizePattern(pattern);
    if (n.isEmpty() || !RuleParser::isWritablePattern(n)) {
        return std::nullopt;
    }
    return linesForNormalized(n, action);
}

AppConfig AppConfig::empty() {
    AppConfig config;
    config.apiBaseURL = QString::fromUtf8(Deployment::serviceBaseURL);
    config.sni = QString::fromUtf8(Deployment::defaultSni);
    config.quotaURL = config.apiBaseURL + QLatin1String("/api/quota");
    config.tunEnabled = true;
    return config;
}

QString AppConfig::resolvedApiBaseURL() const {
    QString base = apiBaseURL.trimmed();
    qsizetype begin = 0;
    qsizetype end = base.size();
    while (begin < end && base.at(begin) == u'/') {
        ++begin;
    }
    while (end > begin && base.at(end - 1) == u'/') {
        --end;
    }
    base = base.mid(begin, end - begin);
    if (!base.isEmpty()) {
        return base;
    }
    const QUrl url(quotaURL, QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty() && !url.host().isEmpty()) {
        QString answer = url.scheme() + QLatin1String("://") + url.host();
        if (url.port() != -1) {
            answer += u':' + QString::number(url.port());
        }
        return answer;
    }
    return QString::fromUtf8(Deployment::serviceBaseURL);
}

namespace AppConfigCodec {

namespace {

// Decoding keeps the first problem it meets; the reason names the key.
class Reader {
public:
    explicit Reader(const QJsonObject& object) : m_object(object) {}

    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }

    void text(const char* key, QString& out) {
        const QJsonValue value = present(key);
        if (value.isUndefined()) {
            return;
        }
        if (!value.isString()) {
            fail(key, "a string");
            return;
        }
        out = value.toString();
    }

    void boolean(const char* key, bool& out) {
        const QJsonValue value = present(key);
        if (value.isUndefined()) {
            return;
        }
        if (!value.isBool()) {
            fail(key, "true or false");
            return;
        }
        out = value.toBool();
    }

    void integer(const char* key, qint64& out) {
        const QJsonValue value = present(key);
        if (value.isUndefined()) {
            return;
        }
        // toInteger() gives its default for anything but a whole number within 64 bits.
        const qint64 a = value.toInteger(0);
        const qint64 b = value.toInteger(1);
        if (!value.isDouble() || a != b) {
            fail(key, "a whole number");
            return;
        }
        out = a;
    }

    void mode(const char* key, ProxyMode& out) {
        const QJsonValue value = present(key);
        if (value.isUndefined()) {
            return;
        }
        const auto mode = value.isString() ? proxyModeFromRaw(value.toString()) : std::nullopt;
        if (!mode) {
            fail(key, "\"rule\" or \"global\"");
            return;
        }
        out = *mode;
    }

    void rules(const char* key, QList<CustomRule>& out) {
        const QJsonValue value = present(key);
        if (value.isUndefined()) {
            return;
        }
        if (!value.isArray()) {
            fail(key, "an array");
            return;
        }
        const QJsonArray array = value.toArray();
        QList<CustomRule> rules;
        rules.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i) {
            QString reason;
            auto rule = decodeRule(array.at(i), reason);
            if (!rule) {
                m_error = QStringLiteral("customRules[%1]: %2").arg(i).arg(reason);
                return;
            }
            rules.append(std::move(*rule));
        }
        out = std::move(rules);
    }

private:
    // Absent keys and nulls read as "not there": the caller keeps its default.
    QJsonValue present(const char* key) const {
        if (failed()) {
            return QJsonValue(QJsonValue::Undefined);
        }
        const QJsonValue value = m_object.value(QLatin1String(key));
        return value.isNull() ? QJsonValue(QJsonValue::Undefined) : value;
    }

    void fail(const char* key, const char* expected) {
        m_error =
            QStringLiteral("\"%1\" must be %2").arg(QLatin1String(key), QLatin1String(expected));
    }

    static bool isCanonicalUuidText(const QString& text) {
        if (text.size() != 36) {
            return false;
        }
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = text.at(i).unicode();
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                if (c != u'-') {
                    return false;
                }
            } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
                         (c >= u'A' && c <= u'F'))) {
                return false;
            }
        }
        return true;
    }

    static std::optional<CustomRule> decodeRule(const QJsonValue& element, QString& reason) {
        if (!element.isObject()) {
            reason = QStringLiteral("not an object");
            return std::nullopt;
        }
        const QJsonObject object = element.toObject();
        const QJsonValue id = object.value(QLatin1String("id"));
        const QJsonValue pattern = object.value(QLatin1String("pattern"));
        const QJsonValue action = object.value(QLatin1String("action"));
        if (!id.isString() || !isCanonicalUuidText(id.toString())) {
            reason = QStringLiteral("\"id\" must be a UUID");
            return std::nullopt;
        }
        if (!pattern.isString()) {
            reason = QStringLiteral("\"pattern\" must be a string");
            return std::nullopt;
        }
        const auto parsedAction =
            action.isString() ? customRuleActionFromRaw(action.toString()) : std::nullopt;
        if (!parsedAction) {
            reason = QStringLiteral("\"action\" must be \"DIRECT\" or \"PROXY\"");
            return std::nullopt;
        }
        return CustomRule{QUuid::fromString(id.toString()), pattern.toString(), *parsedAction};
    }

    QJsonObject m_object;
    QString m_error;
};

// JSON string literal: quotes, backslash and control characters escaped, the rest as UTF-8.
void appendJsonString(QByteArray& out, const QString& text) {
    static const char hex[] = "0123456789abcdef";
    out.append('"');
    const QByteArray utf8 = text.toUtf8();
    const char* const end = utf8.constEnd();
    const char* plainStart = utf8.constBegin();
    for (const char* p = plainStart; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out.append(plainStart, p - plainStart);
        plainStart = p + 1;
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        default: {
            const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            out.append(escape, sizeof escape);
        }
        }
    }
    out.append(plainStart, end - plainStart);
    out.append('"');
}

// The canonical 36-character form in upper case.
void appendUuid(QByteArray& out, const QUuid& id) {
    static const char hex[] = "0123456789ABCDEF";
    const unsigned char bytes[16] = {
        uchar(id.data1 >> 24), uchar(id.data1 >> 16), uchar(id.data1 >> 8), uchar(id.data1),
        uchar(id.data2 >> 8),  uchar(id.data2),       uchar(id.data3 >> 8), uchar(id.data3),
        id.data4[0],           id.data4[1],           id.data4[2],          id.data4[3],
        id.data4[4],           id.data4[5],           id.data4[6],          id.data4[7]};
    char text[36];
    int at = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text[at++] = '-';
        }
        text[at++] = hex[bytes[i] >> 4];
        text[at++] = hex[bytes[i] & 0xF];
    }
    out.append(text, sizeof text);
}

class Writer {
public:
    void key(const char* name) {
        m_out.append(m_first ? "{\"" : ",\"");
        m_first = false;
        m_out.append(name);
        m_out.append("\":");
    }
    void text(const char* name, const QString& value) {
        key(name);
        appendJsonString(m_out, value);
    }
    void boolean(const char* name, bool value) {
        key(name);
        m_out.append(value ? "true" : "false");
    }
    void integer(const char* name, qint64 value) {
        key(name);
        m_out.append(QByteArray::number(value));
    }
    QByteArray& raw() { return m_out; }
    QByteArray finish() {
        m_out.append('}');
        return std::move(m_out);
    }

private:
    QByteArray m_out;
    bool m_first = true;
};

} // namespace

std::optional<AppConfig> decode(const QByteArray& json, QString* error) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    auto failWith = [error](const QString& reason) -> std::optional<AppConfig> {
        if (error) {
            *error = reason;
        }
        return std::nullopt;
    };
    if (parseError.error != QJsonParseError::NoError) {
        return failWith(QStringLiteral("not JSON: %1 at offset %2")
                            .arg(parseError.errorString())
                            .arg(parseError.offset));
    }
    if (!document.isObject()) {
        return failWith(QStringLiteral("not a JSON object"));
    }

    // Absent-key defaults differ from AppConfig::empty() in quotaURL and tunEnabled.
    AppConfig config;
    config.apiBaseURL = QString::fromUtf8(Deployment::serviceBaseURL);
    config.sni = QString::fromUtf8(Deployment::defaultSni);

    Reader reader(document.object());
    reader.text("apiBaseURL", config.apiBaseURL);
    reader.text("deviceToken", config.deviceToken);
    reader.text("accountLabel", config.accountLabel);
    reader.text("serverIP", config.serverIP);
    reader.integer("serverPort", config.serverPort);
    reader.text("uuid", config.uuid);
    reader.text("publicKey", config.publicKey);
    reader.text("shortId", config.shortId);
    reader.text("sni", config.sni);
    reader.text("spiderX", config.spiderX);
    reader.text("quotaURL", config.quotaURL);
    reader.text("quotaToken", config.quotaToken);
    reader.mode("mode", config.mode);
    reader.boolean("tunEnabled", config.tunEnabled);
    reader.boolean("allowLan", config.allowLan);
    reader.boolean("bypassAppleCN", config.bypassAppleCN);
    reader.boolean("blockQuic", config.blockQuic);
    reader.rules("customRules", config.customRules);
    reader.boolean("autoConnect", config.autoConnect);
    if (reader.failed()) {
        return failWith(reader.error());
    }
    return config;
}

QByteArray encode(const AppConfig& config) {
    Writer writer;
    writer.raw().reserve(512 + config.customRules.size() * 96);
    writer.text("apiBaseURL", config.apiBaseURL);
    writer.text("deviceToken", config.deviceToken);
    writer.text("accountLabel", config.accountLabel);
    writer.text("serverIP", config.serverIP);
    writer.integer("serverPort", config.serverPort);
    writer.text("uuid", config.uuid);
    writer.text("publicKey", config.publicKey);
    writer.text("shortId", config.shortId);
    writer.text("sni", config.sni);
    writer.text("spiderX", config.spiderX);
    writer.text("quotaURL", config.quotaURL);
    writer.text("quotaToken", config.quotaToken);
    writer.text("mode", rawValue(config.mode));
    writer.boolean("tunEnabled", config.tunEnabled);
    writer.boolean("allowLan", config.allowLan);
    writer.boolean("bypassAppleCN", config.bypassAppleCN);
    writer.boolean("blockQuic", config.blockQuic);
    writer.key("customRules");
    QByteArray& out = writer.raw();
    out.append('[');
    bool first = true;
    for (const CustomRule& rule : config.customRules) {
        out.append(first ? "{\"id\":\"" : ",{\"id\":\"");
        first = false;
        appendUuid(out, rule.id);
        out.append("\",\"pattern\":");
        appendJsonString(out, rule.pattern);
        out.append(",\"action\":\"");
        out.append(rule.action == CustomRuleAction::Proxy ? "PROXY" : "DIRECT");
        out.append("\"}");
    }
    out.append(']');
    writer.boolean("autoConnect", config.autoConnect);
    return writer.finish();
}

} // namespace AppConfigCodec
