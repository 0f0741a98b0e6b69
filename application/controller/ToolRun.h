#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <qcoro/qcorotask.h>

// Runs a tool without blocking: the caller's event loop keeps running (a password dialog can
// stay open for as long as the user likes). The process is a child of `owner`; its output and
// error go where the application's do. The exit code, or none when the tool could not start,
// crashed, or `owner` went away meanwhile.
QCoro::Task<std::optional<int>> runToolAsync(QObject* owner, QString program,
                                             QStringList arguments);
