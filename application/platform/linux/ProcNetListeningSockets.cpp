#include "platform/linux/ProcNetListeningSockets.h"

#include <QFile>
#include <QHostAddress>
#include <QtEndian>

#include <cstring>

namespace {

constexpr char kListenState[] = "0A";

// The kernel prints an address as 32-bit words in the machine's own byte order: the bytes of
// each parsed word, as they lie in memory, are the address's bytes in network order.
std::optional<QHostAddress> parseAddress(const QByteArray& hex) {
    if (hex.size() != 8 && hex.size() != 32)
        return std::nullopt;
    quint8 bytes[16] = {};
    for (qsizetype word = 0; word < hex.size() / 8; ++word) {
        bool ok = false;
        const quint32 value = hex.mid(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        std::memcpy(bytes + word * 4, &value, 4);
    }
    if (hex.size() == 8) {
        quint32 networkOrder = 0;
        std::memcpy(&networkOrder, bytes, 4);
        return QHostAddress(qFromBigEndian(networkOrder));
    }
    return QHostAddress(bytes);
}

bool reachesLoopback(const QHostAddress& address) {
    static const QHostAddress loopback(QHostAddress::LocalHost);
    static const QHostAddress anyIPv4(QHostAddress::AnyIPv4);
    if (address.protocol() == QHostAddress::IPv6Protocol) {
        if (address == QHostAddress(QHostAddress::AnyIPv6))
            return true; // dual-stack unless the socket is IPv6-only, which the table hides
        bool mapped = false;
        const QHostAddress v4(address.toIPv4Address(&mapped));
        return mapped && (v4 == loopback || v4 == anyIPv4);
    }
    return address == loopback || address == anyIPv4;
}

} // namespace

ProcNetListeningSockets::ProcNetListeningSockets(QString procNetDir)
    : m_procNetDir(std::move(procNetDir)) {}

QList<uid_t> ProcNetListeningSockets::parseTable(const QByteArray& table, quint16 port) {
    QList<uid_t> owners;
    const QList<QByteArray> lines = table.split('\n');
    // Columns: slot, local address:port, remote address:port, state, queues, timer,
    // retransmits, uid, ...; the first line holds the headings.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() < 8 || fields.at(3) != kListenState)
            continue;
        const QList<QByteArray> local = fields.at(1).split(':');
        if (local.size() != 2)
            continue;
        bool portOk = false;
        bool uidOk = false;
        const uint localPort = local.at(1).toUInt(&portOk, 16);
        const uint uid = fields.at(7).toUInt(&uidOk);
        if (!portOk || !uidOk || localPort != port)
            continue;
        const std::optional<QHostAddress> address = parseAddress(local.at(0));
        if (address && reachesLoopback(*address))
            owners.append(uid_t(uid));
    }
    return owners;
}

std::optional<QList<uid_t>> ProcNetListeningSockets::loopbackListenerOwners(quint16 port) const {
    QList<uid_t> owners;
    bool anyRead = false;
    for (const char* name : {"tcp", "tcp6"}) {
        QFile file(m_procNetDir + QLatin1Char('/') + QLatin1String(name));
        // A kernel without IPv6 has no tcp6: the other table still tells.
        if (!file.open(QIODevice::ReadOnly))
            continue;
        anyRead = true;
        owners += parseTable(file.readAll(), port);
    }
    if (!anyRead)
        return std::nullopt;
    return owners;
}
