#include "controller/PortGuard.h"

#include "platform/ListeningSockets.h"

#include <QTcpServer>
#include <unistd.h>

PortGuard::PortGuard(const ListeningSockets* sockets, QList<uid_t> ownUids)
    : m_sockets(sockets), m_ownUids(std::move(ownUids)) {}

QList<uid_t> PortGuard::coreUids(bool tun) {
    QList<uid_t> uids{::getuid()};
    if (tun && ::getuid() != 0)
        uids.append(0);
    return uids;
}

ControlResult PortGuard::ensureFree(const QList<qint64>& ports) {
    for (const qint64 port : ports) {
        // Binding tells best: a listener on 127.0.0.1 or on a wildcard address refuses it.
        // (Address reuse is on, so connections of an earlier core waiting out their close do
        // not count.)
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, quint16(port)))
            return ControlError::portOccupied(port);
    }
    return std::nullopt;
}

ControlResult PortGuard::refuseStrangers(const QList<qint64>& ports) const {
    if (!m_sockets)
        return std::nullopt;
    for (const qint64 port : ports) {
        const std::optional<QList<uid_t>> owners = m_sockets->loopbackListenerOwners(quint16(port));
        if (!owners)
            continue;
        for (const uid_t owner : *owners) {
            if (!m_ownUids.contains(owner))
                return ControlError::portOccupied(port);
        }
    }
    return std::nullopt;
}

bool PortGuard::isOurs(qint64 port) const {
    if (!m_sockets)
        return true;
    const std::optional<QList<uid_t>> owners = m_sockets->loopbackListenerOwners(quint16(port));
    if (!owners)
        return true;
    if (owners->isEmpty())
        return false;
    for (const uid_t owner : *owners) {
        if (!m_ownUids.contains(owner))
            return false;
    }
    return true;
}
