#pragma once
// New addresses for many devices: from a start address upward, in the order the
// devices are given, each device the lowest address above the previous device's that
// nobody else uses.
//
// An address is not given to a device when it is
//  - outside the start address's subnet (under the new mask), or that subnet's network
//    or broadcast address (masks up to /30);
//  - an address of this machine;
//  - the current address of any other listed device (whether or not it is being
//    moved too: until it has moved, the address is its);
//  - already given to an earlier device of this plan;
//  - answering on the link (`answering`, from the neighbour probe), unless it is the
//    device's own current address, which is then the device answering for itself.
// A device's own current address is kept when the walk reaches it and no other listed
// device shares it, so planning again after a successful run plans no change.
// The planner only computes; it is fast enough to run again on every edit (linear in
// the devices and the addresses walked over).
#include <QString>

#include <functional>

#include <cstdint>
#include <vector>

#include "device/Ipv4Text.h"
#include "kit/KeyedHash.h"


struct AddressPlanInput {
    Ipv4 start = 0;
    Ipv4 mask = 0;
    // The current addresses of the devices to plan, in the order they get addresses
    // (0 when a device reports no usable address).
    std::vector<Ipv4> devices;
    // The current addresses of every listed device, the planned ones included, each
    // as often as devices report it.
    std::vector<Ipv4> listed;
    kit::KeyedSet<Ipv4> local;
    kit::KeyedSet<Ipv4> answering;
};

// The new address of each device, in input order; 0 where the subnet has no free
// address left.
std::vector<Ipv4> PlanAddresses(const AddressPlanInput &input);

// Finds which of the given candidates answer on the link (transport/LinuxNeighbourProbe.h
// in the programs, a stand-in in tests).
using NeighbourProbe = std::function<kit::KeyedSet<Ipv4>(const std::vector<Ipv4> &candidates)>;

// Rounds of probing one plan may take. Each round probes the addresses the plan
// newly chose and plans again without those that answered; a round costs the probe's
// wait. Eight rounds find a free run through a subnet where answering hosts keep
// turning up; past them the plan stands on what is known, and the addresses it
// chose last were not probed (the checks against listed devices and this machine
// still hold, and verification shows whether the device took the address).
constexpr int kMaxProbeRounds = 8;

// PlanAddresses with the answering hosts found by `probe`, added to
// input.answering (which holds every answering address found when it returns).
// A device's own current address is never probed: it answers for itself.
std::vector<Ipv4> PlanAddressesProbed(AddressPlanInput &input, const NeighbourProbe &probe);
