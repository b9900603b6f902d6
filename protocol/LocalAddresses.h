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

// One IPv4 address of the list, with what a searcher on it depends on. Its identity
// is the address, the interface (name and index), the broadcast address and the
// mask: an interface deleted and re-created under the same name has a new index, so
// its addresses count as new.
struct InterfaceAddress {
    std::string address;     // dotted text
    std::string device;      // the interface carrying it, never an address label
    in_addr_t broadcast = 0; // its subnet's broadcast address (network byte order), 0: none
    unsigned index = 0;      // the interface's index (0: it had gone when the list was read)
    unsigned flags = 0;      // the interface's IFF_* flags when the list was read
    in_addr_t netmask = 0;   // its subnet mask (network byte order), 0: none reported

    bool operator==(const InterfaceAddress &other) const
    {
        return address == other.address && device == other.device && broadcast == other.broadcast &&
               index == other.index && netmask == other.netmask;
    }
    bool operator!=(const InterfaceAddress &other) const { return !(*this == other); }
};

// Why the search leaves an address out, or null when it searches it. Searched are
// the addresses of interfaces that are up and running, not loopback, and able to
// broadcast or point-to-point (those are searched by their unicast socket only):
//   "interface down"      the interface is administratively down (not IFF_UP)
//   "no link"             up, but without carrier (not IFF_RUNNING)
//   "loopback"            the loopback interface
//   "no broadcast"        neither broadcast nor point-to-point capable
//   "interface gone"      it vanished while the list was read
// The addresses left out are read again at every rescan: an interface that comes up
// is searched within one period.
const char *UnsearchedReason(const InterfaceAddress &address);

// What one searcher covers: an address on one interface, with the broadcast
// addresses its answers may be sent to there (255.255.255.255 first, then the
// subnet broadcast address of each prefix the address has on that interface, in
// list order; none on a point-to-point link).
struct SearchTarget {
    std::string address;
    std::string device;
    unsigned index = 0;
    std::vector<in_addr_t> broadcasts;
    in_addr_t netmask = 0; // the mask of the address's first prefix there, 0: none

    bool operator==(const SearchTarget &other) const
    {
        return address == other.address && device == other.device && index == other.index &&
               broadcasts == other.broadcasts;
    }
    bool operator!=(const SearchTarget &other) const { return !(*this == other); }
};

// The targets of a list of searched addresses: one per (address, interface index),
// in the order of their first entry. An address listed twice on one interface (two
// prefixes) is one target with both subnet broadcast addresses: two sockets cannot
// share its port there. The same address on two interfaces is two targets.
std::vector<SearchTarget> SearchTargets(const std::vector<InterfaceAddress> &searched);

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
