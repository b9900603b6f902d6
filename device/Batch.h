#pragma once
// Many devices re-addressed at once: which device gets which settings (from a plan
// file or an address plan), the checks made on the whole batch before anything is
// sent, and the run that sends the updates and watches the search for each device's
// new values.
//
// Contract of a run (BatchJob):
//  - one update request per device, never to a device whose settings already are
//    the target (those are Unchanged before the run begins);
//  - at most kMaxParallelUpdates requests wait for their answers at one time;
//  - a device whose new address another entry's device holds now (a chain: A takes
//    B's address, B moves elsewhere) is sent its request only once that device is
//    Verified at its own new address, i.e. has verifiably left; if it ends otherwise,
//    the waiting entry is HolderStayed and gets no request (AddressHolders);
//  - a device is Verified once a search answer with its serial number and MAC address
//    shows every target value, heard after its request was sent, whether or not its
//    answer to the request came (a device leaving its subnet often cannot answer),
//    provided the answer comes from the device itself (UntrustedReason,
//    device/VerifiedUpdate.h; with DHCP on, also the MAC behind its source,
//    SourceMacCheck, read on Tick); an answer that shows the values from elsewhere
//    is remembered as the reason the entry was not confirmed;
//  - a device whose address other listed devices share (HeardDevice::sharedAddress)
//    gets its request by exact delivery (device/Delivery.h). By the neighbour table,
//    the devices of one shared address are served one at a time, in the order the
//    entry for the address points at them: each request waits for the device's
//    verification (or final state) before the next device of that address is looked
//    for; a device the entry never points at within kNeighbourTurnWaitMs is
//    OtherAnswers, nothing sent. By MAC they go in parallel like any other;
//  - when, after the request to a device that shared its address, a search answer
//    shows another device (serial number and MAC) at its planned address, the entry
//    is WrongDevice and the devices
//    of its old address not yet sent are Stopped;
//  - Refused when the device answered the request with "result" not true (until the
//    search shows the new values after all); NotConfirmed when kVerifyTimeoutMs after the send the
//    search still has not shown them (no answer at all, or a "yes" with no change).
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "device/AddressPlan.h"
#include "device/Delivery.h"
#include "device/DeviceCommand.h"
#include "device/DeviceList.h"
#include "device/DeviceRecord.h"
#include "device/DeviceRequests.h"
#include "device/PlanFile.h"
#include "device/VerifiedUpdate.h"
#include "transport/LinuxNeighbourProbe.h"
#include "device/KeyedText.h"

// Update requests waiting for their answers at one time. Each waits up to 10 s for
// the device (kCommandTimeoutMs) on a thread and a socket of its own; a batch of a
// thousand devices would otherwise open a thousand of each. Sixteen keep a thousand
// devices that answer at once well within a search period each, and the same bound
// serves the reboots of brenu-search.
constexpr int kMaxParallelUpdates = 16;
// How long after its request is sent a device has to show its new values in a search
// answer: the wait of brenu-search set (device/VerifiedUpdate.h), three search periods.
constexpr int kVerifyTimeoutMs = kDefaultVerifyTimeoutMs;

enum class BatchStatus {
    Unchanged,    // already at the target: no request
    Missing,      // no listed device matches the row
    Ambiguous,    // several devices answer with the serial and the row pins no MAC
    Waiting,      // to be sent
    Sending,      // request sent, no answer yet
    Acknowledged, // the device said yes; not yet seen with the new values
    Verified,
    Refused,
    NotConfirmed,
    NoAddress,    // an address plan found no free address for it: no request
    IdentityConflict, // several source addresses answer with its serial and MAC: no request
    HolderStayed, // the device holding its new address did not verifiably leave it: no request
    OtherAnswers, // shares its address, and the neighbour entry never pointed at it: no request
    WrongDevice,  // after its request another device showed up at its planned address
    Stopped,      // not sent: the run stopped for its address (WrongDevice there)
    NotSent,      // nothing could be sent: its address or port takes no command, no socket opened,
                  // or brenu-link-send refused the request
};

// Final states a run ends in (Unchanged, Missing, Ambiguous and IdentityConflict are
// never sent).
bool IsFinal(BatchStatus status);
// "verified", "refused", ... for brenu-search.
const char *BatchStatusName(BatchStatus status);
// "已验证", "被拒绝", ...: the status column of a saved results file, in every language.
QString BatchStatusText(BatchStatus status);
// The same in the language the window speaks (context "BatchStatus").
QString BatchStatusShownText(BatchStatus status);

// One device of a batch and the settings it is to get.
struct BatchEntry {
    QString serialNo;
    QString mac;          // the plan row's pin, else the device's MAC
    int planLine = 0;     // plan files: the row's line
    std::optional<HeardDevice> device;
    NetworkSettings target;
    BatchStatus status = BatchStatus::Waiting;
};

// A device named on a command line: SERIAL, or SERIAL@MAC to pin one of several
// devices answering with one serial number. The text after the last '@' is taken as
// a MAC only when it reads as one (six pairs of hex digits between ':' or '-'), so a
// serial number that itself holds an '@' still names its device.
struct NamedDevice {
    QString serialNo;
    QString mac; // empty: not pinned
};
NamedDevice ParseNamedDevice(const QString &argument);

// The device each name means, in the names' order: an entry holding it (Waiting), or
// Missing, or Ambiguous (several devices answer with the serial number and no MAC,
// or the MAC, picks one), or IdentityConflict (the one device is answered for by
// several source addresses: which is the device cannot be told).
std::vector<BatchEntry> MatchNamed(const std::vector<NamedDevice> &names, const std::vector<HeardDevice> &devices);

// Matches the rows of a plan with the devices heard: by serial number, and by MAC
// address (case ignored) where a row gives one. A row with DHCP on keeps the device's
// reported addresses. Rows without a device are Missing, rows whose serial several
// devices answer (without a MAC that picks one) Ambiguous, rows already at their
// values Unchanged; the rest Waiting.
std::vector<BatchEntry> MatchPlan(const std::vector<PlanRow> &rows, const std::vector<HeardDevice> &devices);

// New settings from an address plan: every device the same mask and, where given,
// gateway and DNS (else each keeps its own); or DHCP on for all.
struct AssignSettings {
    bool dhcp = false;
    QString mask;
    QString gateway; // empty: the device's own
    QString dns;     // empty: the device's own
};

// The entries of an address plan: devices[i] gets planned[i] (0: NoAddress), the
// rest as `settings` says; devices already there are Unchanged.
std::vector<BatchEntry> AssignedEntries(const std::vector<HeardDevice> &devices, const std::vector<Ipv4> &planned,
                                        const AssignSettings &settings);

// This machine's addresses (host byte order).
std::vector<Ipv4> LocalIpv4(const LocalSubnets &local);
// Fills what an address plan must keep clear of: the addresses `listed` devices
// announce (AddressPlanInput::listed) and this machine's (AddressPlanInput::local).
void NoteTakenAddresses(AddressPlanInput &input, const std::vector<HeardDevice> &listed, const LocalSubnets &local);

// Settings to offer for the `checked` devices before the operator has typed any: the
// mask, gateway and DNS server they all report (each left empty where they differ),
// and as start address the first address of the subnet of the local address that
// heard the first of them that nobody uses (not this machine's, not a `listed`
// device's); empty when that subnet is not known or has no free address.
struct SuggestedSettings {
    QString start, mask, gateway, dns;
};
SuggestedSettings SuggestBatchSettings(const std::vector<HeardDevice> &checked,
                                       const std::vector<HeardDevice> &listed, const LocalSubnets &local);
// The mask an address plan uses when none is given: that of this machine's subnet
// holding `start`, else 255.255.255.0.
Ipv4 DefaultMask(Ipv4 start, const LocalSubnets &local);
// The interfaces through which candidates in network/mask are probed: those with an
// address in that subnet, else all of them (the devices may sit on any link).
std::vector<ProbeInterface> ProbeInterfacesFor(Ipv4 network, Ipv4 mask, const LocalSubnets &local);

// What must hold for the whole batch before anything is sent. Returns one line per
// problem (English for brenu-search, prefixed with the serial number); empty when the
// batch may be sent. Looks only at the Waiting entries:
//  - no other source address answers with their serial number and MAC (an identity
//    conflict: the request might reach a host speaking for the device);
//  - their devices announce a port that can take commands, and no other device with
//    the same serial number answers from the same address (it would take the request);
//  - with DHCP off, the new address is a dotted quad, not an address of this machine
//    (`local`, even when forced), not the new address of another entry, and not the
//    current address of a listed device that keeps it (`devices`);
//  - with `strict`, the settings pass the rules of brenu-search set
//    (device/AddressRules.h).
QStringList CheckBatch(const std::vector<BatchEntry> &entries, const std::vector<HeardDevice> &devices,
                       const LocalSubnets &local, bool strict);

// For each entry, the entries (Waiting, with a device) whose device holds now the
// address the entry is to take (DHCP off): it may take the address only after they
// have left it. Entries that wait on each other in a ring (a swap of two addresses, or
// a longer cycle) can never go; each ring is one line in `cycles` naming its rows
// (plan line, or serial number) and the addresses, to be broken by moving one device
// to a free temporary address first.
std::vector<std::vector<size_t>> AddressHolders(const std::vector<BatchEntry> &entries, QStringList *cycles = nullptr);

enum class SendOutcome { Acknowledged, Refused, NoAnswer, Withheld, NotSent };
// Sends one update request and waits for the device's answer, or until *stop is set
// (the run has seen the new values, or was cancelled); called on the run's worker
// threads, several at a time.
using UpdateSender =
    std::function<SendOutcome(const HeardDevice &device, const NetworkSettings &target, const std::atomic<bool> *stop)>;

// The update request of the settings dialog, to the address and port the device
// announces (on-link through the interface that heard it when it lies in a foreign
// subnet), kCommandTimeoutMs for the answer.
SendOutcome SendUpdate(const HeardDevice &device, const NetworkSettings &target, const std::atomic<bool> *stop);

class BatchJob {
public:
    using Clock = std::chrono::steady_clock;

    BatchJob(std::vector<BatchEntry> entries, UpdateSender sender, int verifyTimeoutMs = kVerifyTimeoutMs);
    // Waits for the requests under way; sends nothing more.
    ~BatchJob();
    BatchJob(const BatchJob &) = delete;
    BatchJob &operator=(const BatchJob &) = delete;

    // Starts sending the Waiting entries on up to kMaxParallelUpdates threads.
    void Start();
    // A search answer (any thread), with where it was heard; `otherSourceAgeMs`: how
    // long ago another source last answered for the same device (-1: none).
    void Observe(const HeardDevice &answer, int64_t otherSourceAgeMs = -1);
    // The subnets that decide whether an answer with DHCP on comes from the right
    // link (this machine's, read at Start, unless set before).
    void SetLocalSubnets(const LocalSubnets &local);
    // Per entry: why answers that showed its new values did not verify it ("" none).
    std::vector<QString> UntrustedReasons() const;
    // Checks the MAC behind the answers that showed DHCP on (SourceMacCheck), then
    // ends the waits that have passed their time (any thread; call it now and then).
    void Tick();
    // No request is sent after this; those under way finish.
    void Cancel();
    // The addresses the entries are to take (with DHCP off): answers from these should
    // reach Observe too, so that another device turning up there is seen.
    QStringList PlannedAddresses() const;
    // How devices that share an address are reached (default: SharedAddressWay() at
    // Start) and the neighbour table read and nudged on the way, for them and for the
    // MAC behind answers with DHCP on (tests replace them).
    void SetSharedAddressDelivery(DeliveryWay way, std::function<QString(const CommandTarget &)> holder,
                                  std::function<void(const CommandTarget &)> nudge, int turnWaitMs);

    std::vector<BatchStatus> Statuses() const;
    // Entries sent or to be sent, and how many of them have reached a final state.
    int ToSend() const { return m_toSend; }
    int Finished() const;
    bool Done() const { return Finished() == m_toSend; }
    const std::vector<BatchEntry> &Entries() const { return m_entries; }
    // When the last request was sent (the epoch before any).
    Clock::time_point LastSend() const;

private:
    struct Progress {
        BatchStatus status = BatchStatus::Waiting;
        bool sent = false;
        bool answered = false;
        Clock::time_point sentAt{};
        Clock::time_point deadline{};
        // With DHCP on: the latest answer that showed the new values, passed
        // UntrustedReason and waits for the MAC behind its source to be checked.
        std::optional<HeardDevice> onLink;
    };
    void Work();
    void SendOne(size_t index);
    void ServeSharedAddress(const std::vector<size_t> &group);
    void SetStatus(size_t index, BatchStatus status);

    const std::vector<BatchEntry> m_entries;
    const UpdateSender m_sender;
    const std::chrono::milliseconds m_verifyTimeout;
    int m_toSend = 0;
    mutable std::mutex m_lock;
    std::vector<Progress> m_progress;
    std::vector<size_t> m_queue;
    // Per entry: the entries that must be Verified before it is sent (AddressHolders).
    std::vector<std::vector<size_t>> m_after;
    // Waits until every entry `index` comes after is Verified: true then, false (the
    // entry marked HolderStayed) when one ended otherwise or the run was cancelled.
    bool WaitForHolders(size_t index);
    std::optional<LocalSubnets> m_local;    // under m_lock once started
    std::vector<QString> m_untrusted;       // under m_lock, per entry
    // The work in order: one entry each, or all entries at one shared address (served
    // one at a time by the neighbour table); built at Start.
    std::vector<std::vector<size_t>> m_tasks;
    size_t m_nextTask = 0;
    KeyedTextHash<size_t> m_byPlannedAddress;
    std::optional<DeliveryWay> m_way;
    std::function<QString(const CommandTarget &)> m_holder;
    std::function<void(const CommandTarget &)> m_nudge;
    std::unique_ptr<SourceMacCheck> m_sourceMac; // made at Start from m_holder and m_nudge
    int m_turnWaitMs = kNeighbourTurnWaitMs;
    // Per entry: ends the wait for its answer once the search shows the new values.
    std::unique_ptr<std::atomic<bool>[]> m_stopWaiting;
    // The entries sent, by serial number; fixed before Start.
    KeyedTextHash<std::vector<size_t>> m_bySerial;
    size_t m_nextInQueue = 0;
    Clock::time_point m_lastSend{};
    std::atomic<bool> m_cancelled{false};
    std::vector<std::thread> m_workers;
};
