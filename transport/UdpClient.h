#pragma once
// CUdpClient: a datagram socket connected to one peer, with keep-alive. Everything it
// sends goes to the peer and it receives only from the peer. A started socket owns
// one worker thread that waits in one poll() for the socket, the send signal and
// the stop signal; the poll's time-out is the keep-alive interval: after each quiet
// interval the worker sends an empty datagram, and when the peer has not answered
// with an empty datagram for `detectAttempts` intervals the socket closes with
// (Close, ECONNRESET). Empty datagrams received are never delivered.
//
// An ICMP port-unreachable reply makes Linux report ECONNREFUSED on the connected
// socket's next receive or send; the socket ignores it (the request simply gets no
// answer) and a refused send is made again.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "kit/ByteBuffer.h"
#include "transport/Address.h"
#include "transport/IUdpClient.h"
#include "transport/LinuxEventWait.h"
#include "transport/Listener.h"
#include "transport/Outbox.h"
#include "transport/SocketLifecycle.h"

class CUdpClient : public IUdpClient {
public:
    // The listener is not owned and must outlive the socket.
    explicit CUdpClient(IUdpClientListener *listener);
    // Stops the socket first. Do not delete a socket from inside its own notification.
    ~CUdpClient() override;
    CUdpClient(const CUdpClient &) = delete;
    CUdpClient &operator=(const CUdpClient &) = delete;

    // remoteAddress: the peer (IP literal or host name); port: the peer's port;
    // connect: 0 connects inside Start, non-zero lets the worker complete the
    // connect (SocketConnected then runs on the worker); bindAddress: null or empty
    // for no explicit bind, else an IP literal of the peer's family (port 0).
    bool Start(const char *remoteAddress, uint16_t port, int32_t connect, const char *bindAddress) override;
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
    void SetDetectAttempts(int32_t attempts) override { Configure(m_detectAttempts, attempts); }
    void SetDetectInterval(int32_t seconds) override { Configure(m_detectInterval, seconds); }
    int32_t GetDetectAttempts() const override { return m_detectAttempts.load(std::memory_order_relaxed); }
    int32_t GetDetectInterval() const override { return m_detectInterval.load(std::memory_order_relaxed); }

    // For tests and diagnostics: the socket's send buffer pool.
    const ItemPool &Pool() const { return m_outbox.Pool(); }

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
    enum class Step {
        Continue,
        Leave,     // the worker ends and stops the socket
        Abandoned, // the listener stopped the socket on this thread; touch nothing more
    };

    bool CreateSocket(const char *remoteAddress, uint16_t port, const char *bindAddress, SockAddr &peer,
                      SockAddr &bindRecord);
    bool ConnectStep(bool asynchronous, const SockAddr &peer);
    bool FailStart(SocketError code, int error);
    bool StopSocket(bool failedStart);
    // One empty datagram straight on the socket; returns 0 or the send error.
    int SendKeepAlive();

    void WorkerLoop();
    Step CompleteConnect();
    Step OnIdleInterval();
    Step HandleSocketEvents(short events);
    Step ReceiveLoop();
    Step DrainQueue();
    void Record(CloseOperation operation, int32_t code);
    void Configure(std::atomic<int32_t> &field, int32_t value);

    IUdpClientListener *const m_listener;

    bool m_notifyClose = true;
    CloseOperation m_closeOperation = CloseOperation::Close;
    int32_t m_closeErrorCode = 0;

    std::atomic<int> m_socket{kInvalidSocket};
    std::atomic<uint32_t> m_connectionId{0};

    std::atomic<int32_t> m_maxDatagramSize{1472};
    std::atomic<int32_t> m_poolSize{10};
    std::atomic<int32_t> m_poolHold{40};
    std::atomic<int32_t> m_detectAttempts{3};
    std::atomic<int32_t> m_detectInterval{30};

    SocketLifecycle m_life;
    std::atomic<bool> m_connected{false}; // Send, SendBuffers and PauseReceiving need it
    bool m_connectPending = false;       // an asynchronous connect waits for the worker
    std::atomic<void *> m_userData{nullptr};

    ByteBuffer m_receiveBuffer;      // worker only
    std::string m_remoteAddressText; // under the queue lock
    uint16_t m_remotePort = 0;       // under the queue lock

    EventSignal m_sendSignal;
    EventSignal m_stopSignal;
    Outbox m_outbox{m_sendSignal};
    std::atomic<bool> m_receivingPaused{false};
    bool m_waitingWritable = false; // worker only
    uint32_t m_missedIntervals = 0; // worker only (and ResetState)
};
