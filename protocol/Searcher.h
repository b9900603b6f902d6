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
// A socket that is not running (its start failed, or its worker ended on an error)
// is started again, with the same calls, at the next periodic send.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kit/ByteBuffer.h"
#include "kit/Thread.h"
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
    void ParseBuffer(ByteBuffer &buffer);

    const std::string &BindAddress() const { return m_bindAddress; }
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

    IUdpCast *m_castSocket;
    uint32_t m_lastSearchTick;
    std::mutex m_bufferLock;
    std::map<std::string, std::unique_ptr<ByteBuffer>> m_buffers;
    std::string m_bindAddress;
    QUdpCastGroup *m_group;
    bool m_companionReported = false; // only the searcher's worker touches it
};
