#pragma once
// A settings update that is checked against what the device shows afterwards.
//
// A device's answer to a command says only what the device claims, and it can be
// lost: a device that leaves a foreign subnet has no route back to the workstation,
// yet the update took effect. So the verdict comes from the device's own search
// answers: the update is confirmed once the device (same serial number, same MAC)
// answers a search with the new settings, whether or not its answer to the command
// arrived; a device that said yes but still shows the old settings is not confirmed.
//
// Only the device itself can confirm: an answer showing the new settings counts when
// it came from the new address (DHCP off), or, with DHCP on, from the address it
// announces on a subnet of the interface that heard it, sent by the device's MAC
// (the kernel's neighbour entry for that address on that interface names it,
// SourceMacCheck); and no other source may have answered for the device (serial
// number and MAC) within kIdentityWindowMs. A host that answers with the device's
// identity and the new values from anywhere else confirms nothing; the verdict then
// says why (UpdateOutcome::untrusted).
//
//     DeviceSearch search;   search.Start();   ... find `device` ...
//     const UpdateOutcome outcome = SendVerifiedUpdate(search, device, edited, 15000, stop);
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "device/DeviceCommand.h"
#include "device/DeviceList.h"
#include "device/DeviceRequests.h"
#include "device/KeyedText.h"

class DeviceSearch;

// The default time to wait for a device's search answers to show an update. Devices
// are searched every 5 s and take a moment to apply new settings, so three search
// periods see at least two answers after the change; a change that has not shown by
// then has not happened.
constexpr int kDefaultVerifyTimeoutMs = 15000;

// What a device's search answers must show once an update has taken effect.
struct ExpectedSettings {
    QString serialNo;
    QString mac;
    NetworkSettings settings;
};

// What `device` must show after being sent `edited`.
ExpectedSettings ExpectedAfter(const DeviceRecord &device, const NetworkSettings &edited);

// True when `answer` comes from the expected device (serial number byte for byte, MAC
// in any letter case) and shows the settings: the DHCP state always, and with DHCP
// off the address, mask, gateway and DNS as well (with DHCP on the device chooses
// them itself).
bool ShowsSettings(const DeviceRecord &answer, const ExpectedSettings &expected);

// Why `answer`, an answer that ShowsSettings(answer, expected), does not confirm the
// update, or "" when it does (see the file comment). `local`: this machine's subnets;
// `otherSourceAgeMs`: how long ago another source last answered for the device (-1:
// none held).
QString UntrustedReason(const HeardDevice &answer, const ExpectedSettings &expected, const LocalSubnets &local,
                        int64_t otherSourceAgeMs);

// How often the neighbour entry behind one device's answers is read while a change
// with DHCP on is verified. The verifying loops look at their devices every few tens
// of milliseconds, and the list hands the same answer over and over until the next
// search period; reading the kernel's table each time would cost a netlink round
// trip per device per look. Twice a second delays a verdict by at most half a second
// against a search period of five, and keeps sixteen updates in flight to 32 reads a
// second.
constexpr int kSourceMacCheckMs = 500;
// Devices whose last neighbour reading is kept for the interval above. A batch has at
// most kMaxParallelUpdates devices waiting for their answers, and the window watches a
// few; past this many the readings older than the interval are dropped, so a long
// session does not keep one for every device it ever verified.
constexpr int kSourceMacReadingsKept = 256;

// Whether the host that sent an answer with DHCP on is the device: the kernel's
// neighbour entry for the answer's source address on the interface that heard it
// must name the device's MAC. Without an entry yet the address is nudged to resolve
// (at most every kNeighbourNudgeMs) and the answer is neither trusted nor refused.
// The entry is read at most once per kSourceMacCheckMs for one device at one source;
// in between the last reading stands. Safe to call from any thread.
class SourceMacCheck {
public:
    enum class Verdict { Device, Unresolved, Other };
    using Holder = std::function<QString(const CommandTarget &)>;
    using Nudge = std::function<void(const CommandTarget &)>;

    // The kernel's neighbour table (NeighbourHolder, NudgeNeighbourOf).
    SourceMacCheck();
    // Another reader (tests).
    SourceMacCheck(Holder holder, Nudge nudge);

    // For `answer`, one that ShowsSettings(answer, expected) and passes UntrustedReason.
    // `reason`: why it does not confirm (Unresolved, Other), naming both MACs when
    // another host holds the address.
    Verdict Check(const HeardDevice &answer, const ExpectedSettings &expected, QString &reason);

private:
    using Clock = std::chrono::steady_clock;
    struct Reading {
        Clock::time_point readAt{};
        Clock::time_point nudgedAt{};
        Verdict verdict = Verdict::Unresolved;
        QString reason;
    };
    Holder m_holder;
    Nudge m_nudge;
    std::mutex m_lock;
    KeyedTextHash<Reading> m_readings;
};

enum class UpdateVerdict {
    Confirmed,     // the device's search answers show the new settings
    Refused,       // the device answered the command with a refusal
    NotConfirmed,  // sent, but neither a yes nor the new settings seen in time
    ConnectFailed, // nothing could be sent
    Interrupted,   // `stop` asked to end first
};

struct UpdateOutcome {
    UpdateVerdict verdict = UpdateVerdict::NotConfirmed;
    // What became of the command itself (NoAnswer also when the wait for it was cut
    // short because the search had already confirmed the update).
    CommandResult command = CommandResult::NoAnswer;
    // Milliseconds from the send to the confirmation (-1: not confirmed).
    int64_t confirmedAfterMs = -1;
    // NotConfirmed although answers showed the new settings: why none of them counted.
    QString untrusted;
    // Withheld: why brenu-link-send refused the request (empty: it was not asked, or
    // the neighbour entry never pointed at the device).
    QString refusal;
};

// Sends `device` the update request for `edited` (on-link when it lies in a foreign
// subnet) and watches `search`, which must be running, until the update is confirmed
// or refused, or verifyTimeoutMs have passed since the send (since the request left:
// at a shared address it first waits for its turn, device/Delivery.h, and ends as
// ConnectFailed with CommandResult::Withheld when the turn never comes). verifyTimeoutMs 0 skips
// the check: the device's answer decides (Confirmed on a yes, Refused on a refusal,
// NotConfirmed without an answer). `stop` is asked every few milliseconds.
UpdateOutcome SendVerifiedUpdate(DeviceSearch &search, const HeardDevice &device, const NetworkSettings &edited,
                                 int verifyTimeoutMs, const std::function<bool()> &stop);
