#pragma once
// QRangeSearch: the unicast search of the search ranges (protocol/SearchRanges.h).
//
// Its worker paces one search request to every address of the ranges per round (one
// search period), at most `rate` per second, evenly spread: each 10 ms step sends
// what the time since the pass began allows. Every request leaves from the search
// socket of the local address the system's routing table picks for the destination
// (the group hands it to that searcher, which sends it from its own socket, port
// 19009): the answer comes back to that socket like a broadcast search's unicast
// answer, and a stateful firewall on this machine lets it in as the reply it is.
//
// Round: at the start of each search period the addresses that answered lately are
// asked first, then the sweep through all addresses goes on where it stopped. A sweep
// that fits one period starts afresh at the next; one that does not goes on across
// periods and says so once on the standard error (with how long it takes), so that
// devices that answered are still asked every period while the rest of a large range
// is walked through.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "kit/Thread.h"
#include "protocol/SearchRanges.h"

class QUdpCastGroup;

// The most range addresses remembered as answering, re-asked at the start of every
// round before the sweep goes on. At the default rate 1024 requests take 4.1 s, so
// they fit one 5 s period; each is a real device on a routed subnet (answers from
// addresses outside the ranges are never counted), and a site's routed segments
// seldom hold more. Beyond it further answerers are found by the sweep alone.
constexpr std::size_t kMaxRangeAnswerers = 1024;
// An answerer not heard for this long is no longer re-asked first: three periods,
// the time after which a device is shown as silent.
constexpr uint32_t kRangeAnswererForgetMs = 15000;

class QRangeSearch : public Vant::CThread {
public:
    // The worker is created parked: call Start() once constructed. `group` must
    // outlive the worker (the group stops it first).
    QRangeSearch(QUdpCastGroup *group, SearchRanges ranges, unsigned rate, uint32_t periodMs);
    ~QRangeSearch() override;

    void OnBegin() override;
    void OnRun() override;
    void OnEnd() override;

    // A search answer came from `address` (host byte order), or a device is about to
    // move there: when it lies in a range it is asked at the start of every round
    // from now on (until kRangeAnswererForgetMs without an answer). Any thread.
    void NoteAnswer(uint32_t address);

    struct Status {
        uint32_t addresses = 0;   // per sweep
        unsigned rate = 0;        // requests per second
        uint64_t sent = 0;        // handed to a searcher
        uint64_t unreachable = 0; // no route to the address
        uint64_t noSearcher = 0;  // the route's local address has no searcher
        uint64_t sweeps = 0;      // sweeps completed
        bool overrun = false;     // a sweep has taken longer than one period
        std::size_t answerers = 0;
    };
    Status GetStatus() const;
    const SearchRanges &Ranges() const { return m_ranges; }

private:
    // One request to `address` (host byte order) through the searcher its route picks.
    void Send(uint32_t address);
    void StartRound(uint32_t now);
    void ReportOverrun();

    QUdpCastGroup *m_group;
    const SearchRanges m_ranges;
    const unsigned m_rate;
    const uint32_t m_periodMs;
    int m_probe = -1; // a UDP socket connected to each destination to read its route

    // Worker only.
    uint32_t m_roundStart = 0;
    bool m_started = false;
    uint32_t m_paceStart = 0; // pacing: m_paced requests since m_paceStart
    uint64_t m_paced = 0;
    std::vector<uint32_t> m_reask; // this round's answerers still to ask
    std::size_t m_reaskNext = 0;
    uint32_t m_sweepNext = 0;      // the next index of the sweep
    bool m_sweepDone = false;      // the sweep finished within this round
    bool m_overrunReported = false;

    mutable std::mutex m_lock;
    std::map<uint32_t, uint32_t> m_answerers; // address -> tick of its last answer; under m_lock
    Status m_status;                          // under m_lock
};
