#include "transport/UdpCast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "transport/ConnectionId.h"
#include "transport/LinuxUdp.h"

namespace {

// Datagrams read per readable event before the worker looks at its signals again,
// so that a flood can neither starve the send queue nor delay a Stop.
constexpr int kReceiveBatch = 256;

bool IsWildcard(const SockAddr &address)
{
    if (address.Family() == AF_INET)
        return address.v4.sin_addr.s_addr == htonl(INADDR_ANY);
    return IN6_IS_ADDR_UNSPECIFIED(&address.v6.sin6_addr);
}

} // namespace

CUdpCast::CUdpCast(IUdpCastListener *listener) : UdpSocketBase(listener) {}

CUdpCast::~CUdpCast()
{
    Stop();
    m_life.JoinFinishedWorker();
}

// ---- start ----

bool CUdpCast::CheckParameters() const
{
    const int32_t mode = m_castMode.load(std::memory_order_relaxed);
    const int32_t ttl = m_multicastTtl.load(std::memory_order_relaxed);
    const int32_t loop = m_multicastLoop.load(std::memory_order_relaxed);
    return UdpSocketBase::CheckParameters() && (mode == 0 || mode == 1) && ttl >= 0 && ttl <= 255 &&
           (loop == 0 || loop == 1);
}

bool CUdpCast::Start(const char *remoteAddress, uint16_t port, int32_t, const char *bindAddress)
{
    return StartCast(remoteAddress != nullptr ? remoteAddress : "", port, port, bindAddress);
}

bool CUdpCast::Start(uint16_t destinationPort, uint16_t localPort, int32_t, const char *bindAddress)
{
    return StartCast("", localPort, destinationPort, bindAddress);
}

bool CUdpCast::StartCast(const char *remoteAddress, uint16_t port, uint16_t destinationPort, const char *bindAddress)
{
    if (!BeginStartSocket())
        return false;
    {
        std::lock_guard<std::mutex> guard(m_companionLock);
        m_companionFailure.clear();
    }
    SockAddr bindRecord{};

    if (!CreateSocket(remoteAddress, port, destinationPort, bindAddress, bindRecord))
        return FailStart(SocketError::SocketCreateFailed, errno);
    if (!BindSocket(bindRecord))
        return FailStart(SocketError::SocketBindFailed, errno);

    if (!BeforeConnectStep())
        return false;
    // The listener sees only the bound socket and may have given it a larger receive
    // buffer (the searcher does, so that a whole LAN's answers fit). Broadcast and
    // group answers queue up at the companion, which needs the same room. A failure
    // leaves the companion with the buffer it had.
    for (const int companion : {m_receiveOnlySocket, m_subnetBroadcastSocket}) {
        if (companion >= 0)
            (void)CopyReceiveBufferSize(m_socket.load(), companion);
    }

    if (!ConnectStep(bindRecord))
        return FailStart(SocketError::ConnectFailed, errno);
    return LaunchWorkerStep();
}

bool CUdpCast::CreateSocket(const char *remoteAddress, uint16_t port, uint16_t destinationPort,
                            const char *bindAddress, SockAddr &bindRecord)
{
    const bool broadcast = GetCastMode() == CastMode::Broadcast;
    SockAddr castAddress{};
    if (broadcast) {
        castAddress.v4.sin_family = AF_INET;
        castAddress.v4.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        castAddress.v4.sin_port = htons(destinationPort);
    } else if (!ResolveAddress(remoteAddress, port, castAddress)) {
        return false;
    }

    if (bindAddress != nullptr && *bindAddress != '\0') {
        bindRecord.addr.sa_family = static_cast<sa_family_t>(GuessAddressFamily(bindAddress));
        if (!ParseAddressLiteral(bindAddress, port, bindRecord))
            return false;
        if (broadcast && bindRecord.Family() == AF_INET6) {
            errno = SysError::ProtocolNotSupported;
            return false;
        }
        if (bindRecord.Family() != castAddress.Family()) {
            errno = SysError::AddressFamilyNotSupported;
            return false;
        }
    } else {
        bindRecord.Clear();
        bindRecord.addr.sa_family = castAddress.Family();
        if (castAddress.Family() == AF_INET) {
            bindRecord.v4.sin_addr.s_addr = htonl(INADDR_ANY);
            bindRecord.v4.sin_port = htons(port);
        } else {
            bindRecord.v6.sin6_addr = in6addr_any;
            bindRecord.v6.sin6_port = htons(port);
        }
    }

    if (!m_sendSignal.Open() || !m_stopSignal.Open())
        return false;
    const int fd = OpenUdpSocket(castAddress.Family());
    if (fd < 0)
        return false;
    m_socket.store(fd);
    // Unconnected sockets report no ICMP errors on Linux: nothing to switch off.
    SetSocketFlag(fd, SOL_SOCKET, SO_REUSEADDR, m_reuseAddress.load(std::memory_order_relaxed) != 0);

    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    m_castAddress = castAddress;
    m_remoteAddressText = remoteAddress;
    m_remotePort = port;
    return true;
}

bool CUdpCast::BindSocket(SockAddr &bindRecord)
{
    const int fd = m_socket.load();
    if (bind(fd, &bindRecord.addr, bindRecord.Length()) != 0)
        return false;
    socklen_t length = sizeof bindRecord;
    SockAddr bound{};
    if (getsockname(fd, &bound.addr, &length) == 0)
        bindRecord = bound;
    m_connectionId.store(NextConnectionId(), std::memory_order_relaxed);

    if (IsWildcard(bindRecord))
        return true; // the bound socket itself receives broadcasts and group datagrams
    if (GetCastMode() == CastMode::Broadcast) {
        // Broadcast answers to our port on the adapter of the bind address, sent to
        // 255.255.255.255 or to the subnet's broadcast address: a socket bound to the
        // adapter's address (which on some systems receives both) receives neither
        // here. An address that no interface carries (a non-local bind) has no
        // adapter to listen on: the bound socket alone works then.
        const in_addr_t bound = bindRecord.v4.sin_addr.s_addr;
        AddressInterface adapter;
        if (bound != htonl(INADDR_BROADCAST)) {
            if (InterfaceOfAddress(bindRecord, adapter)) {
                m_receiveOnlySocket = OpenCompanion(adapter.device, htonl(INADDR_BROADCAST), bindRecord.Port());
                // A subnet without a broadcast address of its own (/31, /32) needs none.
                if (adapter.broadcast != 0 && adapter.broadcast != bound)
                    m_subnetBroadcastSocket = OpenCompanion(adapter.device, adapter.broadcast, bindRecord.Port());
            } else if (errno != SysError::AddressNotAvailable) {
                std::lock_guard<std::mutex> guard(m_companionLock);
                m_companionFailure = std::string("broadcast receivers: ") + std::strerror(errno);
            }
        }
    } else {
        SockAddr group{};
        {
            std::lock_guard<std::mutex> guard(m_outbox.Lock());
            group = m_castAddress;
        }
        // A group address that is no multicast address fails the join later.
        const bool multicast = group.Family() == AF_INET ? IN_MULTICAST(ntohl(group.v4.sin_addr.s_addr))
                                                         : IN6_IS_ADDR_MULTICAST(&group.v6.sin6_addr);
        if (multicast) {
            m_receiveOnlySocket = OpenGroupReceiver(group, bindRecord.Port());
            if (m_receiveOnlySocket < 0)
                return false;
        }
    }
    return true;
}

int CUdpCast::OpenCompanion(const std::string &device, in_addr_t broadcast, uint16_t port)
{
    const int fd = OpenBroadcastReceiver(device, broadcast, port);
    if (fd < 0) {
        const int error = errno;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &broadcast, text, sizeof text);
        std::lock_guard<std::mutex> guard(m_companionLock);
        if (m_companionFailure.empty())
            m_companionFailure = std::string(text) + ":" + std::to_string(port) + " on " + device + ": " +
                                 std::strerror(error);
    }
    return fd;
}

std::string CUdpCast::CompanionFailure() const
{
    std::lock_guard<std::mutex> guard(m_companionLock);
    return m_companionFailure;
}

bool CUdpCast::ConnectStep(const SockAddr &bindRecord)
{
    const int fd = m_socket.load();
    if (GetCastMode() == CastMode::Broadcast) {
        SetSocketFlag(fd, SOL_SOCKET, SO_BROADCAST, 1);
    } else {
        const int ttl = m_multicastTtl.load(std::memory_order_relaxed);
        const int loop = m_multicastLoop.load(std::memory_order_relaxed);
        SockAddr group{};
        {
            std::lock_guard<std::mutex> guard(m_outbox.Lock());
            group = m_castAddress;
        }
        if (group.Family() == AF_INET) {
            SetSocketFlag(fd, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
            SetSocketFlag(fd, IPPROTO_IP, IP_MULTICAST_LOOP, loop);
        } else {
            SetSocketFlag(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, ttl);
            SetSocketFlag(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, loop);
        }
        if (!JoinGroup(fd, group, bindRecord))
            return false;
        if (m_receiveOnlySocket >= 0 && !JoinGroup(m_receiveOnlySocket, group, bindRecord))
            return false;
    }

    // The worker's poll watches the socket(s) from its first wait on: that is the
    // registration for readable and writable events.
    m_ready.store(true, std::memory_order_release);
    return EnterStarted();
}

// ---- stop ----

void CUdpCast::CloseSockets()
{
    UdpSocketBase::CloseSockets();
    CloseUdpSocket(m_receiveOnlySocket);
    CloseUdpSocket(m_subnetBroadcastSocket);
}

void CUdpCast::ResetState()
{
    {
        std::lock_guard<std::mutex> guard(m_outbox.Lock());
        m_castAddress.Clear();
        std::lock_guard<std::mutex> sender(m_senderLock);
        m_senderAddress.Clear();
    }
    UdpSocketBase::ResetState();
}

// ---- sending ----

// The drain sends under the queue lock, which guards m_castAddress.
ssize_t CUdpCast::SendDatagram(int fd, const uint8_t *data, int32_t length)
{
    return sendto(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL, &m_castAddress.addr, m_castAddress.Length());
}

// ---- queries ----

bool CUdpCast::GetSenderAddress(char *address, int32_t &length, uint16_t &port) const
{
    SockAddr sender{};
    {
        std::lock_guard<std::mutex> guard(m_senderLock);
        sender = m_senderAddress;
    }
    return AddressToText(sender, address, length, port);
}

// ---- worker ----

void CUdpCast::WorkerLoop()
{
    bool callStop = true;
    bool abandoned = false;
    m_waitingWritable = false;
    if (AllocateReceiveBuffer()) {
        // A companion that was not made is -1, which the wait leaves out.
        const int sockets[kMaxWaitSockets] = {m_socket.load(), m_receiveOnlySocket, m_subnetBroadcastSocket};
        while (IsActive()) {
            const bool paused = m_receivingPaused.load(std::memory_order_relaxed);
            const WaitResult wait =
                WaitForEvents(sockets, kMaxWaitSockets, !paused, m_waitingWritable, m_sendSignal, m_stopSignal, -1);
            if (wait.kind == WaitResult::Kind::Failed) {
                Record(CloseOperation::Unspecified, wait.error);
                break;
            }
            if (wait.kind != WaitResult::Kind::Ready)
                continue;
            // Everything that is ready is handled, socket first, then the send
            // signal, then the stop signal, so that a flood starves neither.
            Step step = Step::Continue;
            if (!m_receivingPaused.load(std::memory_order_relaxed))
                step = HandleSocketEvents(wait);
            if (step == Step::Continue && wait.send) {
                m_sendSignal.Consume();
                step = DrainQueue();
            }
            if (step == Step::Abandoned) {
                abandoned = true;
                break;
            }
            if (step == Step::Leave)
                break;
            if (wait.stop) {
                callStop = false;
                break;
            }
        }
    }
    WorkerThreadEnded(std::this_thread::get_id());
    if (!abandoned && callStop && IsActive() && m_life.OnWorker())
        Stop();
}

CUdpCast::Step CUdpCast::HandleSocketEvents(const WaitResult &wait)
{
    const int sockets[kMaxWaitSockets] = {m_socket.load(), m_receiveOnlySocket, m_subnetBroadcastSocket};
    short any = 0;
    for (int i = 0; i < kMaxWaitSockets; ++i) {
        const short events = wait.socketEvents[i];
        any |= events;
        if (events == 0)
            continue;
        if (events & POLLNVAL) {
            Record(CloseOperation::Unspecified, EBADF);
            return Step::Leave;
        }
        if (events & (POLLIN | POLLERR)) {
            const Step step = ReceiveLoop(sockets[i]);
            if (step != Step::Continue)
                return step;
        }
    }
    if (wait.socketEvents[0] & POLLOUT) {
        m_waitingWritable = false;
        const Step step = DrainQueue();
        if (step != Step::Continue)
            return step;
    }
    if (any & POLLHUP) {
        Record(CloseOperation::Close, 0);
        return Step::Leave;
    }
    return Step::Continue;
}

CUdpCast::Step CUdpCast::ReceiveLoop(int fd)
{
    uint8_t *buffer = reinterpret_cast<uint8_t *>(m_receiveBuffer.Data());
    const auto capacity = static_cast<int32_t>(m_receiveBuffer.Capacity());
    for (int i = 0; i < kReceiveBatch; ++i) {
        if (!IsActive()) // a Stop waits: back to the wait, which sees its signal
            return Step::Continue;
        SockAddr from{};
        const ReceiveResult received = ReceiveDatagram(fd, buffer, capacity, &from);
        if (received.length < 0) {
            if (SysError::IsWouldBlock(received.error))
                return Step::Continue;
            if (received.error == EINTR)
                continue;
            Record(CloseOperation::Receive, received.error);
            return Step::Leave;
        }
        // Longer than maxDatagramSize: dropped and counted, the socket goes on.
        if (received.truncated) {
            DropOversize();
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(m_senderLock);
            m_senderAddress = from;
        }
        const Step step = Deliver(buffer, static_cast<int32_t>(received.length));
        if (step != Step::Continue)
            return step;
    }
    return Step::Continue;
}
