#pragma once
// CUdpCast: a datagram socket bound to one local address and port that sends every
// datagram to one cast address (255.255.255.255 in Broadcast mode, a group in
// Multicast mode) and hands every datagram it receives, with its sender, to the
// listener. A started socket owns one worker thread: it waits in one poll() for
// the socket(s), the send signal and the stop signal.
//
// Linux delivers to a socket bound to a unicast address only the datagrams sent to
// that address, never those broadcast or sent to a group. So with a bind address
// the socket adds receive-only companions: in Broadcast mode one bound to
// 255.255.255.255 and one bound to the subnet's broadcast address of the bind
// address (10.77.0.255 for 10.77.0.1/24), both on the same port and tied to the
// adapter of the bind address; in Multicast mode one bound to the group and the same
// port, joined to the group on that adapter. Their datagrams reach the listener
// exactly like the bound socket's, and after BeforeConnect they get the bound
// socket's receive buffer size. Each datagram reaches exactly one of the sockets: a
// socket bound to one address never receives what is sent to another.
//
// In Broadcast mode a companion that cannot be made costs only the datagrams it would
// have received: the socket starts without it, and CompanionFailure() says which one
// is missing. In Multicast mode the start fails instead.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "transport/Address.h"
#include "transport/IUdpCast.h"
#include "transport/UdpSocketBase.h"

class CUdpCast : public UdpSocketBase<IUdpCast> {
public:
    // The listener is not owned and must outlive the socket.
    explicit CUdpCast(IUdpCastListener *listener);
    // Stops the socket first. Do not delete a socket from inside its own notification.
    ~CUdpCast() override;

    // remoteAddress: the group in Multicast mode (IP literal or host name), ignored in
    // Broadcast mode; port: destination and local port; connect: ignored;
    // bindAddress: null or empty for the wildcard, else an IP literal.
    bool Start(const char *remoteAddress, uint16_t port, int32_t connect, const char *bindAddress) override;
    bool Start(uint16_t destinationPort, uint16_t localPort, int32_t connect, const char *bindAddress) override;

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

    // For tests and diagnostics, while the socket runs (read it on the thread that
    // started it, or after seeing the state Started): the receive-only companion for
    // 255.255.255.255 or the group, and the one for the subnet's broadcast address
    // (see the class comment), or kInvalidSocket.
    SocketHandle ReceiveOnlySocket() const { return m_receiveOnlySocket; }
    SocketHandle SubnetBroadcastSocket() const { return m_subnetBroadcastSocket; }
    // After a start: why a companion of the last start could not be made, for
    // example "255.255.255.255:19009 on eth0: Address already in use" ("" when every
    // companion the bind address needs was made).
    std::string CompanionFailure() const;

protected:
    bool CheckParameters() const override;
    void ResetState() override;
    void CloseSockets() override;
    ssize_t SendDatagram(int fd, const uint8_t *data, int32_t length) override;
    void WorkerLoop() override;

private:
    bool StartCast(const char *remoteAddress, uint16_t port, uint16_t destinationPort, const char *bindAddress);
    bool CreateSocket(const char *remoteAddress, uint16_t port, uint16_t destinationPort, const char *bindAddress,
                      SockAddr &bindRecord);
    bool BindSocket(SockAddr &bindRecord);
    bool ConnectStep(const SockAddr &bindRecord);

    Step HandleSocketEvents(const WaitResult &wait);
    Step ReceiveLoop(int fd);

    // Opens one broadcast companion on `device`; on failure notes why and returns -1.
    int OpenCompanion(const std::string &device, in_addr_t broadcast, uint16_t port);

    int m_receiveOnlySocket = kInvalidSocket;     // see the class comment
    int m_subnetBroadcastSocket = kInvalidSocket; // see the class comment
    mutable std::mutex m_companionLock;
    std::string m_companionFailure; // under m_companionLock

    std::atomic<int32_t> m_reuseAddress{0};
    std::atomic<int32_t> m_multicastTtl{1};
    std::atomic<int32_t> m_multicastLoop{0};
    std::atomic<int32_t> m_castMode{static_cast<int32_t>(CastMode::Multicast)};

    SockAddr m_castAddress{}; // under the queue lock once started
    mutable std::mutex m_senderLock;
    SockAddr m_senderAddress{}; // the sender of the datagram being delivered
};
