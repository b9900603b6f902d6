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
//
// SetInterface ties the socket to one interface by its index: the bound socket then
// sends and receives only there (an address that two interfaces carry gets one socket
// on each), and its companions are exactly the broadcast addresses given, on that
// interface, instead of those of the first interface found with the address. An
// owner that receives broadcasts to the port by other means gives none.
//
// A failed send (the interface down, a firewall's EPERM, a VPN without a peer key)
// loses that one datagram: it is counted by its errno (SendErrors) and the socket
// goes on sending and receiving, so one bad send never deafens it.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "transport/Address.h"
#include "transport/IUdpCast.h"
#include "transport/UdpSocketBase.h"

class CUdpCast : public UdpSocketBase<IUdpCast> {
public:
    // Receive-only companions one socket may have: 255.255.255.255 and up to four
    // subnet broadcast addresses, one per prefix its address has on the interface. A
    // host gives one address two or three prefixes at most (a /24 and a wider
    // management net); more prefixes of one address are left without a receiver of
    // their own and named by CompanionFailure. The wait watches all sockets at once.
    static constexpr int kMaxCompanions = kMaxWaitSockets - 1;

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

    // Ties the socket to the interface `index` with exactly `broadcasts` (network byte
    // order: 255.255.255.255 and subnet broadcast addresses) as its companions in
    // Broadcast mode; see the class comment. Index 0 (the default) unties it: the
    // companions then follow the bind address. Changes nothing while not Stopped.
    void SetInterface(unsigned index, std::vector<in_addr_t> broadcasts);
    // Sends that failed since construction, by errno value (kept across restarts).
    // The keys are errno values, so the map holds a handful of entries at most.
    std::map<int, uint64_t> SendErrors() const;
    uint64_t SendErrorCount() const { return m_sendErrorTotal.load(std::memory_order_relaxed); }
    // Sends one datagram at once to `destination` from the bound socket, past the
    // queue and without waiting (a unicast request beside the cast ones; its answer
    // arrives like any other). Call it only on the thread that starts and stops the
    // socket, so that the socket cannot close meanwhile. 0, or the errno value of the
    // failure (ENOTCONN while not started; EAGAIN when the send buffer is full).
    int SendTo(const sockaddr_in &destination, const uint8_t *data, int32_t length);

    // For tests and diagnostics, while the socket runs (read it on the thread that
    // started it, or after seeing the state Started): the receive-only companion for
    // 255.255.255.255 or the group, and the one for the subnet's broadcast address
    // (see the class comment), or kInvalidSocket.
    SocketHandle ReceiveOnlySocket() const;
    SocketHandle SubnetBroadcastSocket() const;
    // Every companion open now, with the address it is bound to (network byte order).
    std::vector<std::pair<in_addr_t, SocketHandle>> Companions() const;
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

    // Opens one broadcast companion on the interface; on failure notes why.
    void OpenCompanion(unsigned index, const std::string &device, in_addr_t broadcast, uint16_t port);
    void NoteCompanionFailure(const std::string &why);
    // The socket and its companions, for the wait (unused slots -1).
    void WaitSockets(int (&sockets)[kMaxWaitSockets]) const;

    // Companions of the running socket (see the class comment), in the order opened;
    // written by Start and Stop only, read by the worker and the queries.
    int m_companions[kMaxCompanions] = {}; // kInvalidSocket from the constructor on
    in_addr_t m_companionAddress[kMaxCompanions] = {};
    int m_companionCount = 0;
    mutable std::mutex m_companionLock;
    std::string m_companionFailure; // under m_companionLock
    unsigned m_interfaceIndex = 0;        // under m_companionLock; see SetInterface
    std::vector<in_addr_t> m_broadcasts;  // under m_companionLock; see SetInterface

    mutable std::mutex m_sendErrorLock;
    std::map<int, uint64_t> m_sendErrors; // under m_sendErrorLock
    std::atomic<uint64_t> m_sendErrorTotal{0};

    std::atomic<int32_t> m_reuseAddress{0};
    std::atomic<int32_t> m_multicastTtl{1};
    std::atomic<int32_t> m_multicastLoop{0};
    std::atomic<int32_t> m_castMode{static_cast<int32_t>(CastMode::Multicast)};

    SockAddr m_castAddress{}; // under the queue lock once started
    mutable std::mutex m_senderLock;
    SockAddr m_senderAddress{}; // the sender of the datagram being delivered
};
