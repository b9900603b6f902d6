#pragma once
// Telling the operator that this machine's firewall hides the devices.
//
// With a default-deny inbound policy (ufw's default, firewalld's stricter zones, an
// nftables "policy drop" with only established traffic let in) the devices' answers
// to port 19009 are dropped: an answer to a broadcast matches no connection the
// firewall knows. The search then hears nothing on a link full of devices. What
// shows it: the kernel received packets during the search that no program got and
// that it dropped for no reason of its own (transport/LinuxInboundDrops.h). A link
// that heard no answer while that happened gets the hint, with the fix.
//
// The evidence is counted machine-wide (the counters are not kept per interface), so
// the hint names the searched links that heard nothing; on a LAN without a firewall
// nothing is dropped that way and nothing is said.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "transport/LinuxInboundDrops.h"

class FirewallWatch {
public:
    // Starts counting now.
    void Begin() { m_begin = ReadIpReceiveCounters(); }
    // Packets dropped uncounted since Begin (0 when the counters cannot be read).
    uint64_t Dropped() const { return UncountedDrops(m_begin, ReadIpReceiveCounters()); }

private:
    IpReceiveCounters m_begin;
};

// The links of `searched` (interface names, each once) with no answer in `answers`
// (answers by interface name), in the order of `searched`.
std::vector<std::string> SilentLinks(const std::vector<std::string> &searched,
                                     const std::map<std::string, uint64_t> &answers);

// The one-line hint for standard error (without the program name): which links heard
// nothing, what was dropped, and the commands that open the port.
std::string FirewallHintLine(const std::vector<std::string> &silentLinks, uint64_t dropped);
// The commands that let the answers in (ufw, firewalld, nftables), on one line.
std::string FirewallFixText();
