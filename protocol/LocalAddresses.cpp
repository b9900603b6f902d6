#include "protocol/LocalAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sys/socket.h>

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
        in_addr_t netmask = 0;
        if (entry->ifa_netmask && entry->ifa_netmask->sa_family == AF_INET) {
            sockaddr_in mask{};
            std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
            netmask = mask.sin_addr.s_addr;
        }
        found.push_back(
            InterfaceAddress{text, InterfaceOfLabel(entry->ifa_name), SubnetBroadcastOf(*entry), netmask});
    }
    calls.release(list);
    error = 0;
    return true;
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
