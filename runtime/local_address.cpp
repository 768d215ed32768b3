#include "runtime/local_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace yf {

std::optional<QString> chooseLocalAddress(const ifaddrs *interfaces)
{
    for (const ifaddrs *entry = interfaces; entry; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto *address = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
            return QString::fromLatin1(text);
    }
    return std::nullopt;
}

std::optional<QString> networkAddress()
{
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return std::nullopt;
    std::optional<QString> address = chooseLocalAddress(interfaces);
    ::freeifaddrs(interfaces);
    return address;
}

QString localAddress()
{
    return networkAddress().value_or(QStringLiteral("127.0.0.1"));
}

} // namespace yf
