#pragma once
// How one IPv4 entry of the system's interface list (getifaddrs) is read by the
// search: which interface carries the address, and the subnet's broadcast address
// that answers may be sent to.
#include <netinet/in.h>

#include <string>

struct ifaddrs;

// The interface an entry belongs to. An address added with a label ("ip addr add ...
// label eth0:1") is listed under the label, which names no interface: the socket
// calls that take an interface name (SO_BINDTODEVICE) refuse it. Interface names
// never contain ':', so the part before it is the interface itself.
std::string InterfaceOfLabel(const char *label);

// The subnet-directed broadcast address of an IPv4 entry in network byte order, or 0
// when the subnet has none. The configured broadcast address (ifa_broadaddr) is taken
// when one is set; without it getifaddrs repeats the address there, but the kernel
// still treats the last address of a subnet of /30 or wider as its broadcast address,
// so that one is taken from the mask. A point-to-point link's ifa_broadaddr is the
// peer's address, never a broadcast address.
in_addr_t SubnetBroadcastOf(const ifaddrs &entry);
