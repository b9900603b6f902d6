#pragma once
// QUdpClient: sends one framed request to one device and waits for its first valid
// answer.
//
// It owns a connected UDP client socket and is that socket's listener: the socket's
// worker adds every datagram of the device to a reassembly buffer (AddDatagram,
// protocol/Frame.h: an incomplete frame waits at most kPendingFrameTimeoutMs, and a
// datagram beginning with a whole valid frame starts afresh) and scans it at once;
// each valid message found is kept, framed, in a second buffer of answers. Request,
// on the caller's thread, sends the request and looks at the answers every 100 ms
// until one has arrived or the time limit has passed.
//
// Each buffer holds at most kMaxBufferedBytes: a datagram that would pass that is
// dropped whole, and so is an answer once the answers fill theirs. So the work per
// datagram and per look is bounded (the scanner's failed-body budget bounds the
// parse work), and neither a flood nor a forged frame header from the device's
// address keeps its answer from the caller.
//
//     QUdpClient client;
//     if (!client.Connect(address, port, 0, nullptr)) ...   // cannot reach the device
//     Vant::CProtocalJson answer;
//     if (client.Request(request, answer, 10000)) ...       // answer holds the reply
#include <atomic>
#include <cstddef>
#include <functional>
#include <cstdint>
#include <mutex>
#include <string>

#include "protocol/Frame.h"

#include "transport/Listener.h"

namespace Vant {
class IJson;
class CProtocalJson;
} // namespace Vant

class QUdpClient : public CUdpClientListener {
public:
    // Requests never wait less than this, whatever limit the caller gives.
    static constexpr int kMinTimeoutMs = 3000;
    // Pause between two looks at the reassembly buffer.
    static constexpr int kPollMs = 100;
    // The most bytes each of the two buffers holds: each candidate of the incomplete
    // frame (less than one frame of the largest size after a scan, so a datagram
    // always fits; at most kMaxFrameCandidates of them, protocol/Frame.h) and the
    // answers not yet taken. The device answers a request with one frame; room for
    // two of the largest size keeps an answer behind one such frame. A scan of this
    // many bytes takes a few milliseconds at most.
    static constexpr uint32_t kMaxBufferedBytes = 2 * kMaxFrameSize;

    QUdpClient();
    // Stops and deletes the socket, then releases the reassembly buffer.
    ~QUdpClient() override;
    QUdpClient(const QUdpClient &) = delete;
    QUdpClient &operator=(const QUdpClient &) = delete;

    // Sends on-link through interface `device` (never an address label) from the next
    // Connect on: for a device outside every subnet of this machine, which no route
    // reaches. Empty: the routing table decides, as usual.
    void SetOnLinkInterface(const std::string &device) { m_onLinkInterface = device; }

    // Decides, right before a request leaves, how it leaves (device/Delivery.h): by this
    // socket, already sent another way (by the device's MAC, from this very socket's
    // local address and port, handed over as `socket`, so the answer still comes
    // here), or not at all.
    enum class Route { Socket, SentElsewhere, Withheld };
    using RouteChooser = std::function<Route(const std::string &frame, int socket)>;
    void SetRouteChooser(RouteChooser chooser) { m_chooseRoute = std::move(chooser); }
    // Off: the socket sends no empty keep-alive datagrams (not at its start either).
    // A request delivered exactly (device/Delivery.h) must not be preceded by a
    // datagram that the neighbour table sends to whichever device holds the address.
    void SetKeepAlive(bool on);
    // Whether the last Request sent its request (false when the chooser withheld it).
    bool RequestSent() const { return m_requestSent; }

    // Starts the socket towards address:port (UTF-8 text: an IP literal or a host
    // name). connect 0 connects at once; bindAddress may be null. False when the
    // socket could not be started (errno holds the reason).
    bool Connect(const char *address, uint16_t port, int32_t connect, const char *bindAddress);
    // Sends the request framed and waits up to timeoutMs (at least kMinTimeoutMs) for
    // the first valid message, which is left in `answer`. False on a send failure, when
    // nothing valid came in time, or when *cancel (if given) became true meanwhile.
    bool Request(const Vant::IJson &request, Vant::CProtocalJson &answer, int timeoutMs,
                 const std::atomic<bool> *cancel = nullptr);
    // Takes the first valid message received and not yet taken into `answer`; the
    // ones behind it stay for the next call. False when there is none.
    bool ReadResponse(Vant::CProtocalJson &answer);
    // Bytes waiting: an incomplete frame and the answers not yet taken.
    std::size_t BufferedBytes() const;

    // Listener operations, on the socket's threads.
    ListenerReply SocketReady(IUdpClient *sender, uint32_t connectionId) override;
    ListenerReply DatagramSent(IUdpClient *sender, uint32_t connectionId, const uint8_t *data,
                               int32_t length) override;
    ListenerReply DatagramReceived(IUdpClient *sender, uint32_t connectionId, const uint8_t *data,
                                   int32_t length) override;
    ListenerReply SocketClosed(IUdpClient *sender, uint32_t connectionId, CloseOperation operation,
                               int32_t errorCode) override;
    ListenerReply BeforeConnect(IUdpClient *sender, uint32_t connectionId, SocketHandle socket) override;
    // Attaches fresh buffers to the socket (replacing earlier ones).
    ListenerReply SocketConnected(IUdpClient *sender, uint32_t connectionId) override;

    struct Buffers;

private:
    // Guards the buffers (the socket's user data): filled on the socket's worker,
    // read on the caller's thread.
    mutable std::mutex m_bufferLock;
    IUdpClient *m_clientSocket;
    std::string m_onLinkInterface;
    RouteChooser m_chooseRoute;
    bool m_requestSent = false;
    std::atomic<int> m_handle{-1}; // the socket's descriptor, known from BeforeConnect
};
