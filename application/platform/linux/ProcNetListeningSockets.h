#pragma once

#include "platform/ListeningSockets.h"

#include <QByteArray>

// Linux: reads the kernel's socket tables, "tcp" and "tcp6" in `procNetDir`.
class ProcNetListeningSockets : public ListeningSockets {
public:
    explicit ProcNetListeningSockets(QString procNetDir = QStringLiteral("/proc/net"));
    std::optional<QList<uid_t>> loopbackListenerOwners(quint16 port) const override;

    // The owners of the loopback-reaching listeners on `port` in one table's text.
    static QList<uid_t> parseTable(const QByteArray& table, quint16 port);

private:
    QString m_procNetDir;
};
