#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// One address of one interface, as getifaddrs lists it.
struct InterfaceAddress {
    QString name;
    unsigned int flags = 0; // IFF_* flags
    int family = 0;         // AF_INET, AF_INET6, ...
    QString address;        // numeric text; empty when the entry has none
};

using InterfaceLister = std::function<QList<InterfaceAddress>()>;

// The system's list (getifaddrs, getnameinfo with NI_NUMERICHOST).
QList<InterfaceAddress> systemInterfaceAddresses();
// Interface-name prefixes that count as LAN: "en" on macOS; "en", "eth", "wl" on Linux.
QStringList lanInterfacePrefixes();
// The first up, running, non-loopback IPv4 address on a LAN interface.
std::optional<QString> firstLanIPv4(const QList<InterfaceAddress>& addresses,
                                    const QStringList& prefixes);
