#pragma once
// QUdpClient: sends one framed request to one device and waits for its first valid
// answer.
//
// It owns a connected UDP client socket and is that socket's listener: the socket's
// worker appends every datagram of the device to a reassembly buffer, and Request,
// on the caller's thread, sends the request and scans that buffer every 100 ms until
// a frame with a valid message has arrived or the time limit has passed.
//
// The buffer holds at most kMaxBufferedBytes: a datagram that would pass that is
// dropped whole. So each look at the buffer scans a bounded number of bytes (and
// the scanner's failed-body budget bounds the parse work on them), and a flood
// from the device's address cannot keep the caller's thread past the time limit by
// more than one such scan.
//
//     QUdpClient client;
//     if (!client.Connect(address, port, 0, nullptr)) ...   // cannot reach the device
//     Vant::CProtocalJson answer;
//     if (client.Request(request, answer, 10000)) ...       // answer holds the reply
#include <atomic>
#include <cstddef>
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
    // The most bytes the reassembly buffer holds. The device answers a request with
    // one frame; room for two frames of the largest size lets an answer complete
    // behind a frame of that size still arriving. A scan of this many bytes takes a
    // few milliseconds at most.
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

    // Starts the socket towards address:port (UTF-8 text: an IP literal or a host
    // name). connect 0 connects at once; bindAddress may be null. False when the
    // socket could not be started (errno holds the reason).
    bool Connect(const char *address, uint16_t port, int32_t connect, const char *bindAddress);
    // Sends the request framed and waits up to timeoutMs (at least kMinTimeoutMs) for
    // the first valid message, which is left in `answer`. False on a send failure, when
    // nothing valid came in time, or when *cancel (if given) became true meanwhile.
    bool Request(const Vant::IJson &request, Vant::CProtocalJson &answer, int timeoutMs,
                 const std::atomic<bool> *cancel = nullptr);
    // Takes the first valid message out of the reassembly buffer into `answer`; bytes
    // behind it stay for the next call. False when the buffer holds none.
    bool ReadResponse(Vant::CProtocalJson &answer);
    // Bytes waiting in the reassembly buffer.
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
    // Attaches a fresh reassembly buffer to the socket (replacing an earlier one).
    ListenerReply SocketConnected(IUdpClient *sender, uint32_t connectionId) override;

private:
    // Guards the reassembly buffer (the socket's user data): appends on the socket's
    // worker, scans on the caller's thread.
    mutable std::mutex m_bufferLock;
    IUdpClient *m_clientSocket;
    std::string m_onLinkInterface;
};
