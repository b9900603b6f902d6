#include "protocol/LocalAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/Json.h"

InterfaceListCalls SystemInterfaceList()
{
    return InterfaceListCalls{::getifaddrs, ::freeifaddrs};
}

bool ReadLocalAddresses(Vant::CProtocalJson &result, const InterfaceListCalls &calls)
{
    result.Reset();

    ifaddrs *list = nullptr;
    errno = 0;
    if (calls.get(&list) != 0) {
        const int error = errno;
        if (error == ENOMEM)
            std::printf("Memory allocation error\n");
        else
            std::printf("GetAdaptersInfo failed with error %d\n", error);
        std::fflush(stdout);
        return false;
    }
    if (!list) {
        // Not even loopback: the system has no interface to report.
        std::printf("GetAdaptersInfo sizing failed with error %d\n", ENODATA);
        std::fflush(stdout);
        return false;
    }

    int index = 0;
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
        result.SetDataString(index, "IPAddr", text);
        ++index;
    }
    calls.release(list);
    return true;
}
