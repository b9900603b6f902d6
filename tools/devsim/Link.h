#pragma once
// One device per network namespace (--link): the simulator plays a box of its own on
// a switched LAN. The device's MAC address is the link's hardware address, and a new
// address is taken as a real device takes it: added to the link, the old one removed
// (rtnetlink; the sandbox's mapped root holds CAP_NET_ADMIN over its namespace).
#include <cstdint>
#include <string>

namespace devsim {

struct LinkInfo {
    int index = 0;
    std::string mac; // "02:77:B0:00:00:01"
};

// Looks the link up by name in this namespace; false and `error` when it is missing.
bool ReadLink(const std::string &name, LinkInfo &link, std::string &error);

// Adds (or removes) `address` with `prefixLength` on link `index` (host byte order).
// Returns "" or the reason.
std::string ChangeLinkAddress(int index, uint32_t address, int prefixLength, bool add);

// The prefix length of a dotted netmask ("255.255.255.0" -> 24), or -1 when the text is
// not a contiguous mask.
int PrefixLength(const std::string &mask);

} // namespace devsim
