#pragma once
// Exact delivery: a command reaches the device it names and no other, even when
// several devices hold one address (boxes left at a factory default). A unicast to
// the address goes to whichever MAC the kernel's neighbour (ARP) entry holds, so
// for such a device (HeardDevice::sharedAddress) a request leaves one of two ways:
//
//  - By MAC: the helper brenu-link-send (transport/LinuxLinkSend.h), when it is
//    installed and granted cap_net_raw, sends the request in one frame to the
//    device's MAC from the command socket itself (handed to the helper, which reads
//    its address and port from it); the answer comes back to that socket as usual.
//    When the helper refuses, the request is withheld and TakeLinkSendRefusal says
//    why (the device's address outside the interface's subnets, the capability
//    missing, ...), instead of blaming another device at the address.
//  - By the neighbour table, otherwise: the request is sent only while the kernel's
//    entry for the address points at the device's MAC (checked right before it
//    leaves). Until then the entry is nudged to resolve again (an empty datagram to
//    the discard port) for up to the wait; a device the entry never points at gets
//    nothing (CommandResult::Withheld: "another device at this address answers for
//    it"). Batches serve such an address one device at a time (device/Batch.h).
//
// Every command path goes through SendDeviceCommand (device/DeviceCommand.h), which
// calls PrepareExactDelivery for a target marked exact; nothing else decides. The
// command socket sends no keep-alive datagram for such a target: it would go by the
// neighbour table.
#include <QString>

#include <atomic>
#include <string>

#include "device/DeviceCommand.h"

class QUdpClient;

enum class DeliveryWay { Mac, Neighbour };
enum class DeliveryPreference { Auto, Mac, Neighbour };

// How long a request waits for the neighbour entry to point at its device. An entry
// whose device left the address is looked at again only once it goes stale, which an
// entry just resolved does after the kernel's reachable time: a random 15 to 45 s
// (base_reachable_time 30 s by default). Then it takes about ten seconds more (five
// before it probes the stale entry, three unanswered probes a second apart, then a
// broadcast ARP request that the remaining devices answer). A minute covers the
// longest of these with room for devices slow to answer ARP; 30 s left a box of
// sixteen behind now and then.
constexpr int kNeighbourTurnWaitMs = 60000;
// How often the entry is nudged to resolve again while a request waits.
constexpr int kNeighbourNudgeMs = 1000;

// Auto (default): by MAC when the helper is usable, else by the neighbour table.
// Set once at start (tests and tools; the programs keep the default).
void SetDeliveryPreference(DeliveryPreference preference);
// Why brenu-link-send refused the last request this thread handed it, in the reader's
// language (device/SaidText.h; empty when it sent it, or none was handed); taking it
// clears it.
QString TakeLinkSendRefusal();
// The way requests to devices that share an address take in this process.
DeliveryWay SharedAddressWay();
// "by MAC (brenu-link-send)" / "one at a time by the neighbour table"; the window's
// texts are in DeliveryWayText.
const char *DeliveryWayName(DeliveryWay way);
QString DeliveryWayText(DeliveryWay way);

// For a target marked exact: by MAC, sets `client` to send through the helper; by
// the neighbour table, waits (up to kNeighbourTurnWaitMs, or *cancel) until the entry
// points at the device and sets `client` to check it again right before sending.
// Succeeded when the request may go on, Withheld when the device cannot be reached
// alone, ConnectFailed when its interface or address cannot be used.
CommandResult PrepareExactDelivery(const CommandTarget &target, QUdpClient &client,
                                   const std::atomic<bool> *cancel = nullptr, int waitMs = kNeighbourTurnWaitMs);

// By the neighbour table: the MAC the entry for the target's address points at now
// (lower case, "" when none), and a nudge to resolve it again.
QString NeighbourHolder(const CommandTarget &target);
void NudgeNeighbourOf(const CommandTarget &target);
