#pragma once
// CUdpClient: a datagram socket connected to one peer, with keep-alive. Everything it
// sends goes to the peer and it receives only from the peer. A started socket owns
// one worker thread that waits in one poll() for the socket, the send signal and
// the stop signal; the poll's time-out is the keep-alive interval: after each quiet
// interval the worker sends an empty datagram, and when the peer has not answered
// with an empty datagram for `detectAttempts` intervals the socket closes with
// (Close, ECONNRESET). Empty datagrams received are never delivered.
//
// An ICMP error message quoting one of its datagrams (port, protocol, network or
// host unreachable, fragmentation needed, parameter problem, ...) makes Linux report
// an error on the connected socket's next receive or send (IsIcmpReportedError,
// transport/LinuxUdp.h). Anyone on the LAN can forge one, so the socket counts it
// and goes on (the request may simply get no answer), and a refused send is made
// again.
#include <atomic>
#include <cstdint>

#include "transport/Address.h"
#include "transport/IUdpClient.h"
#include "transport/UdpSocketBase.h"

class CUdpClient : public UdpSocketBase<IUdpClient> {
public:
    // The listener is not owned and must outlive the socket.
    explicit CUdpClient(IUdpClientListener *listener);
    // Stops the socket first. Do not delete a socket from inside its own notification.
    ~CUdpClient() override;

    // remoteAddress: the peer (IP literal or host name); port: the peer's port;
    // connect: 0 connects inside Start, non-zero lets the worker complete the
    // connect (SocketConnected then runs on the worker); bindAddress: null or empty
    // for no explicit bind, else an IP literal of the peer's family (port 0).
    bool Start(const char *remoteAddress, uint16_t port, int32_t connect, const char *bindAddress) override;

    void SetDetectAttempts(int32_t attempts) override { Configure(m_detectAttempts, attempts); }
    void SetDetectInterval(int32_t seconds) override { Configure(m_detectInterval, seconds); }
    int32_t GetDetectAttempts() const override { return m_detectAttempts.load(std::memory_order_relaxed); }
    int32_t GetDetectInterval() const override { return m_detectInterval.load(std::memory_order_relaxed); }
    // Off: no empty keep-alive datagram leaves, at the start or when the line is
    // quiet (for a request that must reach one device only; protocol/UdpClient.h).
    void SetKeepAlive(bool on) { m_keepAlive.store(on, std::memory_order_relaxed); }
    // Errors reported from ICMP messages since construction (any thread may ask).
    uint64_t GetIcmpErrors() const { return m_icmpErrors.load(std::memory_order_relaxed); }

protected:
    bool CheckParameters() const override;
    void ResetState() override;
    ssize_t SendDatagram(int fd, const uint8_t *data, int32_t length) override;
    void WorkerLoop() override;

private:
    bool CreateSocket(const char *remoteAddress, uint16_t port, const char *bindAddress, SockAddr &peer,
                      SockAddr &bindRecord);
    bool ConnectStep(bool asynchronous, const SockAddr &peer);
    // One empty datagram straight on the socket; returns 0 or the send error.
    int SendKeepAlive();

    Step CompleteConnect();
    Step OnIdleInterval();
    Step HandleSocketEvents(short events);
    Step ReceiveLoop();

    std::atomic<int32_t> m_detectAttempts{3};
    std::atomic<int32_t> m_detectInterval{30};
    std::atomic<uint64_t> m_icmpErrors{0};
    std::atomic<bool> m_keepAlive{true};

    bool m_connectPending = false;  // an asynchronous connect waits for the worker
    uint32_t m_missedIntervals = 0; // worker only (and ResetState)
};
