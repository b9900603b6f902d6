#pragma once
// UdpSocketBase: what CUdpCast and CUdpClient do the same way, over the interface
// each of them implements. It holds the socket, the configuration both have, the
// lifecycle, the send queue and the receive buffer, reports to the listener, and
// runs the common parts of Start, Stop, sending, the queries and the worker's steps.
// The derived socket creates, binds and connects the socket and runs the worker loop.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

#include "kit/ByteBuffer.h"
#include "transport/IUdpCast.h"
#include "transport/IUdpClient.h"
#include "transport/LinuxEventWait.h"
#include "transport/Listener.h"
#include "transport/Outbox.h"
#include "transport/SocketLifecycle.h"

template <class Interface>
class UdpSocketBase : public Interface {
public:
    UdpSocketBase(const UdpSocketBase &) = delete;
    UdpSocketBase &operator=(const UdpSocketBase &) = delete;

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
    uint64_t GetOversizeDropped() const override { return m_oversizeDropped.load(std::memory_order_relaxed); }

    // For tests and diagnostics: the socket's send buffer pool.
    const ItemPool &Pool() const { return m_outbox.Pool(); }

protected:
    // The listener is not owned and must outlive the socket.
    explicit UdpSocketBase(IClientListenerT<Interface> *listener) : m_listener(listener) {}
    // The derived socket's destructor stops the socket: Stop reaches its overrides.
    ~UdpSocketBase() override = default;

    // How a step of the worker ended.
    enum class Step {
        Continue,
        Leave,     // the worker ends and stops the socket
        Abandoned, // the listener stopped the socket on this thread; touch nothing more
    };

    virtual ListenerReply NotifyBeforeConnect(SocketHandle socket);
    // SocketConnected, then SocketReady unless the first answered Abort.
    virtual ListenerReply NotifyConnected();
    virtual ListenerReply NotifyReady();
    virtual void NotifySent(const uint8_t *data, int32_t length);
    virtual ListenerReply NotifyAuxiliary(int32_t value);
    virtual ListenerReply NotifyReceived(const uint8_t *data, int32_t length);
    virtual void NotifyClosed(CloseOperation operation, int32_t errorCode);
    // The configuration both sockets have; the derived socket adds its own.
    virtual bool CheckParameters() const;
    virtual void PrepareStart();
    // Once the socket is closed: forgets the last run and ends in Stopped. The
    // derived socket clears its own state first, then calls this one.
    virtual void ResetState();
    virtual void WorkerThreadEnded(std::thread::id threadId);
    // Closes the socket (and whatever the derived socket opened beside it).
    virtual void CloseSockets();
    // One datagram of the queue onto the socket: the send call's result (errno set).
    virtual ssize_t SendDatagram(int fd, const uint8_t *data, int32_t length) = 0;

    // Start, before the socket exists: checks the parameters, enters Starting and
    // applies the pool configuration. False with the error already recorded.
    bool BeginStartSocket();
    // Start, once the socket is bound: BeforeConnect. False after FailStart.
    bool BeforeConnectStep();
    // Start, once the socket may send: Starting -> Started and SocketConnected (then
    // SocketReady). False with errno set; the caller fails the start.
    bool EnterStarted();
    // Start, last: launches the worker. False after FailStart.
    bool LaunchWorkerStep();
    bool FailStart(SocketError code, int error);
    bool StopSocket(bool failedStart);

    // The worker's common steps.
    void Record(CloseOperation operation, int32_t code);
    // Hands a received datagram to the listener.
    Step Deliver(const uint8_t *data, int32_t length);
    // A received datagram was longer than maxDatagramSize. No device message comes
    // near that size, and the buffer holds only its cut-off start, which would reach
    // the listener as a corrupt message: it is dropped and counted, and the worker
    // goes on receiving. Ending the socket instead would let any host on the LAN
    // silence it with one datagram until its owner starts it again.
    void DropOversize() { m_oversizeDropped.fetch_add(1, std::memory_order_relaxed); }
    Step DrainQueue();
    // The receive buffer for the worker; false after recording OutOfMemory.
    bool AllocateReceiveBuffer();
    virtual void WorkerLoop() = 0;

    // Configuration setters change nothing while the socket is not Stopped.
    void Configure(std::atomic<int32_t> &field, int32_t value);

    static int ErrorOr(int error, int fallback) { return error != 0 ? error : fallback; }

    IClientListenerT<Interface> *const m_listener;

    // What Stop reports through SocketClosed.
    bool m_notifyClose = true;
    CloseOperation m_closeOperation = CloseOperation::Close;
    int32_t m_closeErrorCode = 0;

    std::atomic<int> m_socket{kInvalidSocket};
    std::atomic<uint32_t> m_connectionId{0};

    std::atomic<int32_t> m_maxDatagramSize{1472};
    std::atomic<int32_t> m_poolSize{10};
    std::atomic<int32_t> m_poolHold{40};

    SocketLifecycle m_life;
    std::atomic<bool> m_ready{false}; // Send, SendBuffers and PauseReceiving need it
    std::atomic<void *> m_userData{nullptr};

    ByteBuffer m_receiveBuffer;      // worker only
    std::string m_remoteAddressText; // under the queue lock
    uint16_t m_remotePort = 0;       // under the queue lock

    EventSignal m_sendSignal;
    EventSignal m_stopSignal;
    Outbox m_outbox{m_sendSignal};
    std::atomic<bool> m_receivingPaused{false};
    std::atomic<uint64_t> m_oversizeDropped{0}; // see DropOversize; kept across restarts
    bool m_waitingWritable = false; // worker only: a datagram waits for POLLOUT
};

extern template class UdpSocketBase<IUdpCast>;
extern template class UdpSocketBase<IUdpClient>;
