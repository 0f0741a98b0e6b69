#include "monitoring/ByteFormatter.h"

#include <algorithm>
#include <charconv>

namespace {

// printf's "%.Nf" with "." as separator whatever the locale (std::to_chars ignores it).
QString fixed(double value, int decimals) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

} // namespace

namespace ByteFormatter {

QString decimalStorage(qint64 bytes) {
    const qint64 v = std::max<qint64>(bytes, 0);
    const double d = static_cast<double>(v);
    if (v >= 1'000'000'000'000) {
        return fixed(d / 1e12, 2) + QLatin1String(" TB");
    }
    if (v >= 1'000'000'000) {
        return fixed(d / 1e9, 2) + QLatin1String(" GB");
    }
    if (v >= 1'000'000) {
        return fixed(d / 1e6, 1) + QLatin1String(" MB");
    }
    if (v >= 1'000) {
        return fixed(d / 1000.0, 0) + QLatin1String(" KB");
    }
    return QString::number(v) + QLatin1String(" B");
}

QString speed(qint64 bytesPerSecond) {
    const qint64 v = std::max<qint64>(bytesPerSecond, 0);
    const double d = static_cast<double>(v);
    if (v >= 1'048'576) {
        return fixed(d / 1'048'576.0, 1) + QLatin1String(" MB/s");
    }
    if (v >= 1'024) {
        return fixed(d / 1'024.0, 0) + QLatin1String(" KB/s");
    }
    return QString::number(v) + QLatin1String(" B/s");
}

} // namespace ByteFormatter
