#pragma once
// Packets this machine received and then dropped before any program got them: the
// mark a default-deny inbound firewall leaves.
//
// The kernel counts every IPv4 packet it receives (InReceives), every one it hands
// to a transport protocol (InDelivers: UDP counts it there even when no socket has
// the port) and every one it forwards, and it counts each of its own reasons to drop
// one (header, address and protocol errors, discards, no route, truncation, checksum,
// the reverse-path filter, fragments not yet reassembled). A netfilter input rule that drops a packet counts
// nowhere: what is received and neither delivered, forwarded nor dropped for a
// counted reason was dropped by the firewall (or, rarely, is a multicast for a group
// nobody joined). The counters belong to the network namespace and are readable by
// any user (/proc/net/snmp, /proc/net/netstat).
#include <cstdint>
#include <string>

struct IpReceiveCounters {
    bool read = false; // false when the files could not be read
    uint64_t received = 0;
    uint64_t delivered = 0;
    uint64_t forwarded = 0;
    uint64_t counted = 0; // dropped for a reason the kernel counts
};

// The counters now; `root` prefixes the two paths (for tests).
IpReceiveCounters ReadIpReceiveCounters(const std::string &root = std::string());

// Packets received between `before` and `after` that no program got and that the
// kernel dropped for no reason of its own (0 when either reading failed).
uint64_t UncountedDrops(const IpReceiveCounters &before, const IpReceiveCounters &after);
