#pragma once
// The one list of the devices a search has heard, shared by the window and
// brenu-search.
//
// A device is identified by its serial number and its MAC address together: two
// devices answering with one serial number (a cloned firmware image, a forged
// answer) are two entries, and the list says so (a serial conflict). Serial numbers
// compare case-sensitively, MAC addresses without regard to letter case. For each
// device the list keeps its latest complete answer, where it was heard (the local
// address, its interface, and whether the device's address lies in a subnet of that
// interface), when it last answered and whether it has gone silent; and it knows
// which devices share a serial number and which serial numbers share an address.
//
// Every answer carries its source (DeviceRecord::source). One identity (serial number
// and MAC) heard from two source addresses within kIdentityWindowMs is an identity
// conflict: a second host speaks for the device, or two devices share both. The list
// then keeps the latest answer of each source (the identity table, only for devices
// in such a conflict) and lists each; commands to the device are refused unless the
// operator pins one source (Resolve with `at`).
//
// Bounds: at most `maxDevices` devices (kMaxDeviceRows by default). An answer of a
// further device is not kept: it is counted (IgnoredAnswers) and its identity goes
// into a fixed-size estimate of how many distinct devices were left out
// (UnlistedEstimate); unless the list makes room from silent devices
// (SetRoomFromSilent): the device silent longest then goes (a Forgotten event) and
// the new one is held. Devices already held keep updating. Every other structure
// holds at most one entry per device held, so a flood of forged answers costs at
// most what `maxDevices` devices cost. The work per answer is a few hash look-ups,
// independent of the number of devices and of the texts a sender chooses (every table
// is keyed with the process's secret, device/KeyedText.h): the conflict marks change only when an
// address becomes shared or stops being shared, and then Heard::conflictsChanged
// names at most the two serial numbers involved besides the device's own. Naming
// the devices in a conflict (Conflicts, SerialConflicts, WithSerial) looks at each of
// them; that is done to show one device or row, never per answer.
//
// Not thread-safe: the window uses it on its user-interface thread, brenu-search
// under its search's lock.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <limits>
#include <vector>

#include "device/DeviceRecord.h"
#include "device/KeyedText.h"
#include "device/SilentDevices.h"
#include "device/UnlistedDevices.h"
#include "protocol/LocalAddresses.h"
#include "protocol/SearchRanges.h"

// Two source addresses answering for one identity count as a conflict when their
// answers come within one search period of each other: every device answers each
// search once, so a device and a host speaking for it both answer within a period.
constexpr uint32_t kIdentityWindowMs = 5000;
// A source not heard again for this long leaves the identity table, and with one
// source left the conflict ends: a search period and a half, so that a source
// answering every search stays (one late answer does not end the conflict and bring
// it back at the next), while a device that moved to a new address (it answers from
// both within a period) shows the conflict for two periods at most.
constexpr uint32_t kIdentityForgetMs = 7500;
// The most sources one identity's conflict keeps. Each is a host on the LAN that
// answers with the device's serial number and MAC; the first few show the conflict
// as well as any number would, and the bound keeps a flood of forged sources for
// one identity from growing the list (further sources replace the oldest).
constexpr int kMaxIdentitySources = 8;
// The most devices or serial numbers one naming of conflicts names (a tooltip, a row
// of the batch window). A forged flood can make thousands of devices share one serial
// number or one address; a naming stops at this many and counts the rest without
// copying them, so showing a conflicted row costs the same whether ten or ten
// thousand devices take part. Eight names fit a tooltip and say who is involved.
constexpr int kMaxConflictNames = 8;

// A device as the list holds it: its latest answer and where it was heard.
struct HeardDevice : DeviceRecord {
    // The local address whose searcher heard it, and that address's interface
    // (never an address label); empty when not known.
    QString localAddress;
    QString interfaceName;
    // True when its address lies outside every subnet of the interface that heard
    // it: it has no unicast route, and commands go on-link through that interface.
    bool foreignSubnet = false;
    // True when it lies outside every subnet of that interface but was heard through
    // a search range (protocol/SearchRanges.h): it sits behind a router, and commands
    // reach it by ordinary routing. Never together with foreignSubnet.
    bool routed = false;
    // Other source addresses answering lately with this device's serial number and
    // MAC (an identity conflict); empty when only one source answers.
    QStringList otherSources;
    // True when another device listed announces the same address (a factory default
    // several boxes keep): a request sent to the address would reach whichever of
    // them the neighbour table names, so commands go by exact delivery
    // (device/Delivery.h). Set on the copies Devices(), WithSerial(), AtAddress() and
    // Resolve() give.
    bool sharedAddress = false;
};

// What a device shares with others.
struct DeviceConflicts {
    // Other devices answering with the same serial number: "address MAC" of each.
    QStringList sameSerial;
    // Other serial numbers answering from the same address.
    QStringList sameAddress;
    // How many more of each there are than the lists name (Conflicts with a bound).
    int moreSameSerial = 0;
    int moreSameAddress = 0;
    // Other source addresses answering for its serial number and MAC:
    // "source → announced address" of each.
    QStringList sameIdentity;
    bool Any() const { return !sameSerial.isEmpty() || !sameAddress.isEmpty() || !sameIdentity.isEmpty(); }
};

// The local subnets known to the list: one entry per local IPv4 address.
using LocalSubnets = std::vector<InterfaceAddress>;

// The machine's local subnets now, from the system's interface list (empty when it
// cannot be read). The one place the device code reads it.
LocalSubnets ReadLocalSubnets();

// True when `address` (dotted text) lies in a subnet of interface `interfaceName`
// among `subnets`. An address that is not dotted IPv4 text is in none.
bool InLocalSubnet(const LocalSubnets &subnets, const QString &interfaceName, const QString &address);

// A device as a listing shows it: with the kinds of conflict it is in, "serial"
// (another device answers with its serial number), "address" (another serial
// number answers from its address) and "identity" (another source address answers
// with its serial number and MAC), in that order.
struct ListedDevice : HeardDevice {
    QStringList conflict;
};

struct DeviceEvent {
    enum Kind { Appeared, Changed, Silent, Back, Overflow, Forgotten };
    Kind kind = Appeared;
    // The device with its conflicts when the event was made.
    ListedDevice device;
    // For Changed: the members whose values differ from the device's previous answer,
    // in the order of the record.
    QStringList changed;
    // For Silent and Forgotten: the tick of the device's last answer.
    int64_t lastHeardMs = 0;
};

// The members of `after` that differ from `before`, by their JSON names.
QStringList ChangedMembers(const DeviceRecord &before, const DeviceRecord &after);

class DeviceList {
public:
    explicit DeviceList(int maxDevices = kMaxDeviceRows, uint32_t silentAfterMs = kSilentAfterMs);

    // What became of one answer.
    struct Heard {
        enum Outcome { Refused, Added, Updated };
        Outcome outcome = Refused;
        // The device had been silent until this answer.
        bool back = false;
        // Serial numbers whose conflicts changed with this answer (the device's own
        // included when its own conflicts changed).
        QStringList conflictsChanged;
    };

    // The local subnets used to decide which devices lie in a foreign subnet. Until
    // they are given, a device counts as local when it lies in the subnet of the
    // address that heard it. Devices already held keep their mark until they answer.
    void SetLocalSubnets(const LocalSubnets &subnets);
    // The search ranges: a device outside the local subnets whose address or answer's
    // source lies in one is marked routed instead of foreign (see HeardDevice).
    void SetRanges(const SearchRanges &ranges) { m_ranges = ranges; }

    // One complete record (IsCompleteRecord) heard on `heardOn` at `tick` (monotonic
    // milliseconds) and `wallSeconds`. Events (appeared, changed, back, the first
    // overflow) are appended to `events` when it is not null.
    Heard Note(const DeviceRecord &record, const InterfaceAddress &heardOn, uint32_t tick, int64_t wallSeconds,
               std::vector<DeviceEvent> *events = nullptr);
    // A device not held yet, heard before every answer the list holds (restored from
    // a saved list); restore the newest first. Nothing when it is held already or the
    // list is full.
    Heard NoteEarlier(const DeviceRecord &record, const InterfaceAddress &heardOn, uint32_t tick,
                      int64_t wallSeconds);
    // Marks every device not heard for the silence threshold as silent, with one
    // event each; the number that went silent now.
    int MarkSilent(uint32_t tick, std::vector<DeviceEvent> *events = nullptr);

    // Every device held, ordered by serial number (UTF-16 code units: a stable order
    // independent of the locale), then by MAC.
    std::vector<HeardDevice> Devices() const;
    // The devices answering with `serialNo`, ordered by MAC; at most maxCount of them
    // (some, sorted), copied without looking at the rest.
    std::vector<HeardDevice> WithSerial(const QString &serialNo,
                                        int maxCount = std::numeric_limits<int>::max()) const;
    // How many devices answer with `serialNo`.
    int CountWithSerial(const QString &serialNo) const;
    // A copy of `device` with sharedAddress filled in.
    HeardDevice WithSharing(const HeardDevice &device) const;
    // The devices announcing `address` now.
    std::vector<HeardDevice> AtAddress(const QString &address) const;
    // The device with `serialNo` and `mac` (any letter case), or null.
    const HeardDevice *Find(const QString &serialNo, const QString &mac) const;
    // Which device a command naming `serialNo` (and, when not empty, `mac`) means:
    // Found (in *device) when exactly one device held matches, Ambiguous when several
    // answer with the serial number and no MAC chooses, IdentityConflict when the one
    // device is answered for by several source addresses and `at` names none of them,
    // else NotFound. `at` (a source address) pins the answer heard from it: *device
    // is then that source's answer, Found only when it announces `at` itself.
    enum class Target { Found, NotFound, Ambiguous, IdentityConflict };
    Target Resolve(const QString &serialNo, const QString &mac, HeardDevice *device, const QString &at = {}) const;
    // The latest answer from each source of the device with `serialNo` and `mac`, by
    // source address (one entry unless it is in an identity conflict).
    std::vector<HeardDevice> BySource(const QString &serialNo, const QString &mac) const;
    // The tick of the latest answer for the device (serialNo, mac) from a source other
    // than `source`, in *tick; false when no other source is held for it.
    bool OtherSourceTick(const QString &serialNo, const QString &mac, const QString &source, uint32_t &tick) const;
    // The latest answering device with `serialNo`, or null.
    const HeardDevice *Latest(const QString &serialNo) const;
    // Every device held with its conflicts, in the order of Devices().
    std::vector<ListedDevice> Listing() const;
    // The kinds of conflict `device` is in ("serial", "address", "identity"); cheap.
    QStringList ConflictKinds(const HeardDevice &device) const;
    // What `device` shares with other devices held (for showing one device, not for
    // every answer). At most maxNamed of each kind are named (some of them, sorted)
    // and the rest counted, so that a row of each of thousands of devices sharing one
    // serial number costs maxNamed look-ups, not thousands.
    DeviceConflicts Conflicts(const HeardDevice &device, int maxNamed = kMaxConflictNames) const;
    // The conflicts of the devices with `serialNo` together (one table row): every
    // device with the serial number, when there are several ("address MAC"), and the
    // other serial numbers answering from the addresses of the devices named. At most
    // maxNamed of each kind are named and the rest counted (moreSame*), whatever the
    // number of devices sharing the serial number or the address: the devices not
    // named are counted, not looked at, and the serial numbers sharing an address are
    // counted per address (one that shares two of the addresses counts twice).
    DeviceConflicts SerialConflicts(const QString &serialNo, int maxNamed = kMaxConflictNames) const;
    // True when a device with `serialNo` is in a conflict; cheap enough for painting.
    bool SerialHasConflict(const QString &serialNo) const;

    // True when every device with `serialNo` is silent; the latest of their last
    // answers' wall times goes to *lastAnswer.
    bool SerialSilent(const QString &serialNo, int64_t *lastAnswer = nullptr) const;
    bool IsSilent(const HeardDevice &device) const;

    // What the list knows of a device besides its answer, for visiting them all.
    struct DeviceState {
        uint32_t lastTick = 0; // the tick of its last answer
        bool silent = false;
        QStringList conflict;  // ConflictKinds
    };
    // Calls fn(const HeardDevice &, const DeviceState &) for every device held, in no
    // particular order, with a few hash look-ups per device: the way to visit them
    // all, where Listing() sorts copies.
    template <typename Fn>
    void ForEach(Fn fn) const
    {
        for (const Entry &entry : m_devices) {
            DeviceState state;
            state.lastTick = m_silence.LastTick(entry.key);
            state.silent = m_silence.IsSilent(entry.key);
            state.conflict = ConflictKinds(entry.device);
            fn(entry.device, state);
        }
    }

    // With `on`, a full list gives up its longest-silent device for a device heard
    // now (brenu-search, whose list may be filled by restored devices that never
    // answer again); off (the window's rows follow the list) it refuses the device.
    void SetRoomFromSilent(bool on) { m_roomFromSilent = on; }
    // Devices given up that way since the list was made.
    long long MadeRoom() const { return m_madeRoom; }

    // Drops every device with `serialNo` (its row went).
    void ForgetSerial(const QString &serialNo);
    // Drops every device whose last answer is `afterMs` or more before `tick` (a
    // device retired long ago), with one Forgotten event each; how many went.
    // afterMs must stay below 2^31: ticks are compared modulo 2^32.
    int ForgetSilentFor(uint32_t tick, uint32_t afterMs, std::vector<DeviceEvent> *events = nullptr);
    // Drops everything, the overflow counts included.
    void Clear();
    // Clear(), handing what was held over to the caller instead of freeing it: a list
    // with the same bounds holding every device, their conflicts and silence (for
    // freeing on another thread, kit/Disposal.h). The local subnets stay here.
    DeviceList TakeAll();

    int Count() const { return m_devices.size(); }
    int SerialCount() const { return m_serials.size(); }
    int MaxDevices() const { return m_maxDevices; }
    // Answers of devices that were not kept because the list was full.
    long long IgnoredAnswers() const { return m_ignoredAnswers; }
    bool Overflowed() const { return m_ignoredAnswers > 0; }
    // The estimated number of distinct devices left out.
    int64_t UnlistedEstimate() const { return m_unlisted.Estimate(); }

private:
    struct Entry {
        HeardDevice device;
        QString key;
        uint64_t order = 0; // when it last answered, in answers noted
    };
    static QString KeyOf(const QString &serialNo, const QString &mac);
    ListedDevice Listed(const HeardDevice &device) const;
    bool IsLocal(const InterfaceAddress &heardOn, const QString &address) const;
    void AddAddress(const QString &address, const QString &serialNo, QStringList &changed);
    void RemoveAddress(const QString &address, const QString &serialNo, QStringList &changed);
    void Remove(const QString &key);
    // Drops the longest-silent device for a new one; false when none is silent.
    bool MakeRoom(std::vector<DeviceEvent> *events);
    // Notes the source of an answer for `entry`; true when its identity conflict began
    // or ended.
    bool NoteSource(const QString &key, HeardDevice &device, const DeviceRecord &record, uint32_t tick);
    // "source → announced address" of each source of the identity `key` but `except`.
    QStringList IdentitySources(const QString &key, const QString &except) const;

    int m_maxDevices;
    long long m_ignoredAnswers = 0;
    uint64_t m_answers = 0;
    // Keyed by network text, so hashed with the process's secret (device/KeyedText.h).
    KeyedTextHash<Entry> m_devices;       // by key
    KeyedTextHash<QStringList> m_serials; // serial number -> keys of its devices
    // address -> serial number -> devices of that serial at that address
    KeyedTextHash<KeyedTextHash<int>> m_addresses;
    // The identity table: key -> the latest answer of each source that answered for
    // it lately, held only while two or more do (at most kMaxIdentitySources each).
    // It keeps what tells the sources apart and what a command pinned to one of them
    // carries (source, announced address and port, network settings), not the
    // free-text description, the longest member an answer has: the device's own
    // entry holds that once (SourceCopy; BySource fills it in).
    static HeardDevice SourceCopy(const HeardDevice &device);
    struct SourceAnswer {
        HeardDevice device;
        uint32_t tick = 0;
    };
    KeyedTextHash<std::vector<SourceAnswer>> m_identities;
    SilentDevices m_silence; // by key
    bool m_noteEarlier = false; // within NoteEarlier
    bool m_roomFromSilent = false;
    long long m_madeRoom = 0;
    UnlistedDevices m_unlisted;
    // The local subnets, parsed once (network byte order).
    struct Subnet {
        std::string device;
        in_addr_t network = 0;
        in_addr_t mask = 0;
    };
    std::vector<Subnet> m_subnets;
    SearchRanges m_ranges;
};
