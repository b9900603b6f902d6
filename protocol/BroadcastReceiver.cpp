#include "protocol/BroadcastReceiver.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "protocol/ReceiveBuffer.h"
#include "protocol/Searcher.h"
#include "transport/UdpCast.h"

QBroadcastReceiver::QBroadcastReceiver(unsigned index, std::string device, in_addr_t broadcast, uint16_t port)
    : m_index(index), m_device(std::move(device)), m_broadcast(broadcast), m_port(port),
      m_socket(std::make_unique<CUdpCast>(this))
{
}

QBroadcastReceiver::~QBroadcastReceiver()
{
    m_socket->Stop();
}

bool QBroadcastReceiver::Start()
{
    if (m_socket->GetState() != SocketState::Stopped)
        return true;
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &m_broadcast, address, sizeof address);
    m_socket->SetCastMode(CastMode::Broadcast);
    m_socket->SetReuseAddress(1);
    // Bound to the broadcast address itself: the socket has no companions.
    m_socket->SetInterface(m_index, {});
    const bool started = m_socket->Start(QUdpCast::kDestinationPort, m_port, 0, address);
    const int error = errno;
    std::lock_guard<std::mutex> guard(m_failureLock);
    m_failure = started ? std::string() : Name() + ": " + std::strerror(error);
    m_held = !started && error == EADDRINUSE;
    return started;
}

bool QBroadcastReceiver::Held() const
{
    std::lock_guard<std::mutex> guard(m_failureLock);
    return m_held;
}

bool QBroadcastReceiver::Running() const
{
    return m_socket->GetState() == SocketState::Started;
}

void QBroadcastReceiver::SetTarget(QUdpCast *searcher)
{
    std::lock_guard<std::mutex> guard(m_targetLock);
    m_target = searcher;
}

std::string QBroadcastReceiver::Failure() const
{
    std::lock_guard<std::mutex> guard(m_failureLock);
    return m_failure;
}

bool QBroadcastReceiver::FailureToReport()
{
    if (m_failureReported || Failure().empty())
        return false;
    m_failureReported = true;
    return true;
}

std::string QBroadcastReceiver::Name() const
{
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &m_broadcast, address, sizeof address);
    return std::string(address) + ":" + std::to_string(m_port) + " on " + m_device;
}

ListenerReply QBroadcastReceiver::DatagramReceived(IUdpCast *sender, uint32_t connectionId, const uint8_t *data,
                                                   int32_t length)
{
    // The target reads the sender's address from this receiver's socket, as it would
    // from its own.
    std::lock_guard<std::mutex> guard(m_targetLock);
    if (m_target)
        m_target->DatagramReceived(sender, connectionId, data, length);
    return ListenerReply::Proceed;
}

ListenerReply QBroadcastReceiver::SocketClosed(IUdpCast *, uint32_t, CloseOperation, int32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QBroadcastReceiver::BeforeConnect(IUdpCast *, uint32_t, SocketHandle socket)
{
    // The answers of a whole LAN may come by broadcast at once.
    RaiseReceiveBuffer(socket, QUdpCast::kReceiveBufferBytes);
    return ListenerReply::Proceed;
}
