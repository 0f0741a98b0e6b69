#include "Log.h"

#include <QDateTime>

#include <cstdio>

namespace {
bool g_verbose = true;

void write(const char* level, const QString& message) {
    const QByteArray line = QStringLiteral("time=\"%1\" level=%2 msg=\"%3\"\n")
                                .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs),
                                     QLatin1StringView(level), message)
                                .toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}
} // namespace

namespace Log {
void setVerbose(bool verbose) {
    g_verbose = verbose;
}
bool verbose() {
    return g_verbose;
}
void info(const QString& message) {
    write("info", message);
}
void warning(const QString& message) {
    write("warning", message);
}
void error(const QString& message) {
    write("error", message);
}
} // namespace Log
