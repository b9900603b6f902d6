#pragma once
// Reading the host's IPv4 addresses from the system's interface list.
//
// The list comes from getifaddrs; the two calls are passed in so that tests can hand
// in a list of their own and the failures of the system call.
#include <netinet/in.h>

#include <cstdio>
#include <string>
#include <vector>

struct ifaddrs;

namespace Vant {
class CProtocalJson;
}

struct InterfaceListCalls {
    int (*get)(ifaddrs **list);
    void (*release)(ifaddrs *list);
};

// getifaddrs and freeifaddrs.
InterfaceListCalls SystemInterfaceList();

// One IPv4 address of the list, with what a searcher on it depends on.
struct InterfaceAddress {
    std::string address;     // dotted text
    std::string device;      // the interface carrying it, never an address label
    in_addr_t broadcast = 0; // its subnet's broadcast address (network byte order), 0: none
    in_addr_t netmask = 0;   // its subnet mask (network byte order), 0: none reported

    bool operator==(const InterfaceAddress &other) const
    {
        return address == other.address && device == other.device && broadcast == other.broadcast &&
               netmask == other.netmask;
    }
    bool operator!=(const InterfaceAddress &other) const { return !(*this == other); }
};

// Every IPv4 address of the list, in the list's order: entries without an address
// and "0.0.0.0" skipped, loopback and duplicates kept. False when the list cannot be
// read, with the reason in `error` (an errno value; ENODATA: the system lists no
// interface at all). Prints nothing.
bool ReadInterfaceAddresses(std::vector<InterfaceAddress> &found, const InterfaceListCalls &calls, int &error);

// Prints the line ReadLocalAddresses prints for a failure of ReadInterfaceAddresses,
// to `out` (the standard output unless a caller's output must stay clean data).
void PrintInterfaceListFailure(int error, std::FILE *out = stdout);

// Resets `result`, then records every address of ReadInterfaceAddresses in order as
// data[i]."IPAddr" (dotted text). Failures print one line on the standard output and
// answer false:
//   the list cannot be read for lack of memory:  "Memory allocation error"
//   it cannot be read for another reason:        "GetAdaptersInfo failed with error <errno>"
//   the system lists no interface at all:        "GetAdaptersInfo sizing failed with error <ENODATA>"
bool ReadLocalAddresses(Vant::CProtocalJson &result, const InterfaceListCalls &calls);
