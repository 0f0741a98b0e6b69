#include "config/RuleParser.h"

#include <algorithm>
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

} // namespace

// Works on a view of the trimmed, lower-cased text and copies once at the end: patterns are
// short, and the configuration text normalizes every stored rule again.
QString normalizePattern(const QString& input) {
    // 1.-2. Trim, then full lower-casing.
    const QString lowered = input.trimmed().toLower();
    QStringView text(lowered);
    // 3. Drop any scheme.
    for (qsizetype i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == u':' && text[i + 1] == u'/' && text[i + 2] == u'/') {
            text = text.mid(i + 3);
            break;
        }
    }
    // 4. Drop a path, unless what precedes it is an address: then it is a network.
    const qsizetype slash = indexOfChar(text, u'/');
    if (slash >= 0 && !isIPv4View(text.left(slash))) {
        text = text.left(slash);
    }
    // 5. Drop a port; keywords may hold ":".
    if (!text.startsWith(QLatin1String("kw:"))) {
        const qsizetype colon = indexOfChar(text, u':');
        if (colon >= 0) {
            text = text.left(colon);
        }
    }
    // 6.-7. Leading wildcards and dots.
    while (text.startsWith(QLatin1String("*."))) {
        text = text.mid(2);
    }
    while (text.startsWith(u'.')) {
        text = text.mid(1);
    }
    // 8.-9. Commas and plain spaces anywhere.
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

bool isWritablePattern(const QString& normalized) {
    if (normalized.isEmpty() || containsUnsafeCharacter(normalized)) {
        return false;
    }
    bool emptyLabel = false;
    QChar previous;
    for (const QChar c : normalized) {
        if (c == u'"' || c == u'\\' || c == u'#') {
            return false;
        }
        emptyLabel = emptyLabel || (c == u'.' && previous == u'.');
        previous = c;
    }
    if (normalized.startsWith(QLatin1String("kw:"))) {
        // The keyword's filter entry "*k*" is split at dots by the core like a domain.
        return !emptyLabel;
    }
    if (isIPv4OrCIDR(normalized)) {
        return true;
    }
    // A domain: the core refuses a filter entry with an empty label.
    return !emptyLabel && !normalized.endsWith(u'.') && !normalized.startsWith(u'.');
}

} // namespace RuleParser
