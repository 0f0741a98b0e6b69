#pragma once

#include <QString>

// Short texts for byte counts and rates; "." as decimal separator whatever the locale.
namespace ByteFormatter {
QString decimalStorage(qint64 bytes); // powers of 1000, up to TB
QString speed(qint64 bytesPerSecond); // powers of 1024, up to MB/s
} // namespace ByteFormatter
