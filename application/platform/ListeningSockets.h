#pragma once

#include <QList>
#include <QString>
#include <optional>
#include <sys/types.h>

// Who listens on a local TCP port. Used to make sure that the program answering on the core's
// ports is the user's own before it is trusted with the controller secret or the desktop proxy.
class ListeningSockets {
public:
    virtual ~ListeningSockets() = default;
    // The user ids owning the sockets that listen on `port` and would accept a connection to
    // 127.0.0.1 (bound to 127.0.0.1, to the IPv4 or IPv6 wildcard, or to ::ffff:127.0.0.1);
    // empty when none does; nothing when the system cannot tell.
    virtual std::optional<QList<uid_t>> loopbackListenerOwners(quint16 port) const = 0;
};
