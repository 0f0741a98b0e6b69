#pragma once

#include <QString>

// Log lines go to standard output, flushed at once because the supervisor redirects it to a file.
namespace Log {
void setVerbose(bool verbose); // per-connection lines, for log levels info and debug
bool verbose();
void info(const QString& message);
void warning(const QString& message);
void error(const QString& message);
} // namespace Log
