#include "config/VlessLink.h"

#include "config/RuleParser.h"

#include <QHash>
#include <QStringDecoder>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace VlessLink {

namespace {

const QLatin1String scheme("vless://");
constexpr qsizetype maxLabelLength = 200;
constexpr qsizetype maxSpiderXLength = 256;

// Collects the first problem; every later step sees failed() and stops.
class Problem {
public:
    bool failed() const { return !m_reason.isEmpty(); }
    QString reason() const { return m_reason; }
    std::nullopt_t fail(const QString& reason) {
        if (m_reason.isEmpty())
            m_reason = reason;
        return std::nullopt;
    }

private:
    QString m_reason;
};

bool isHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool isAsciiAlnum(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Percent-decoding with strict rules: "%" takes two hex digits and the bytes are UTF-8.
std::optional<QString> percentDecoded(QStringView text) {
    if (!text.contains(u'%'))
        return text.toString();
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype plainStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != u'%')
            continue;
        bytes += text.mid(plainStart, i - plainStart).toUtf8();
        if (i + 2 >= text.size() || !isHexDigit(text.at(i + 1).unicode()) ||
            !isHexDigit(text.at(i + 2).unicode()))
            return std::nullopt;
        bytes += char(text.mid(i + 1, 2).toUInt(nullptr, 16));
        i += 2;
        plainStart = i + 1;
    }
    bytes += text.mid(plainStart).toUtf8();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

bool isCanonicalUuid(const QString& text) {
    if (text.size() != 36)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphenPlace ? c != u'-' : !isHexDigit(c))
            return false;
    }
    return true;
}

// Letters, digits and inner hyphens per label, labels of 1 to 63, at most 253 in all. An
// all-numeric last label would be read as an address, so it is refused.
bool isHostName(const QString& text) {
    if (text.isEmpty() || text.size() > 253)
        return false;
    const QStringList labels = text.split(u'.');
    for (const QString& label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.front() == u'-' || label.back() == u'-')
            return false;
        for (const QChar c : label) {
            if (!isAsciiAlnum(c.unicode()) && c != u'-')
                return false;
        }
    }
    const QString& last = labels.last();
    return std::any_of(last.cbegin(), last.cend(), [](QChar c) { return !c.isDigit(); });
}

// An IPv6 address as written inside brackets, in its normalized form.
std::optional<QString> ipv6Address(const QString& text) {
    if (!text.contains(u':'))
        return std::nullopt;
    for (const QChar c : text) {
        if (!isHexDigit(c.unicode()) && c != u':' && c != u'.')
            return std::nullopt; // no zone index: the core could not use one
    }
    QUrl url;
    url.setHost(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    return url.host();
}

bool isBase64Url(const QString& text) {
    return std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return isAsciiAlnum(c.unicode()) || c == u'-' || c == u'_'; });
}

// A path of visible ASCII that a reader of the settings takes literally.
bool isSpiderPath(const QString& text) {
    if (text.isEmpty() || text.size() > maxSpiderXLength || text.front() != u'/')
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return u > 0x20 && u < 0x7F && u != u'"' && u != u'\\' && u != u'\'' && u != u'`';
    });
}

bool hasControlCharacter(const QString& text) {
    return RuleParser::containsUnsafeCharacter(text) ||
           std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c == u'\t'; });
}

// The query as key → decoded value; a repeated key is refused, since it is unclear which holds.
class Query {
public:
    bool read(QStringView query, Problem& problem) {
        for (QStringView item : query.split(u'&')) {
            if (item.isEmpty())
                continue;
            const qsizetype equals = item.indexOf(u'=');
            const QString key = (equals < 0 ? item : item.left(equals)).toString();
            const QStringView raw = equals < 0 ? QStringView() : item.mid(equals + 1);
            if (m_values.contains(key)) {
                problem.fail(QStringLiteral("参数 %1 重复出现").arg(key));
                return false;
            }
            const std::optional<QString> value = percentDecoded(raw);
            if (!value) {
                problem.fail(QStringLiteral("参数 %1 的编码无效").arg(key));
                return false;
            }
            m_values.insert(key, *value);
        }
        return true;
    }

    bool has(const char* key) const { return m_values.contains(QLatin1String(key)); }
    QString value(const char* key) const { return m_values.value(QLatin1String(key)); }

private:
    QHash<QString, QString> m_values;
};

} // namespace

bool looksLikeLink(const QString& text) {
    return text.trimmed().startsWith(scheme, Qt::CaseInsensitive);
}

std::optional<VlessNode> parse(const QString& link, QString* error) {
    Problem problem;
    auto result = [&]() -> std::optional<VlessNode> {
        const QString text = link.trimmed();
        if (!text.startsWith(scheme, Qt::CaseInsensitive))
            return problem.fail(QStringLiteral("不是 vless:// 链接"));
        if (text.size() > maxLength)
            return problem.fail(QStringLiteral("链接过长"));
        // Blanks are tolerated in the label only, where some apps leave them unencoded.
        const QStringView beforeLabel = QStringView(text).left(text.indexOf(u'#'));
        if (hasControlCharacter(text) || std::any_of(beforeLabel.begin(), beforeLabel.end(),
                                                     [](QChar c) { return c.isSpace(); }))
            return problem.fail(QStringLiteral("链接中含有空白或控制字符"));

        // vless://<user>@<host>:<port>[/][?<query>][#<label>]
        QStringView rest = QStringView(text).mid(scheme.size());
        QStringView fragment;
        if (const qsizetype hash = rest.indexOf(u'#'); hash >= 0) {
            fragment = rest.mid(hash + 1);
            rest = rest.left(hash);
        }
        QStringView query;
        if (const qsizetype question = rest.indexOf(u'?'); question >= 0) {
            query = rest.mid(question + 1);
            rest = rest.left(question);
        }
        if (rest.endsWith(u'/'))
            rest.chop(1);
        if (rest.contains(u'/'))
            return problem.fail(QStringLiteral("链接格式不正确"));

        VlessNode node;
        const qsizetype at = rest.lastIndexOf(u'@');
        const std::optional<QString> user =
            at < 0 ? std::optional<QString>() : percentDecoded(rest.left(at));
        if (!user || user->isEmpty())
            return problem.fail(QStringLiteral("缺少 UUID"));
        if (!isCanonicalUuid(*user))
            return problem.fail(QStringLiteral("UUID 格式不正确"));
        node.uuid = user->toLower();

        const QStringView hostPort = rest.mid(at + 1);
        QStringView host;
        QStringView port;
        bool hasPort = false;
        if (hostPort.startsWith(u'[')) {
            const qsizetype close = hostPort.indexOf(u']');
            if (close < 0)
                return problem.fail(QStringLiteral("服务器地址无效"));
            host = hostPort.mid(1, close - 1);
            const QStringView after = hostPort.mid(close + 1);
            if (!after.isEmpty() && !after.startsWith(u':'))
                return problem.fail(QStringLiteral("服务器地址无效"));
            hasPort = !after.isEmpty();
            port = after.mid(1);
            const std::optional<QString> address = ipv6Address(host.toString());
            if (!address)
                return problem.fail(QStringLiteral("服务器地址无效"));
            node.serverIP = *address;
        } else {
            const qsizetype colon = hostPort.indexOf(u':');
            if (colon >= 0 && hostPort.indexOf(u':', colon + 1) >= 0)
                return problem.fail(QStringLiteral("IPv6 地址须写在方括号中"));
            host = colon < 0 ? hostPort : hostPort.left(colon);
            hasPort = colon >= 0;
            port = colon < 0 ? QStringView() : hostPort.mid(colon + 1);
            const QString name = host.toString().toLower();
            if (name.isEmpty())
                return problem.fail(QStringLiteral("缺少服务器地址"));
            if (!RuleParser::isIPv4(name) && !isHostName(name))
                return problem.fail(QStringLiteral("服务器地址无效"));
            node.serverIP = name;
        }
        if (node.serverIP.isEmpty())
            return problem.fail(QStringLiteral("缺少服务器地址"));
        if (!hasPort || port.isEmpty())
            return problem.fail(QStringLiteral("缺少端口"));
        bool numeric = port.size() <= 5 && std::all_of(port.begin(), port.end(), [](QChar c) {
                           return c >= u'0' && c <= u'9';
                       });
        const int portNumber = numeric ? port.toInt(&numeric) : 0;
        if (!numeric || portNumber < 1 || portNumber > 65535)
            return problem.fail(QStringLiteral("端口无效"));
        node.serverPort = portNumber;

        Query values;
        if (!values.read(query, problem))
            return std::nullopt;
        if (values.value("security") != QLatin1String("reality"))
            return problem.fail(QStringLiteral("仅支持 REALITY 节点"));
        if (values.has("type") && values.value("type") != QLatin1String("tcp"))
            return problem.fail(QStringLiteral("仅支持 TCP 传输（type=tcp）"));
        if (values.has("encryption") && values.value("encryption") != QLatin1String("none"))
            return problem.fail(QStringLiteral("仅支持不加密的 VLESS（encryption=none）"));
        // The configuration always asks for the vision flow; a node without it would refuse us.
        if (values.value("flow") != QLatin1String("xtls-rprx-vision"))
            return problem.fail(QStringLiteral("仅支持 xtls-rprx-vision 流控"));

        node.publicKey = values.value("pbk");
        if (node.publicKey.isEmpty())
            return problem.fail(QStringLiteral("缺少 pbk（REALITY 公钥）"));
        if (node.publicKey.size() != 43 || !isBase64Url(node.publicKey))
            return problem.fail(QStringLiteral("pbk（REALITY 公钥）应为 43 个 base64url 字符"));

        node.shortId = values.value("sid").toLower();
        if (node.shortId.size() > 16 || node.shortId.size() % 2 != 0 ||
            !std::all_of(node.shortId.cbegin(), node.shortId.cend(),
                         [](QChar c) { return isHexDigit(c.unicode()); }))
            return problem.fail(
                QStringLiteral("sid（REALITY 短 ID）应为至多 16 位、偶数个十六进制数字"));

        node.sni = values.value("sni").toLower();
        if (node.sni.isEmpty())
            return problem.fail(QStringLiteral("缺少 sni（REALITY 伪装域名）"));
        if (!isHostName(node.sni))
            return problem.fail(QStringLiteral("sni 不是有效的域名"));

        node.spiderX = values.has("spx") ? values.value("spx") : QStringLiteral("/");
        if (!isSpiderPath(node.spiderX))
            return problem.fail(QStringLiteral("spx（爬虫路径）应为以 / 开头的路径"));

        const std::optional<QString> label = percentDecoded(fragment);
        if (!label)
            return problem.fail(QStringLiteral("备注的编码无效"));
        node.accountLabel = label->trimmed();
        if (hasControlCharacter(node.accountLabel))
            return problem.fail(QStringLiteral("备注中含有控制字符"));
        if (node.accountLabel.size() > maxLabelLength)
            return problem.fail(QStringLiteral("备注过长"));
        return node;
    }();
    if (!result && error)
        *error = problem.reason();
    return result;
}

} // namespace VlessLink
