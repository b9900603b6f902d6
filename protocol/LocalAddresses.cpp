#include "protocol/LocalAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/Json.h"
#include "transport/InterfaceEntry.h"

InterfaceListCalls SystemInterfaceList()
{
    return InterfaceListCalls{::getifaddrs, ::freeifaddrs};
}

bool ReadInterfaceAddresses(std::vector<InterfaceAddress> &found, const InterfaceListCalls &calls, int &error)
{
    found.clear();
    ifaddrs *list = nullptr;
    errno = 0;
    if (calls.get(&list) != 0) {
        error = errno;
        return false;
    }
    if (!list) {
        // Not even loopback: the system has no interface to report.
        error = ENODATA;
        return false;
    }
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        char text[INET_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
            continue;
        // An interface without an assigned address may report 0.0.0.0.
        if (std::strcmp(text, "0.0.0.0") == 0)
            continue;
        InterfaceAddress item{text, InterfaceOfLabel(entry->ifa_name), SubnetBroadcastOf(*entry)};
        item.index = if_nametoindex(item.device.c_str());
        item.flags = entry->ifa_flags;
        if (entry->ifa_netmask && entry->ifa_netmask->sa_family == AF_INET) {
            sockaddr_in mask{};
            std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
            item.netmask = mask.sin_addr.s_addr;
        }
        found.push_back(std::move(item));
    }
    calls.release(list);
    error = 0;
    return true;
}

const char *UnsearchedReason(const InterfaceAddress &address)
{
    if (address.index == 0)
        return "interface gone";
    if ((address.flags & IFF_LOOPBACK) != 0)
        return "loopback";
    if ((address.flags & IFF_UP) == 0)
        return "interface down";
    if ((address.flags & IFF_RUNNING) == 0)
        return "no link";
    if ((address.flags & (IFF_BROADCAST | IFF_POINTOPOINT)) == 0)
        return "no broadcast";
    return nullptr;
}

std::vector<SearchTarget> SearchTargets(const std::vector<InterfaceAddress> &searched)
{
    std::vector<SearchTarget> targets;
    // Quadratic in the number of addresses, which a host has a handful of.
    for (const InterfaceAddress &entry : searched) {
        SearchTarget *target = nullptr;
        for (SearchTarget &known : targets) {
            if (known.address == entry.address && known.index == entry.index)
                target = &known;
        }
        if (!target) {
            targets.push_back(SearchTarget{entry.address, entry.device, entry.index, {}, entry.netmask});
            target = &targets.back();
            // A point-to-point link has no broadcast: its peer answers by unicast.
            if ((entry.flags & IFF_POINTOPOINT) == 0)
                target->broadcasts.push_back(htonl(INADDR_BROADCAST));
        }
        const bool listed = std::find(target->broadcasts.begin(), target->broadcasts.end(), entry.broadcast) !=
                            target->broadcasts.end();
        if ((entry.flags & IFF_POINTOPOINT) == 0 && entry.broadcast != 0 && !listed)
            target->broadcasts.push_back(entry.broadcast);
    }
    return targets;
}

void PrintInterfaceListFailure(int error, std::FILE *out)
{
    if (error == ENOMEM)
        std::fprintf(out, "Memory allocation error\n");
    else if (error == ENODATA)
        std::fprintf(out, "GetAdaptersInfo sizing failed with error %d\n", ENODATA);
    else
        std::fprintf(out, "GetAdaptersInfo failed with error %d\n", error);
    std::fflush(out);
}

bool ReadLocalAddresses(Vant::CProtocalJson &result, const InterfaceListCalls &calls)
{
    result.Reset();
    std::vector<InterfaceAddress> found;
    int error = 0;
    if (!ReadInterfaceAddresses(found, calls, error)) {
        PrintInterfaceListFailure(error);
        return false;
    }
    for (size_t i = 0; i < found.size(); ++i)
        result.SetDataString(static_cast<int>(i), "IPAddr", found[i].address.c_str());
    return true;
}
