#pragma once

#include "controller/ControlError.h"

#include <QList>
#include <optional>
#include <sys/types.h>

class ListeningSockets;

// Keeps the core's two local ports to our own core. Before the core starts both must be free
// on 127.0.0.1; afterwards whatever listens there must belong to this user (or to root, which
// runs the TUN core). Another local user listening there first would otherwise receive the
// controller secret or, through the desktop proxy, the user's traffic.
class PortGuard {
public:
    // `sockets` may be null (a system that cannot tell owners): listeners then count as ours.
    PortGuard(const ListeningSockets* sockets, QList<uid_t> ownUids);

    // The uids a core of this user runs as: the user's, and root's for the TUN core.
    static QList<uid_t> coreUids(bool tun);

    // Fails with the first of `ports` that something already listens on at 127.0.0.1.
    [[nodiscard]] static ControlResult ensureFree(const QList<qint64>& ports);

    // Fails with the first of `ports` on which a socket of another user listens.
    [[nodiscard]] ControlResult refuseStrangers(const QList<qint64>& ports) const;
    // Something listens on `port` and all of it is ours.
    [[nodiscard]] bool isOurs(qint64 port) const;

private:
    const ListeningSockets* m_sockets;
    QList<uid_t> m_ownUids;
};
