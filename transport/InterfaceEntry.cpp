#include "transport/InterfaceEntry.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>

namespace {

bool Ipv4Of(const sockaddr *address, in_addr_t &value)
{
    if (address == nullptr || address->sa_family != AF_INET)
        return false;
    sockaddr_in v4{};
    std::memcpy(&v4, address, sizeof v4);
    value = v4.sin_addr.s_addr;
    return true;
}

} // namespace

std::string InterfaceOfLabel(const char *label)
{
    if (label == nullptr)
        return std::string();
    const char *colon = std::strchr(label, ':');
    return colon != nullptr ? std::string(label, static_cast<size_t>(colon - label)) : std::string(label);
}

in_addr_t SubnetBroadcastOf(const ifaddrs &entry)
{
    in_addr_t address = 0;
    if (!Ipv4Of(entry.ifa_addr, address))
        return 0;
    in_addr_t configured = 0;
    if ((entry.ifa_flags & IFF_BROADCAST) != 0 && (entry.ifa_flags & IFF_POINTOPOINT) == 0 &&
        Ipv4Of(entry.ifa_broadaddr, configured) && configured != 0 && configured != address &&
        configured != htonl(INADDR_BROADCAST))
        return configured;
    in_addr_t mask = 0;
    if (!Ipv4Of(entry.ifa_netmask, mask))
        return 0;
    // /31 and /32 have no broadcast address.
    if (ntohl(~mask) < 3)
        return 0;
    const in_addr_t broadcast = (address & mask) | ~mask;
    return broadcast != address ? broadcast : 0;
}
