#include "platform/NetworkInterfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

QList<InterfaceAddress> systemInterfaceAddresses() {
    QList<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        InterfaceAddress item;
        item.name = QString::fromLocal8Bit(entry->ifa_name);
        item.flags = entry->ifa_flags;
        if (const sockaddr* address = entry->ifa_addr) {
            item.family = address->sa_family;
            socklen_t length = 0;
            if (item.family == AF_INET)
                length = sizeof(sockaddr_in);
            else if (item.family == AF_INET6)
                length = sizeof(sockaddr_in6);
            if (length != 0) {
                char host[NI_MAXHOST] = {}; // stays empty when getnameinfo fails
                getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
                item.address = QString::fromLatin1(host);
            }
        }
        result.append(item);
    }
    freeifaddrs(list);
    return result;
}

QStringList lanInterfacePrefixes() {
#ifdef Q_OS_MACOS
    return {QStringLiteral("en")};
#else
    // Linux names wired and wireless interfaces en*/eth* and wl*.
    return {QStringLiteral("en"), QStringLiteral("eth"), QStringLiteral("wl")};
#endif
}

std::optional<QString> firstLanIPv4(const QList<InterfaceAddress>& addresses,
                                    const QStringList& prefixes) {
    constexpr unsigned int mask = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    constexpr unsigned int wanted = IFF_UP | IFF_RUNNING;
    for (const InterfaceAddress& entry : addresses) {
        if (entry.address.isEmpty() || (entry.flags & mask) != wanted || entry.family != AF_INET)
            continue;
        for (const QString& prefix : prefixes) {
            if (entry.name.startsWith(prefix))
                return entry.address;
        }
    }
    return std::nullopt;
}
