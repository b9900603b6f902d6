#pragma once
// Which new network settings make sense for a device, checked before they are sent.
//
// The dotted-text check (device/Ipv4Text.h) only asks whether a field looks like an
// address. These rules ask whether the address can work: a device given 0.0.0.0, a
// loopback or multicast address, its subnet's network or broadcast address, or the
// address of the workstation itself drops off the network or takes another host's
// place; a mask with holes or no bits makes no subnet; a gateway outside the subnet
// cannot be reached. brenu-search refuses such settings unless forced; batch work can
// apply the same rules. The settings dialog keeps its own, looser check.
#include <QString>

#include <vector>

#include "device/DeviceList.h"
#include "device/DeviceRequests.h"

enum class SettingProblem {
    Unspecified,      // 0.0.0.0
    Loopback,         // 127.0.0.0/8
    Multicast,        // 224.0.0.0/4 and the reserved addresses above it
    LimitedBroadcast, // 255.255.255.255
    NetworkAddress,   // the network address of the new subnet
    SubnetBroadcast,  // the broadcast address of the new subnet
    LocalAddress,     // an address of this machine
    BadMask,          // a mask whose one bits are not contiguous, or none at all
    GatewayOutside,   // a gateway outside the new subnet
};

struct SettingIssue {
    AddressField field = AddressField::None;
    SettingProblem problem = SettingProblem::Unspecified;
};

// The problems of `settings` (DHCP off, every field dotted IPv4 text), in field
// order: address, mask, gateway, DNS. `local` gives the machine's own addresses.
// Empty when the settings can be sent.
std::vector<SettingIssue> CheckNewSettings(const NetworkSettings &settings, const LocalSubnets &local);

// One line saying what is wrong, e.g. "10.77.0.255 is the broadcast address of
// 10.77.0.0/24".
QString IssueText(const NetworkSettings &settings, const SettingIssue &issue);
