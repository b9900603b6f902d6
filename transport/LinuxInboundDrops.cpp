#include "transport/LinuxInboundDrops.h"

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace {

// The "Prefix: Name Name ..." / "Prefix: value value ..." line pairs of a
// /proc/net/snmp style file, as prefix -> name -> value.
std::map<std::string, std::map<std::string, uint64_t>> ReadTable(const std::string &path)
{
    std::map<std::string, std::map<std::string, uint64_t>> table;
    std::ifstream in(path);
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        std::istringstream n(names), v(values);
        std::string prefix, valuePrefix;
        n >> prefix;
        v >> valuePrefix;
        if (prefix != valuePrefix)
            break; // not a pair: the format is not what this reader knows
        std::string name;
        uint64_t value = 0;
        while (n >> name && v >> value)
            table[prefix][name] = value;
    }
    return table;
}

} // namespace

IpReceiveCounters ReadIpReceiveCounters(const std::string &root)
{
    IpReceiveCounters counters;
    auto snmp = ReadTable(root + "/proc/net/snmp");
    auto netstat = ReadTable(root + "/proc/net/netstat");
    const auto ip = snmp.find("Ip:");
    if (ip == snmp.end() || !ip->second.count("InReceives") || !ip->second.count("InDelivers"))
        return counters;
    auto get = [](const std::map<std::string, uint64_t> &from, const char *name) {
        const auto found = from.find(name);
        return found == from.end() ? uint64_t{0} : found->second;
    };
    const auto &i = ip->second;
    counters.read = true;
    counters.received = get(i, "InReceives");
    counters.delivered = get(i, "InDelivers");
    counters.forwarded = get(i, "ForwDatagrams");
    // Fragments count one by one as received; the datagram they make counts once as
    // delivered, and those still waiting or given up count nowhere else.
    const uint64_t fragments = get(i, "ReasmReqds");
    const uint64_t reassembled = get(i, "ReasmOKs");
    counters.counted = get(i, "InHdrErrors") + get(i, "InAddrErrors") + get(i, "InUnknownProtos") +
                       get(i, "InDiscards") + (fragments > reassembled ? fragments - reassembled : 0);
    // The reverse-path filter's drops (rp_filter) are counted with TCP's extended
    // counters, though they concern every protocol.
    const auto tcpExt = netstat.find("TcpExt:");
    if (tcpExt != netstat.end())
        counters.counted += get(tcpExt->second, "IPReversePathFilter");
    const auto ext = netstat.find("IpExt:");
    if (ext != netstat.end())
        counters.counted += get(ext->second, "InNoRoutes") + get(ext->second, "InTruncatedPkts") +
                            get(ext->second, "InCsumErrors");
    return counters;
}

uint64_t UncountedDrops(const IpReceiveCounters &before, const IpReceiveCounters &after)
{
    if (!before.read || !after.read || after.received < before.received)
        return 0;
    const uint64_t received = after.received - before.received;
    const uint64_t handled = (after.delivered - before.delivered) + (after.forwarded - before.forwarded) +
                             (after.counted - before.counted);
    return received > handled ? received - handled : 0;
}
