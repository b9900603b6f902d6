#pragma once
// One search for brenu-search: the window's search group (protocol/UdpCastGroup.h)
// feeding a DeviceTracker. The group's searchers send the search request at once and
// then every 5 s; their answers arrive on the searchers' socket threads and are
// taken into the tracker under a lock. Events for `watch` wait in a bounded queue
// until the main thread takes them.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/DeviceTracker.h"

class QUdpCastGroup;

namespace cli {

// Events held for the main thread between two looks (it looks every few hundred
// ms). A host that floods the LAN with answers whose members keep changing makes one
// event per answer; while the main thread is slow (its output blocked by a full
// pipe) they would pile up without end. Far more than a real LAN's few thousand
// devices produce between two looks; beyond it events are counted and dropped.
constexpr size_t kMaxPendingEvents = 100000;

class DeviceSearch {
public:
    // onlyAddresses: the local addresses to search from (empty: all of them).
    explicit DeviceSearch(std::vector<std::string> onlyAddresses = {}, int maxDevices = kMaxDeviceRows,
                          bool keepEvents = false);
    ~DeviceSearch();
    DeviceSearch(const DeviceSearch &) = delete;
    DeviceSearch &operator=(const DeviceSearch &) = delete;

    void Start();
    // Once it returns no answer arrives any more.
    void Stop();
    int SearcherCount() const;
    // The search group itself, for what its searchers report.
    const QUdpCastGroup &Group() const { return *m_group; }

    // Milliseconds since Start.
    int64_t ElapsedMs() const;

    // Runs fn on the tracker under the lock.
    void WithTracker(const std::function<void(DeviceTracker &)> &fn);
    // Takes the events queued so far; `dropped` gets how many were dropped since the
    // last call.
    std::vector<DeviceEvent> TakeEvents(long long &dropped);
    // Marks silent devices; their events join the queue.
    void MarkSilent(int64_t staleAfterMs);

private:
    static void OnAnswer(const char *text, int length, void *user);
    void Queue(std::vector<DeviceEvent> &events);

    std::unique_ptr<QUdpCastGroup> m_group;
    std::chrono::steady_clock::time_point m_start;
    std::mutex m_lock;
    DeviceTracker m_tracker;
    bool m_keepEvents;
    std::vector<DeviceEvent> m_events;
    long long m_droppedEvents = 0;
};

// The local IPv4 addresses of this machine (dotted text), as the search group sees
// them.
std::vector<std::string> LocalAddresses();

} // namespace cli
