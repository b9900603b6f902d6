#pragma once
// Which new network settings make sense for a device, checked before they are sent.
//
// The dotted-text check (device/Ipv4Text.h) only asks whether a field looks like an
// address. These rules ask whether the address can work: a device given 0.0.0.0, a
// loopback or multicast address, its subnet's network or broadcast address, or the
// address of the workstation itself drops off the network or takes another host's
// place; a mask with holes or no bits makes no subnet; a gateway outside the subnet
// cannot be reached. CheckSettings decides for every path that sends new settings:
// the settings dialog (which asks the operator to confirm), brenu-search set (which
// needs --force), plans and the batch window (which refuse).
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

// What stands between new settings and the device. With DHCP on nothing is checked
// (the device chooses its own addresses).
struct SettingsCheck {
    // The first field that is not a strict dotted IPv4 address (FirstBadAddressField):
    // nothing may be sent.
    AddressField bad = AddressField::None;
    // Otherwise the rules the settings break (CheckNewSettings): sent only when the
    // operator insists.
    std::vector<SettingIssue> issues;
};
SettingsCheck CheckSettings(const NetworkSettings &settings, const LocalSubnets &local);

// One line saying what is wrong, e.g. "10.77.0.255 is the broadcast address of
// 10.77.0.0/24"), in the language of device/SaidText.h.
QString IssueText(const NetworkSettings &settings, const SettingIssue &issue);
