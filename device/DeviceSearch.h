#pragma once
// A search of its own for callers without a window (brenu-search, batch work): the
// window's search group (protocol/UdpCastGroup.h) feeding a device list
// (device/DeviceList.h). The group's searchers send the search request at once and
// then every 5 s; their answers arrive on the searchers' socket threads and are taken
// into the list under a lock. Events (for `watch`) wait in a bounded queue until the
// caller takes them.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/DeviceList.h"
#include "device/FirewallHint.h"

class QUdpCastGroup;
struct AnswerSource;

// Events held for the main thread between two looks (it looks every few hundred
// ms). A host that floods the LAN with answers whose members keep changing makes one
// event per answer; while the main thread is slow (its output blocked by a full
// pipe) they would pile up without end. Far more than a real LAN's few thousand
// devices produce between two looks; beyond it events are counted and dropped.
constexpr size_t kMaxPendingEvents = 100000;

class DeviceSearch {
public:
    // onlyAddresses: the local addresses to search from (empty: all of them).
    // silentAfterMs: how long a device may stay quiet before MarkSilent reports it.
    explicit DeviceSearch(std::vector<std::string> onlyAddresses = {}, int maxDevices = kMaxDeviceRows,
                          bool keepEvents = false, uint32_t silentAfterMs = kSilentAfterMs);
    ~DeviceSearch();
    DeviceSearch(const DeviceSearch &) = delete;
    DeviceSearch &operator=(const DeviceSearch &) = delete;

    // Search ranges besides the broadcasts, at `rate` requests per second (0: the
    // default); see protocol/RangeSearch.h. Call before Start.
    void SetRanges(const SearchRanges &ranges, unsigned rate);
    void Start();
    // A device is about to take `address`: asked every round when a range holds it
    // (QUdpCastGroup::AskEveryRound), so that the change is seen within a period.
    void AskEveryRound(const QString &address);
    // Once it returns no answer arrives any more.
    void Stop();
    int SearcherCount() const;
    // The search group itself, for what its searchers report.
    const QUdpCastGroup &Group() const { return *m_group; }

    // Milliseconds since Start.
    int64_t ElapsedMs() const;

    // Runs fn on the device list under the lock.
    void WithDevices(const std::function<void(DeviceList &)> &fn);
    // Takes the events queued so far; `dropped` gets how many were dropped since the
    // last call.
    std::vector<DeviceEvent> TakeEvents(long long &dropped);
    // Marks silent devices; their events join the queue.
    void MarkSilent();
    // Drops the devices silent for `afterMs` or more; their events join the queue.
    // How many went.
    int ForgetSilentFor(uint32_t afterMs);
    // Reads the machine's subnets again (Start reads them), for a search that runs long
    // while addresses come and go.
    void RefreshLocalSubnets();

    // What this machine's firewall may have hidden since the last call (or Start):
    // the searched links that heard no answer, and the packets dropped uncounted
    // meanwhile (device/FirewallHint.h). Each call starts a new span.
    struct FirewallEvidence {
        std::vector<std::string> silentLinks;
        uint64_t dropped = 0;
        bool Shows() const { return !silentLinks.empty() && dropped > 0; }
    };
    FirewallEvidence TakeFirewallEvidence();

private:
    static void OnAnswer(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn,
                         const AnswerSource &source, void *user);
    void Queue(std::vector<DeviceEvent> &events);

    std::unique_ptr<QUdpCastGroup> m_group;
    std::chrono::steady_clock::time_point m_start;
    std::mutex m_lock;
    DeviceList m_devices;
    bool m_keepEvents;
    std::vector<DeviceEvent> m_events;
    long long m_droppedEvents = 0;
    std::map<std::string, uint64_t> m_answersByLink; // since the last TakeFirewallEvidence; under m_lock
    FirewallWatch m_firewall;
};

// The local IPv4 addresses of this machine (dotted text), as the search group sees
// them.
std::vector<std::string> LocalAddresses();

