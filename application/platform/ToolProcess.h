#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

// Blocking runs of the desktop's command-line tools, without a shell. The callers run one tool
// at a time on the main thread, as the settings they change must be applied in order.
namespace ToolProcess {

// How long one tool may run before it (and whatever it started) is killed: a wedged session
// bus must not hang start-up or quit. 5 s unless changed.
std::chrono::milliseconds timeout();
void setTimeout(std::chrono::milliseconds limit);

// Runs the tool with its output and error shown where the application's go; returns the exit
// code, or none when it could not be started, crashed or ran out of time.
std::optional<int> run(const QString& program, const QStringList& arguments);

// Runs the tool and returns its standard output (error output stays the application's); none
// when it could not be started or ran out of time.
std::optional<QByteArray> output(const QString& program, const QStringList& arguments);

// The first executable file named `name` in the folders of `searchPath`; empty when none.
QString find(const QString& name, const QStringList& searchPath);

// The folders of $PATH.
QStringList environmentSearchPath();

} // namespace ToolProcess
