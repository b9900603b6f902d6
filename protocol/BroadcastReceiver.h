#pragma once
// QBroadcastReceiver: the search group's receiver of broadcast answers to port 19009
// on one interface, for one broadcast address (255.255.255.255 or the broadcast
// address of one of the interface's subnets).
//
// Linux delivers a broadcast to every socket bound to its address and port on the
// interface, so receivers made per searcher would hand an answer to every searcher of
// an interface with several addresses. The group makes one receiver per (interface
// index, broadcast address) instead, shared by all searchers of that interface: each
// datagram goes to one of them (the receiver's target), which reassembles, logs and
// dispatches it exactly as if its own socket had received it.
//
// The socket is bound with SO_REUSEADDR, as the searchers' own receivers on other
// ports are, so that other programs doing the same (a second instance of the tool)
// receive the same broadcasts: a broadcast is for everyone who listens.
#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "transport/Listener.h"

class CUdpCast;
class QUdpCast;

class QBroadcastReceiver : public CUdpCastListener {
public:
    QBroadcastReceiver(unsigned index, std::string device, in_addr_t broadcast, uint16_t port);
    // Stops the socket: no datagram reaches the target after that.
    ~QBroadcastReceiver() override;
    QBroadcastReceiver(const QBroadcastReceiver &) = delete;
    QBroadcastReceiver &operator=(const QBroadcastReceiver &) = delete;

    // Opens the socket unless it runs; false when it cannot (see Failure).
    bool Start();
    bool Running() const;
    // The searcher that handles what arrives (null: dropped). Once this returns, no
    // datagram is being handed to the previous target.
    void SetTarget(QUdpCast *searcher);
    // Why the last Start failed ("" after a good one).
    std::string Failure() const;
    // True when the last Start failed because another socket holds the address and
    // port (EADDRINUSE: a program that bound it without SO_REUSEADDR).
    bool Held() const;
    // "255.255.255.255:19009 on eth0".
    std::string Name() const;
    unsigned Index() const { return m_index; }
    in_addr_t Broadcast() const { return m_broadcast; }
    // True the first time it is asked after a failed Start: the group says a
    // receiver's failure once, however often it tries again. Asked by one thread.
    bool FailureToReport();

    ListenerReply DatagramReceived(IUdpCast *sender, uint32_t connectionId, const uint8_t *data,
                                   int32_t length) override;
    ListenerReply SocketClosed(IUdpCast *sender, uint32_t connectionId, CloseOperation operation,
                               int32_t errorCode) override;
    ListenerReply BeforeConnect(IUdpCast *sender, uint32_t connectionId, SocketHandle socket) override;

private:
    const unsigned m_index;
    const std::string m_device;
    const in_addr_t m_broadcast;
    const uint16_t m_port;
    std::mutex m_targetLock; // held while a datagram is handed over
    QUdpCast *m_target = nullptr;
    mutable std::mutex m_failureLock;
    std::string m_failure;
    bool m_held = false;
    bool m_failureReported = false;
    std::unique_ptr<CUdpCast> m_socket; // last: stopped before the rest goes
};
