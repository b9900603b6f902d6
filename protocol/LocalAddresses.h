#pragma once
// Reading the host's IPv4 addresses from the system's interface list.
//
// The list comes from getifaddrs; the two calls are passed in so that tests can hand
// in a list of their own and the failures of the system call.
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

// Resets `result`, then records every IPv4 address of the list in order as
// data[i]."IPAddr" (dotted text), skipping "0.0.0.0" and entries without an address.
// Failures print one line on the standard output and answer false:
//   the list cannot be read for lack of memory:  "Memory allocation error"
//   it cannot be read for another reason:        "GetAdaptersInfo failed with error <errno>"
//   the system lists no interface at all:        "GetAdaptersInfo sizing failed with error <ENODATA>"
bool ReadLocalAddresses(Vant::CProtocalJson &result, const InterfaceListCalls &calls);
