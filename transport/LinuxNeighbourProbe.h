#pragma once
// Which addresses answer on the link, found without privileges: one empty UDP datagram
// is sent on-link to each candidate (IP_PKTINFO naming the interface, MSG_DONTROUTE,
// so the kernel resolves the candidate by ARP on that link whatever the routes say),
// and the kernel's neighbour table is then read through rtnetlink (RTM_GETNEIGH).
// A candidate whose entry on that interface is reachable, stale, delayed, being probed
// or permanent is in use; one with no entry, an incomplete one or a failed one is
// taken as free. Linux only; nothing here needs a capability.
//
// The datagram goes to the discard port (9): a host that holds the address drops it,
// and only its ARP answer matters.
#include <cstdint>
#include <vector>

#include "kit/KeyedHash.h"

// How long the probe waits for ARP answers after its datagrams are sent. A host on
// the LAN answers ARP within milliseconds; slow embedded stacks behind busy switches
// within a few hundred. The kernel itself repeats an unanswered request after one
// second, so waiting longer would mostly wait for its second try.
constexpr int kNeighbourProbeWaitMs = 1000;
// Candidates probed at one time. Each unresolved candidate is an entry in the
// kernel's neighbour table, whose default hard limit (gc_thresh3) is 1024 for the
// whole machine; a quarter of it leaves the entries of the machine's real traffic
// alone. More candidates are probed in rounds of this many.
constexpr int kMaxProbesInFlight = 256;
// How often the neighbour table is read while waiting: once every candidate has a
// settled state the wait ends early.
constexpr int kNeighbourPollMs = 50;

// An interface to probe through, with an address of this machine on it (the
// datagram's source; host byte order).
struct ProbeInterface {
    uint32_t address = 0;
    int ifindex = 0;
};

// The candidates (host byte order) that answer on the link of any of `via`'s
// interfaces (each interface probed once, from its first address given).
kit::KeyedSet<uint32_t> ProbeNeighbours(const std::vector<uint32_t> &candidates,
                                             const std::vector<ProbeInterface> &via,
                                             int waitMs = kNeighbourProbeWaitMs);

// The kernel's IPv4 neighbour entry for `address` on interface `ifindex`: its state
// (NUD_*) and MAC (all zero when it holds none). False when there is no such entry or
// the table cannot be read.
bool ReadNeighbourEntry(uint32_t address, int ifindex, uint16_t &state, unsigned char mac[6]);
// One empty datagram from socket `fd` to the discard port of `candidate`, on-link
// through `via` (its address as the source): the kernel resolves the candidate by ARP.
void SendNeighbourProbe(int fd, uint32_t candidate, const ProbeInterface &via);
