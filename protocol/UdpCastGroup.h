#pragma once
// The device search: one searcher (QUdpCast) per local IPv4 address, all handing
// the search answers they receive to one callback.
//
// The group follows the machine's addresses while it runs (a cable plugged in late,
// a DHCP lease, a USB adapter, a VPN, an alias added by hand): every search interval
// its watcher reads the interface list again, gives a new address its searcher, stops
// and removes the searcher of an address that has gone, and leaves every other
// searcher alone. The same rules decide at the start and at every rescan which
// addresses are searched: those of interfaces that are up, running, not loopback and
// broadcast or point-to-point capable (UnsearchedReason), one searcher per address
// and interface (SearchTargets). An address is known by its interface's index as
// well, so an interface deleted and re-created under the same name gets fresh
// searchers and receivers within one period.
//
// Broadcast answers to port 19009 are received by the group's receivers, one per
// interface and broadcast address (QBroadcastReceiver), each handing its datagrams
// to the first searcher of its interface: every answer is handled once, however many
// addresses the interface has. A receiver that cannot be made is said once on the
// standard error and tried again at every rescan.
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/LocalAddresses.h"
#include "protocol/RangeSearch.h"
#include "protocol/SearchRanges.h"
#include "protocol/Searcher.h"

namespace Vant {
class CProtocalJson;
}
class QUdpCast;
class QAddressWatch;
class QBroadcastReceiver;

// Receives one accepted search answer: the compact JSON text (NUL-terminated, valid
// only during the call), its length in bytes without the NUL, and the user pointer
// given to the group. Called on the socket threads of the searchers, one call at a
// time per searcher but possibly from several searchers at once.
typedef void (*UdpMsgCallBack)(const char *text, int length, void *user);

// Receives one accepted search answer as the searcher parsed it, with the local
// address (and its interface and subnet) whose searcher heard it, the datagram's
// source, and the user pointer. Called as UdpMsgCallBack is. `message`, `heardOn` and
// `source` are valid only during the call and belong to the searcher, which reuses
// the message for its next answer: read them (the const accessors of the message
// change nothing), copy what is kept, and keep no reference.
typedef void (*UdpAnswerCallBack)(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn,
                                  const AnswerSource &source, void *user);

class QUdpCastGroup {
public:
    // Answers whether a local address (dotted text) is to be searched.
    using AddressFilter = std::function<bool(const std::string &address)>;

    QUdpCastGroup(UdpMsgCallBack callback, void *user);
    // Stops any searcher still running (the owner normally calls Stop first).
    ~QUdpCastGroup();

    QUdpCastGroup(const QUdpCastGroup &) = delete;
    QUdpCastGroup &operator=(const QUdpCastGroup &) = delete;

    // Hands every answer to `callback` (with the constructor's user pointer) instead
    // of the constructor's callback. Call before Start.
    void SetAnswerCallBack(UdpAnswerCallBack callback) { m_answerCallback = callback; }
    // Limits the search to the local addresses `keep` accepts, at the start and at
    // every rescan (without a filter every address is searched). Call before Start.
    void SetAddressFilter(AddressFilter keep);
    // Where a list that cannot be read is reported (the standard output by default; a
    // program whose standard output is data sets the standard error). Call before Start.
    void SetReportStream(std::FILE *out) { m_report = out; }
    // Where the interface list comes from (the system's by default). Call before Start.
    void SetInterfaceList(const InterfaceListCalls &calls);
    // Search ranges to search by unicast besides the broadcasts, at `rate` requests
    // per second (0: kDefaultRangeRate), see protocol/RangeSearch.h. None (the
    // default): nothing is sent but the broadcasts. Before Start, or while the group
    // runs (the range search starts afresh with the new ranges); not during Stop.
    void SetRanges(SearchRanges ranges, unsigned rate);
    // The range search's figures; all 0 without ranges.
    QRangeSearch::Status RangeStatus() const;
    // A device is about to take `address` (dotted text): when it lies in a range, it
    // is asked every round from now on, so its first answer there comes within a
    // period instead of when the sweep reaches it. Any thread.
    void AskEveryRound(const std::string &address);
    // Queues a range request to `destination` on the searcher of local address
    // `source` (network byte order); false when no searcher has it. The range search
    // calls it.
    bool QueueRangeRequest(in_addr_t source, const sockaddr_in &destination);

    // Creates one running searcher per local IPv4 address other than "127.0.0.1" (in
    // the order the system lists them, duplicates included), then starts the watcher
    // that rescans every search interval. Called once, right after construction.
    void Start();
    // Stops the watcher, then stops and deletes every searcher, one after another;
    // once it returns, no callback is running and none will come.
    void Stop();
    // Reads the interface list and brings the searchers in line with it (see the
    // class comment). True when a searcher was added or removed. A list that cannot
    // be read changes nothing. The watcher calls it; tests and benchmarks may too,
    // but not at the same time as Start or Stop.
    bool Rescan();
    // Hands one answer, heard by the searcher of `heardOn` from `source`, to the callback: the
    // answer callback gets `message`, the constructor's callback its compact text
    // `text` (the escaped text the searcher logs).
    void Dispatch(const Vant::CProtocalJson &message, const std::string &text, const InterfaceAddress &heardOn,
                  const AnswerSource &source);

    // Fills result's "params"."data" with one {"IPAddr": text} record per assigned
    // IPv4 address of the host, in the order the system lists them ("0.0.0.0"
    // skipped, loopback and duplicates kept). False when the list could not be read;
    // the reason is printed on the standard output.
    static bool GetLocalAddresses(Vant::CProtocalJson &result);

    // The number of searchers running (for diagnostics and tests).
    int SearcherCount() const;
    // The addresses searched, one per searcher, in order (for diagnostics and tests).
    std::vector<std::string> SearchedAddresses() const;

    // One searcher as `doctor` and the window report it.
    struct SearcherState {
        SearchTarget target;
        QUdpCast::SocketStatus socket;
    };
    std::vector<SearcherState> SearcherStates() const;
    // One shared broadcast receiver.
    struct ReceiverState {
        std::string name; // "255.255.255.255:19009 on eth0"
        bool running = false;
        std::string failure;
    };
    std::vector<ReceiverState> ReceiverStates() const;
    // Waits until every searcher has tried to open its socket once, at most
    // timeoutMs; false when some had not by then.
    bool WaitForSockets(int timeoutMs) const;
    // Why no request can leave although there are searchers: every searcher's socket
    // failed to open (one line naming each address, the port and, when the system
    // tells, the program holding it). "" when at least one runs, or none exists.
    std::string CannotSearchReason() const;
    // Searchers whose port 19009 was held, so that they search from another port
    // (one line each, as the standard error said it). Empty when there are none.
    std::vector<std::string> OtherPortNotes() const;

private:
    // Rescan; `report` prints why the list could not be read.
    bool Update(bool report);
    // What gets a searcher of the addresses `found`.
    std::vector<SearchTarget> Searched(const std::vector<InterfaceAddress> &found) const;
    // Brings the shared receivers in line with the searchers `casts` of `targets`:
    // a receiver no target needs goes, every other points to the first searcher of
    // its interface. Call under m_rescanLock, before searchers are deleted.
    void RetargetReceivers(const std::vector<SearchTarget> &targets, const std::vector<QUdpCast *> &casts);
    // Makes the receivers that are missing and starts again those that stopped.
    void OpenReceivers();
    // Requests every stop at once, then waits for each searcher and deletes it.
    static void StopSearchers(const std::vector<QUdpCast *> &searchers);

    UdpMsgCallBack m_callback = nullptr;
    UdpAnswerCallBack m_answerCallback = nullptr;
    void *m_user;
    AddressFilter m_filter;
    std::FILE *m_report = stdout;
    InterfaceListCalls m_interfaces;
    std::unique_ptr<QAddressWatch> m_watch;
    SearchRanges m_ranges;
    unsigned m_rangeRate = 0;
    bool m_started = false;
    // Made by Start (or SetRanges once started) when there are ranges. The searchers'
    // socket threads tell it of answers (Dispatch), so it is swapped under its lock
    // and kept alive by their copies while they use it.
    mutable std::mutex m_rangeLock;
    std::shared_ptr<QRangeSearch> m_rangeSearch;
    // The range search without the lock (SetRanges, Stop: not at the same time).
    void ReplaceRangeSearch(std::shared_ptr<QRangeSearch> next);
    std::mutex m_rescanLock;    // one rescan at a time
    mutable std::mutex m_lock;  // guards the two lists below
    std::vector<QUdpCast *> m_casts;
    std::vector<SearchTarget> m_searched; // the target of each searcher of m_casts
    std::vector<std::unique_ptr<QBroadcastReceiver>> m_receivers; // structure under both locks
};
