#pragma once
// QUdpCast: the searcher of one local IPv4 address.
//
// Its worker thread (a Vant::CThread) starts a broadcast socket bound to the address
// and port 19009 and sends the search request to 255.255.255.255:19010 right away
// and then every 5000 ms. It is also the socket's listener: on the socket's worker
// thread every datagram is appended to the reassembly buffer of its sender and
// scanned for frames; every valid message is logged under "UdpCast", and every
// search answer goes to the group, which hands it to the window's callback.
//
// Reassembly state is kept only for senders (address and port) with an incomplete
// frame: an entry is made when a datagram leaves bytes behind and dropped as soon as
// a scan empties it, when it has had no datagram for kPendingFrameTimeoutMs, or
// when its sender starts afresh with a whole frame (AddDatagram, protocol/Frame.h).
// What all entries hold together is capped (kMaxPendingSenders, kMaxPendingBytes);
// when a datagram passes a cap, the senders that have waited longest lose them.
//
// A socket that is not running (its start failed, or its worker ended on an error)
// is started again, with the same calls, at the next periodic send. A failed send
// costs only that request: the socket keeps receiving, and the failure is counted
// by kind and said once on the standard error.
//
// Port 19009 held by another program on the address (a second instance of the tool,
// a service): the searcher sends from a port the system picks instead, with broadcast
// receivers of its own on that port, and says once on the standard error who holds
// 19009. Devices answer the request's source port, so they are heard; a device that
// answers only to 19009 is not. Sharing 19009 instead (SO_REUSEADDR, SO_REUSEPORT)
// would let the kernel hand each unicast answer to only one of the two programs,
// taking answers from the one that was there first. At every period the searcher
// looks whether 19009 has become free and, if so, moves back to it.
//
// The same holds when the group's shared receiver of broadcast answers to 19009 on
// the searcher's interface (255.255.255.255 or a subnet's broadcast address) cannot
// be bound because another program holds it (SetBroadcastPortHeld): broadcast
// answers to 19009 would reach nobody here, so the searcher moves to a port with
// receivers of its own, and back once the group's receiver runs again.
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "kit/Thread.h"
#include "protocol/Frame.h"
#include "protocol/LocalAddresses.h"
#include "transport/Listener.h"

class IUdpCast;
class QUdpCastGroup;

// Where a datagram came from: its source address (dotted IPv4 text) and port, as
// the socket received it. The address a device announces in its answer is only what
// it claims; this is where the answer was actually sent from.
struct AnswerSource {
    const std::string *address = nullptr; // the text lives as long as the callback
    uint16_t port = 0;
};
namespace Vant {
class CProtocalJson;
class IClock;
}

class QUdpCast : public Vant::CThread, public CUdpCastListener {
public:
    static constexpr uint16_t kDestinationPort = 19010;
    static constexpr uint16_t kLocalPort = 19009;
    static constexpr uint32_t kSearchIntervalMs = 5000;
    // OnRun's pause when the socket could not even be created.
    static constexpr int kNoSocketPauseMs = 100;
    // Room for the sender's address text.
    static constexpr int32_t kSenderTextSize = 50;
    static constexpr const char *kLogTag = "UdpCast";
    static constexpr const char *kSearchApi = "/brenu/model/searchbrenu.htm";
    // Receive buffer asked for (the kernel grants at most net.core.rmem_max): a few
    // thousand answers arriving within 200 ms fit in it.
    static constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
    // The most senders with an incomplete frame a searcher holds at once. Devices
    // answer in one datagram each, so a LAN of thousands of devices leaves next to
    // none pending; a frame split over datagrams waits only until its last part, a
    // few milliseconds. Sixteen thousand is far above that and, with the byte cap,
    // keeps forged sender addresses from growing the searcher without bound.
    static constexpr std::size_t kMaxPendingSenders = 16384;
    // The most memory all pending entries may take together, counted as each
    // buffer's capacity plus kPendingEntryCost. 8 MiB holds nearly 5000 senders
    // each with a whole 1472-byte datagram of a split frame waiting at the same
    // instant, or over a hundred frames of the largest size, while a real LAN
    // rarely has even one pending; it stays small beside the window's own memory.
    static constexpr std::size_t kMaxPendingBytes = 8 * 1024 * 1024;
    // What an entry costs besides its buffer (the map node, the age list node, the
    // allocator's headers), rounded up.
    static constexpr std::size_t kPendingEntryCost = 256;
    // The entries are found in an ordered map keyed by the sender's address and port
    // as one integer, never in a hash table: every sender on the LAN chooses its own
    // key, and keys chosen to collide under a known hash would make each datagram
    // walk one long bucket. A lookup among kMaxPendingSenders entries is at most
    // about 15 comparisons of integers, whatever the keys; making an entry, moving
    // it to the newest end of the age list and evicting the oldest cost the same.
    // Range requests (protocol/RangeSearch.h) waiting for the worker's next step,
    // which comes every 10 ms. The range search hands over at most kMaxRangeRate per
    // second, so a second's worth at that rate is far more than a healthy searcher
    // ever holds; it bounds the queue of a searcher whose socket is down (its requests
    // beyond the bound are dropped and counted, as its sends would fail anyway).
    static constexpr std::size_t kMaxQueuedRangeRequests = 2000;
    // The worker is created parked; the owner calls Start() once this constructor has
    // returned (startSuspended true: it then waits for Resume() as well).
    QUdpCast(const std::string &bindAddress, QUdpCastGroup *group, bool startSuspended);
    // Call only after the worker has exited: deletes the socket and the buffers.
    ~QUdpCast() override;

    void OnBegin() override;
    void OnRun() override;
    void OnEnd() override;

    ListenerReply SocketReady(IUdpCast *sender, uint32_t connectionId) override;
    ListenerReply DatagramSent(IUdpCast *sender, uint32_t connectionId, const uint8_t *data,
                               int32_t length) override;
    ListenerReply DatagramReceived(IUdpCast *sender, uint32_t connectionId, const uint8_t *data,
                                   int32_t length) override;
    ListenerReply SocketClosed(IUdpCast *sender, uint32_t connectionId, CloseOperation operation,
                               int32_t errorCode) override;
    ListenerReply BeforeConnect(IUdpCast *sender, uint32_t connectionId, SocketHandle socket) override;
    ListenerReply SocketConnected(IUdpCast *sender, uint32_t connectionId) override;

    // Adds a datagram from address:port (dotted IPv4 text) to that sender's
    // reassembly state and handles every complete frame.
    void PushData(const std::string &address, uint16_t port, const uint8_t *data, int32_t length);
    // Where PushData reads the time that expires incomplete frames (the system
    // clock unless a test sets another). Call before the first datagram.
    void SetPendingClock(std::shared_ptr<Vant::IClock> clock);
    // The broadcaster's frame scan of one buffer; call with m_bufferLock held.
    void ParseBuffer(FrameBuffer &buffer);

    // Senders with an incomplete frame held, and the memory charged for them.
    std::size_t PendingSenders() const;
    std::size_t PendingBytes() const;

    const std::string &BindAddress() const { return m_bindAddress; }
    // Ties the searcher to one interface; the group calls it before Start. The socket
    // then sends and receives on target.device only, and broadcast answers to port
    // 19009 are left to the group's shared receivers (one per interface and broadcast
    // address, so that each answer is handled once); only on another port does the
    // socket open receivers of its own, for target.broadcasts. Without a target the
    // socket finds the interface of its address itself and opens its own receivers.
    // The target also names the address entry (interface, subnet) handed with every
    // answer; without one only the address is known.
    void SetTarget(const SearchTarget &target);
    // The interface the searcher is tied to ("" and 0 when it is not).
    const std::string &InterfaceName() const { return m_target.device; }
    unsigned InterfaceIndex() const { return m_target.index; }

    // How the searcher's socket runs, for the group's status and `doctor`.
    enum class SocketUse {
        NotYet,     // the worker has not tried to start it yet
        SearchPort, // running on port 19009
        OtherPort,  // 19009 is held: running on a port the system picked
        Failed,     // could not start; tried again at the next request
    };
    struct SocketStatus {
        SocketUse use = SocketUse::NotYet;
        uint16_t port = 0;            // the local port requests leave from
        int error = 0;                // why 19009 (OtherPort) or every port (Failed) was refused
        std::string holder;           // who holds 19009 when that was the reason (see UdpPortHolder)
        std::string heldBroadcast;    // the broadcast address whose port 19009 was held, if that was the reason
        std::string companionFailure; // a broadcast receiver of its own that is missing
        std::map<int, uint64_t> sendErrors; // failed sends by errno since the start
    };
    SocketStatus Status() const;
    // Called by the group: the shared receiver for `broadcast` (dotted text) on this
    // searcher's interface cannot be bound, held by `holder`; "" when every receiver
    // of the interface runs. The searcher follows at its next request.
    void SetBroadcastPortHeld(const std::string &broadcast, const std::string &holder);
    // "port 19009 is in use[ by HOLDER]": why the search left its port.
    static std::string PortInUseText(const SocketStatus &status);
    // "REASON[, held by HOLDER]": why no search port could be opened.
    static std::string PortFailureText(const SocketStatus &status);
    // Queues one unicast search request to `destination`, sent from this searcher's
    // socket at its next step; any thread. False when the queue is full.
    bool QueueRangeRequest(const sockaddr_in &destination);
    // The bind address in network byte order (0 when it is not dotted IPv4 text).
    in_addr_t BindIp() const { return m_bindIp; }
    // Range requests sent, dropped (queue full) and failed to leave, since the start.
    struct RangeCounts {
        uint64_t sent = 0, dropped = 0, failed = 0;
        int lastError = 0;
    };
    RangeCounts RangeRequests() const;
    // The socket, for tests and diagnostics (null only when it could not be made).
    IUdpCast *Socket() const { return m_castSocket; }

private:
    // The socket set-up of the start: broadcast mode, bound to the address, on port
    // 19009 or, when that is held, on a port the system picks (see the class comment).
    void StartSocket();
    // On another port: back to 19009 once nothing holds it there (neither the
    // address's port nor the interface's broadcast receiver). On 19009 while the
    // broadcast receiver is held: off to another port.
    void ReturnToSearchPort();
    void NoteStart(SocketUse use, uint16_t port, int error, const std::string &holder,
                   const std::string &heldBroadcast = std::string());
    // The broadcast receiver held, as the group last said (broadcast, holder).
    std::pair<std::string, std::string> HeldBroadcast() const;
    // "search from A on IF": how the messages below name the searcher.
    std::string Who() const;
    // Say on the standard error, once per searcher each, that the socket runs without
    // a broadcast receiver it should have, on another port, not at all, or that its
    // requests fail to leave.
    void ReportMissingCompanion();
    void ReportOtherPort();
    void ReportStartFailure();
    void ReportSendErrors();
    // Sends the queued range requests (worker only).
    void SendRangeRequests();
    // Logs a parsed message and dispatches it when it is a search answer.
    void HandleMessage(const Vant::CProtocalJson &message);

    // A sender as one number: the IPv4 address (host order) above the port.
    using SenderKey = uint64_t;
    // The reassembly state of one sender with an incomplete frame.
    struct Pending {
        FrameBuffer buffer;
        std::list<SenderKey>::iterator age; // its place in m_age
        std::size_t charge = 0;             // its share of m_pendingBytes
    };
    using PendingMap = std::map<SenderKey, Pending>;
    // Scans a datagram from a sender without an entry where it lies and makes an
    // entry only for bytes left behind (`keyed` false: none, the sender is unknown).
    void ScanFresh(SenderKey sender, bool keyed, const uint8_t *data, int32_t length, uint32_t now);
    // Adds a datagram to the entry of its sender and scans what the entry holds.
    void ScanPending(PendingMap::iterator entry, const uint8_t *data, int32_t length, uint32_t now);
    // Drops the entries whose pending frame began more than kPendingFrameTimeoutMs ago.
    void ExpirePending(uint32_t now) noexcept;
    // After a scan of `entry`: drops it when empty, else charges it anew and
    // evicts the oldest other entries while a cap is passed.
    void Settle(PendingMap::iterator entry) noexcept;
    void Erase(PendingMap::iterator entry) noexcept;
    // Makes an entry for `sender` holding what a scan left in `scanned`, if anything.
    void Keep(SenderKey sender, FrameBuffer &scanned) noexcept;

    IUdpCast *m_castSocket;
    uint32_t m_lastSearchTick;
    mutable std::mutex m_bufferLock;
    PendingMap m_pending;
    std::list<SenderKey> m_age; // senders of m_pending, the earliest-begun pending frame first
    std::shared_ptr<Vant::IClock> m_pendingClock;
    std::size_t m_pendingBytes = 0;
    // The sender of the datagram being scanned (under m_bufferLock, set by PushData).
    AnswerSource m_scanSource;
    std::string m_bindAddress;
    InterfaceAddress m_heardOn;
    QUdpCastGroup *m_group;
    bool m_companionReported = false; // only the searcher's worker touches it
    bool m_otherPortReported = false;  // only the searcher's worker touches it
    bool m_failureReported = false;    // only the searcher's worker touches it
    bool m_sendErrorsReported = false; // only the searcher's worker touches it
    SearchTarget m_target;             // set before the worker starts
    mutable std::mutex m_heldLock;
    std::string m_heldBroadcast;       // under m_heldLock
    std::string m_heldBroadcastHolder; // under m_heldLock
    in_addr_t m_bindIp = 0;
    std::string m_searchFrame; // the framed search request, built once
    mutable std::mutex m_rangeLock;
    std::vector<sockaddr_in> m_rangeQueue; // under m_rangeLock
    std::vector<sockaddr_in> m_rangeSending; // worker only
    RangeCounts m_rangeCounts;             // under m_rangeLock
    mutable std::mutex m_statusLock;
    SocketStatus m_status; // under m_statusLock, without the socket's live counts
};
