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
// Reassembly state is kept only for senders with an incomplete frame: an entry is
// made when a datagram leaves bytes behind and dropped as soon as a scan empties
// it. What all entries hold together is capped (kMaxPendingSenders,
// kMaxPendingBytes); when a datagram passes a cap, the senders whose incomplete
// frames are oldest lose them.
//
// A socket that is not running (its start failed, or its worker ended on an error)
// is started again, with the same calls, at the next periodic send.
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kit/Thread.h"
#include "protocol/Frame.h"
#include "protocol/LocalAddresses.h"
#include "transport/Listener.h"

class IUdpCast;
class QUdpCastGroup;
namespace Vant {
class CProtocalJson;
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
    // What an entry costs besides its buffer (the map node, the sender text twice,
    // the age list node, the allocator's headers), rounded up.
    static constexpr std::size_t kPendingEntryCost = 256;
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

    // Appends a datagram to the buffer of `sender` and handles every complete frame.
    void PushData(const std::string &sender, const uint8_t *data, int32_t length);
    // The broadcaster's frame scan of one buffer; call with m_bufferLock held.
    void ParseBuffer(FrameBuffer &buffer);

    // Senders with an incomplete frame held, and the memory charged for them.
    std::size_t PendingSenders() const;
    std::size_t PendingBytes() const;

    const std::string &BindAddress() const { return m_bindAddress; }
    // The address entry (interface, subnet) handed with every answer; set by the
    // group before Start(), read only afterwards. Without it only the address is known.
    void SetHeardOn(const InterfaceAddress &heardOn) { m_heardOn = heardOn; }
    // The socket, for tests and diagnostics (null only when it could not be made).
    IUdpCast *Socket() const { return m_castSocket; }

private:
    // The socket set-up of the start: broadcast mode, bound to the address.
    void StartSocket();
    // Says on the standard error, once, that the socket runs without a broadcast
    // receiver it should have.
    void ReportMissingCompanion();
    // Logs a parsed message and dispatches it when it is a search answer.
    void HandleMessage(Vant::CProtocalJson &message);

    // The reassembly state of one sender with an incomplete frame.
    struct Pending {
        FrameBuffer buffer;
        std::list<std::string>::iterator age; // its place in m_age
        std::size_t charge = 0;               // its share of m_pendingBytes
    };
    using PendingMap = std::unordered_map<std::string, Pending>;
    // After a scan of `entry`: drops it when empty, else charges it anew and
    // evicts the oldest other entries while a cap is passed.
    void Settle(PendingMap::iterator entry) noexcept;
    void Erase(PendingMap::iterator entry) noexcept;
    // Makes an entry for `sender` holding what a scan left in `scanned`, if anything.
    void Keep(const std::string &sender, FrameBuffer &scanned) noexcept;

    IUdpCast *m_castSocket;
    uint32_t m_lastSearchTick;
    mutable std::mutex m_bufferLock;
    PendingMap m_pending;
    std::list<std::string> m_age; // senders of m_pending, oldest first
    std::size_t m_pendingBytes = 0;
    std::string m_bindAddress;
    InterfaceAddress m_heardOn;
    QUdpCastGroup *m_group;
    bool m_companionReported = false; // only the searcher's worker touches it
};
