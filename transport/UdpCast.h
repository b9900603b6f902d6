#pragma once
// CUdpCast: a datagram socket bound to one local address and port that sends every
// datagram to one cast address (255.255.255.255 in Broadcast mode, a group in
// Multicast mode) and hands every datagram it receives, with its sender, to the
// listener. A started socket owns one worker thread: it waits in one poll() for
// the socket(s), the send signal and the stop signal.
//
// Linux delivers to a socket bound to a unicast address only the datagrams sent to
// that address, never those broadcast or sent to a group. So with a bind address
// the socket adds a receive-only companion: in Broadcast mode one bound to
// 255.255.255.255 and the same port on the adapter of the bind address, in
// Multicast mode one bound to the group and the same port, joined to the group on
// that adapter. Its datagrams reach the listener exactly like the bound socket's,
// and after BeforeConnect it gets the bound socket's receive buffer size.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "kit/ByteBuffer.h"
#include "transport/Address.h"
#include "transport/IUdpCast.h"
#include "transport/LinuxEventWait.h"
#include "transport/Listener.h"
#include "transport/Outbox.h"
#include "transport/SocketLifecycle.h"

class CUdpCast : public IUdpCast {
public:
    // The listener is not owned and must outlive the socket.
    explicit CUdpCast(IUdpCastListener *listener);
    // Stops the socket first. Do not delete a socket from inside its own notification.
    ~CUdpCast() override;
    CUdpCast(const CUdpCast &) = delete;
    CUdpCast &operator=(const CUdpCast &) = delete;

    // remoteAddress: the group in Multicast mode (IP literal or host name), ignored in
    // Broadcast mode; port: destination and local port; connect: ignored;
    // bindAddress: null or empty for the wildcard, else an IP literal.
    bool Start(const char *remoteAddress, uint16_t port, int32_t connect, const char *bindAddress) override;
    bool Start(uint16_t destinationPort, uint16_t localPort, int32_t connect, const char *bindAddress) override;
    bool Stop() override;
    bool Send(const uint8_t *data, int32_t length, int32_t offset) override;
    bool SendBuffers(const GatherBuffer buffers[], int32_t count) override;
    bool PauseReceiving(bool pause) override;
    void SetUserData(void *value) override { m_userData.store(value, std::memory_order_relaxed); }
    void *GetUserData() const override { return m_userData.load(std::memory_order_relaxed); }
    bool IsEncrypted() const override { return false; }
    bool IsActive() const override { return m_life.IsActive(); }
    SocketState GetState() const override { return m_life.State(); }
    SocketError GetLastErrorCode() const override { return m_life.LastError(); }
    const char *GetLastErrorText() const override { return SocketErrorText(m_life.LastError()); }
    uint32_t GetConnectionId() const override { return m_connectionId.load(std::memory_order_relaxed); }
    bool GetLocalAddress(char *address, int32_t &length, uint16_t &port) const override;
    bool GetRemoteHost(char *address, int32_t &length, uint16_t &port) const override;
    bool GetPendingBytes(int32_t &count) const override;
    bool IsReceivingPaused(bool &paused) const override;
    void SetPoolSize(int32_t size) override { Configure(m_poolSize, size); }
    void SetPoolHold(int32_t hold) override { Configure(m_poolHold, hold); }
    int32_t GetPoolSize() const override { return m_poolSize.load(std::memory_order_relaxed); }
    int32_t GetPoolHold() const override { return m_poolHold.load(std::memory_order_relaxed); }

    void SetMaxDatagramSize(int32_t size) override { Configure(m_maxDatagramSize, size); }
    int32_t GetMaxDatagramSize() const override { return m_maxDatagramSize.load(std::memory_order_relaxed); }
    void SetReuseAddress(int32_t reuse) override { Configure(m_reuseAddress, reuse); }
    int32_t GetReuseAddress() const override { return m_reuseAddress.load(std::memory_order_relaxed); }
    void SetCastMode(CastMode mode) override
    {
        Configure(m_castMode, static_cast<int32_t>(mode));
    }
    CastMode GetCastMode() const override { return static_cast<CastMode>(m_castMode.load(std::memory_order_relaxed)); }
    void SetMulticastTtl(int32_t ttl) override { Configure(m_multicastTtl, ttl); }
    int32_t GetMulticastTtl() const override { return m_multicastTtl.load(std::memory_order_relaxed); }
    void SetMulticastLoop(int32_t loop) override { Configure(m_multicastLoop, loop); }
    int32_t GetMulticastLoop() const override { return m_multicastLoop.load(std::memory_order_relaxed); }
    bool GetSenderAddress(char *address, int32_t &length, uint16_t &port) const override;

    // For tests and diagnostics: the socket's send buffer pool.
    const ItemPool &Pool() const { return m_outbox.Pool(); }
    // For tests and diagnostics, while the socket runs (read it on the thread that
    // started it, or after seeing the state Started): the receive-only companion (see
    // the class comment), or kInvalidSocket.
    SocketHandle ReceiveOnlySocket() const { return m_receiveOnlySocket; }

protected:
    virtual ListenerReply NotifyBeforeConnect(SocketHandle socket);
    // SocketConnected, then SocketReady unless the first answered Abort.
    virtual ListenerReply NotifyConnected();
    virtual ListenerReply NotifyReady();
    virtual void NotifySent(const uint8_t *data, int32_t length);
    virtual ListenerReply NotifyAuxiliary(int32_t value);
    virtual ListenerReply NotifyReceived(const uint8_t *data, int32_t length);
    virtual void NotifyClosed(CloseOperation operation, int32_t errorCode);
    virtual bool CheckParameters() const;
    virtual void PrepareStart();
    virtual void ResetState();
    virtual void WorkerThreadEnded(std::thread::id threadId);

private:
    // How a step of the worker ended.
    enum class Step {
        Continue,
        Leave,     // the worker ends and stops the socket
        Abandoned, // the listener stopped the socket on this thread; touch nothing more
    };

    bool StartCast(const char *remoteAddress, uint16_t port, uint16_t destinationPort, const char *bindAddress);
    bool CreateSocket(const char *remoteAddress, uint16_t port, uint16_t destinationPort, const char *bindAddress,
                      SockAddr &bindRecord);
    bool BindSocket(SockAddr &bindRecord);
    bool ConnectStep(const SockAddr &bindRecord);
    bool FailStart(SocketError code, int error);
    bool StopSocket(bool failedStart);

    void WorkerLoop();
    Step HandleSocketEvents(const WaitResult &wait);
    Step ReceiveLoop(int fd);
    Step DrainQueue();
    void Record(CloseOperation operation, int32_t code);

    // Configuration setters change nothing while the socket is not Stopped.
    void Configure(std::atomic<int32_t> &field, int32_t value);

    IUdpCastListener *const m_listener;

    // What Stop reports through SocketClosed.
    bool m_notifyClose = true;
    CloseOperation m_closeOperation = CloseOperation::Close;
    int32_t m_closeErrorCode = 0;

    std::atomic<int> m_socket{kInvalidSocket};
    int m_receiveOnlySocket = kInvalidSocket; // see the class comment
    std::atomic<uint32_t> m_connectionId{0};

    std::atomic<int32_t> m_reuseAddress{0};
    std::atomic<int32_t> m_maxDatagramSize{1472};
    std::atomic<int32_t> m_poolSize{10};
    std::atomic<int32_t> m_poolHold{40};
    std::atomic<int32_t> m_multicastTtl{1};
    std::atomic<int32_t> m_multicastLoop{0};
    std::atomic<int32_t> m_castMode{static_cast<int32_t>(CastMode::Multicast)};

    SocketLifecycle m_life;
    std::atomic<bool> m_ready{false}; // Send, SendBuffers and PauseReceiving need it
    std::atomic<void *> m_userData{nullptr};

    SockAddr m_castAddress{};   // under the queue lock once started
    mutable std::mutex m_senderLock;
    SockAddr m_senderAddress{}; // the sender of the datagram being delivered
    ByteBuffer m_receiveBuffer; // worker only
    std::string m_remoteAddressText; // under the queue lock
    uint16_t m_remotePort = 0;       // under the queue lock

    EventSignal m_sendSignal;
    EventSignal m_stopSignal;
    Outbox m_outbox{m_sendSignal};
    std::atomic<bool> m_receivingPaused{false};
    bool m_waitingWritable = false; // worker only: a datagram waits for POLLOUT
};
