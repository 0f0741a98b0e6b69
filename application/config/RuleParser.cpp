#include "config/RuleParser.h"

#include <algorithm>
#include <arpa/inet.h>
#include <optional>

namespace RuleParser {

namespace {

// A decimal integer as a lenient parser reads it: one optional sign, then ASCII digits only.
// Values too large for the caller's range come back as "too large" rather than overflowing.
std::optional<qint64> parseSignedDecimal(QStringView text) {
    qsizetype i = 0;
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        i = 1;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = std::min<qint64>(value * 10 + (c - u'0'), 1'000'000);
    }
    return negative ? -value : value;
}

// One dotted-quad component: 0 to 255 written exactly as plain decimal writes it.
bool isCanonicalOctet(QStringView part) {
    if (part.isEmpty() || part.size() > 3) {
        return false;
    }
    int value = 0;
    for (const QChar ch : part) {
        const char16_t c = ch.unicode();
        if (c < u'0' || c > u'9') {
            return false;
        }
        value = value * 10 + (c - u'0');
    }
    if (part.size() > 1 && part.front() == u'0') {
        return false;
    }
    return value <= 255;
}

bool isIPv4View(QStringView text) {
    int parts = 0;
    qsizetype start = 0;
    while (true) {
        const qsizetype dot = text.indexOf(u'.', start);
        const QStringView part = dot < 0 ? text.mid(start) : text.mid(start, dot - start);
        if (++parts > 4 || !isCanonicalOctet(part)) {
            return false;
        }
        if (dot < 0) {
            break;
        }
        start = dot + 1;
    }
    return parts == 4;
}

bool isUnsafeCodeUnit(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0xFEFF ||
           c == 0xFFFE || c == 0xFFFF;
}

qsizetype indexOfChar(QStringView text, char16_t wanted) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() == wanted) {
            return i;
        }
    }
    return -1;
}

// A prefix length of an IPv6 network: 1 to 3 ASCII digits, 0 to 128.
std::optional<int> parseIPv6PrefixLength(QStringView text) {
    if (text.isEmpty() || text.size() > 3)
        return std::nullopt;
    int value = 0;
    for (const QChar ch : text) {
        if (ch < u'0' || ch > u'9')
            return std::nullopt;
        value = value * 10 + (ch.unicode() - u'0');
    }
    if (value > 128)
        return std::nullopt;
    return value;
}

// The canonical text of an IPv6 address (lower case, longest zero run compressed).
std::optional<QString> canonicalIPv6(QStringView text) {
    if (text.isEmpty() || text.size() > INET6_ADDRSTRLEN)
        return std::nullopt;
    const QByteArray latin = text.toLatin1();
    if (QString::fromLatin1(latin) != text)
        return std::nullopt; // a character outside Latin-1 was replaced
    in6_addr address{};
    if (inet_pton(AF_INET6, latin.constData(), &address) != 1)
        return std::nullopt;
    char buffer[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET6, &address, buffer, sizeof buffer))
        return std::nullopt;
    return QString::fromLatin1(buffer);
}

// An IPv6 address or network, bare ("2001:db8::1", "2001:db8::/32") or in brackets as in a URL
// ("[2001:db8::1]:8443/path", "[2001:db8::]/32"). A text that looks like one but is not valid
// comes back unchanged, so that it is refused later instead of being cut at its first ":".
// Anything else is not IPv6: std::nullopt.
std::optional<QString> ipv6Pattern(QStringView text) {
    QStringView address;
    QStringView prefix;
    bool hasPrefix = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return text.toString();
        address = text.mid(1, close - 1);
        const QStringView rest = text.mid(close + 1);
        // After the brackets: a prefix length, or a port and path that are dropped.
        if (rest.startsWith(u'/') && parseIPv6PrefixLength(rest.mid(1))) {
            prefix = rest.mid(1);
            hasPrefix = true;
        }
    } else {
        const qsizetype slash = text.indexOf(u'/');
        address = slash < 0 ? text : text.left(slash);
        if (address.count(u':') < 2)
            return std::nullopt; // a host with a port at most
        if (slash >= 0) {
            prefix = text.mid(slash + 1);
            hasPrefix = true;
        }
    }
    const std::optional<QString> canonical = canonicalIPv6(address);
    const std::optional<int> length =
        hasPrefix ? parseIPv6PrefixLength(prefix) : std::optional<int>(0);
    if (!canonical || !length)
        return text.toString();
    return hasPrefix ? *canonical + u'/' + QString::number(*length) : *canonical;
}

} // namespace

// Works on a view of the trimmed, lower-cased text and copies once at the end: patterns are
// short, and the configuration text normalizes every stored rule again.
QString normalizePattern(const QString& input) {
    // Trimmed, then fully lower-cased.
    const QString lowered = input.trimmed().toLower();
    QStringView text(lowered);
    // Any scheme goes.
    for (qsizetype i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == u':' && text[i + 1] == u'/' && text[i + 2] == u'/') {
            text = text.mid(i + 3);
            break;
        }
    }
    // An IPv6 address or network becomes its canonical form; its ":" are no port.
    if (text.count(u':') >= 2 && !text.startsWith(QLatin1String("kw:"))) {
        QString compact = text.toString();
        compact.remove(u',');
        compact.remove(u' ');
        if (const std::optional<QString> v6 = ipv6Pattern(compact))
            return *v6;
    }
    // A path goes, unless what precedes it is an address: then it is a network.
    const qsizetype slash = indexOfChar(text, u'/');
    if (slash >= 0 && !isIPv4View(text.left(slash))) {
        text = text.left(slash);
    }
    // A port goes; keywords may hold ":".
    if (!text.startsWith(QLatin1String("kw:"))) {
        const qsizetype colon = indexOfChar(text, u':');
        if (colon >= 0) {
            text = text.left(colon);
        }
    }
    // Leading wildcards and dots go.
    while (text.startsWith(QLatin1String("*."))) {
        text = text.mid(2);
    }
    while (text.startsWith(u'.')) {
        text = text.mid(1);
    }
    // Commas and plain spaces go, wherever they are.
    const bool hasDroppable = indexOfChar(text, u',') >= 0 || indexOfChar(text, u' ') >= 0;
    if (!hasDroppable && text.size() == lowered.size()) {
        return lowered;
    }
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c != u',' && c != u' ') {
            result += c;
        }
    }
    return result;
}

bool isIPv4(const QString& text) {
    return isIPv4View(text);
}

bool isIPv4OrCIDR(const QString& text) {
    const qsizetype slash = text.indexOf(u'/');
    if (slash < 0) {
        return isIPv4View(text);
    }
    const QStringView prefix = QStringView(text).mid(slash + 1);
    if (prefix.contains(u'/')) {
        return false;
    }
    const auto length = parseSignedDecimal(prefix);
    if (!length || *length < 0 || *length > 32) {
        return false;
    }
    return isIPv4View(QStringView(text).left(slash));
}

bool isIPv6OrCIDR(const QString& text) {
    const qsizetype slash = text.indexOf(u'/');
    const QStringView address = slash < 0 ? QStringView(text) : QStringView(text).left(slash);
    if (slash >= 0) {
        const QStringView prefix = QStringView(text).mid(slash + 1);
        const std::optional<int> length = parseIPv6PrefixLength(prefix);
        if (!length || QString::number(*length) != prefix)
            return false;
    }
    const std::optional<QString> canonical = canonicalIPv6(address);
    return canonical && *canonical == address;
}

bool containsUnsafeCharacter(const QString& text) {
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate() || isUnsafeCodeUnit(c.unicode())) {
            return true;
        }
    }
    return false;
}

QString refusalReason(const QString& normalized) {
    if (normalized.isEmpty()) {
        return QStringLiteral("没有可用的域名、IP 地址或关键字");
    }
    if (containsUnsafeCharacter(normalized)) {
        return QStringLiteral("含有控制字符或不可见字符");
    }
    bool emptyLabel = false;
    QChar previous;
    for (const QChar c : normalized) {
        if (c == u'"' || c == u'\\' || c == u'#') {
            return QStringLiteral("不能含有 \"、\\ 或 #");
        }
        emptyLabel = emptyLabel || (c == u'.' && previous == u'.');
        previous = c;
    }
    const QString emptyLabelReason = QStringLiteral("域名中有空的一段（如连续的点）");
    if (normalized.startsWith(QLatin1String("kw:"))) {
        // The keyword's filter entry "*k*" is split at dots by the core like a domain.
        return emptyLabel ? emptyLabelReason : QString();
    }
    if (isIPv4OrCIDR(normalized) || isIPv6OrCIDR(normalized)) {
        return {};
    }
    // A ":" or a bracket is what is left of an address that did not parse.
    for (const QChar c : normalized) {
        if (c == u':' || c == u'[' || c == u']') {
            return QStringLiteral("不是有效的 IPv6 地址或网段");
        }
    }
    // A domain: the core refuses a filter entry with an empty label.
    if (emptyLabel || normalized.endsWith(u'.') || normalized.startsWith(u'.')) {
        return emptyLabelReason;
    }
    return {};
}

bool isWritablePattern(const QString& normalized) {
    return !normalized.isEmpty() && refusalReason(normalized).isEmpty();
}

} // namespace RuleParser
