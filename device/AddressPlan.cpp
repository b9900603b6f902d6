#include "device/AddressPlan.h"

#include <arpa/inet.h>

std::vector<Ipv4> PlanAddresses(const AddressPlanInput &input)
{
    kit::KeyedMap<Ipv4, int> holders;
    for (Ipv4 address : input.listed)
        ++holders[address];
    const Ipv4 network = input.start & input.mask;
    const Ipv4 broadcast = network | ~input.mask;
    // /31 and /32 have no network or broadcast address to keep free.
    const bool reserveEnds = (~input.mask) >= 3;
    kit::KeyedSet<Ipv4> given;

    std::vector<Ipv4> planned(input.devices.size(), 0);
    // 64 bits, so that the walk past 255.255.255.255 ends instead of wrapping.
    uint64_t next = input.start;
    for (size_t i = 0; i < input.devices.size(); ++i) {
        const Ipv4 own = input.devices[i];
        for (; next <= broadcast; ++next) {
            const Ipv4 candidate = static_cast<Ipv4>(next);
            if (reserveEnds && (candidate == network || candidate == broadcast))
                continue;
            if (input.local.count(candidate) || given.count(candidate))
                continue;
            const auto held = holders.find(candidate);
            const int others = (held == holders.end() ? 0 : held->second) - (candidate == own ? 1 : 0);
            if (others > 0)
                continue;
            if (candidate != own && input.answering.count(candidate))
                continue;
            planned[i] = candidate;
            given.insert(candidate);
            ++next;
            break;
        }
        if (next > broadcast && planned[i] == 0)
            break; // the subnet is used up: the rest get none
    }
    return planned;
}

std::vector<Ipv4> PlanAddressesProbed(AddressPlanInput &input, const NeighbourProbe &probe)
{
    kit::KeyedSet<Ipv4> probed;
    std::vector<Ipv4> planned = PlanAddresses(input);
    for (int round = 0; round < kMaxProbeRounds; ++round) {
        std::vector<Ipv4> candidates;
        for (size_t i = 0; i < planned.size(); ++i)
            if (planned[i] != 0 && planned[i] != input.devices[i] && probed.insert(planned[i]).second)
                candidates.push_back(planned[i]);
        if (candidates.empty())
            break;
        bool changed = false;
        for (Ipv4 address : probe(candidates))
            changed = input.answering.insert(address).second || changed;
        if (!changed)
            break;
        planned = PlanAddresses(input);
    }
    return planned;
}
