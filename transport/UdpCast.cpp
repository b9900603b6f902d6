#include "transport/UdpCast.h"

#include <arpa/inet.h>
#include <net/if.h>
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

CUdpCast::CUdpCast(IUdpCastListener *listener) : UdpSocketBase(listener)
{
    for (int &companion : m_companions)
        companion = kInvalidSocket;
}

void CUdpCast::SetInterface(unsigned index, std::vector<in_addr_t> broadcasts)
{
    if (GetState() != SocketState::Stopped)
        return;
    std::lock_guard<std::mutex> guard(m_companionLock);
    m_interfaceIndex = index;
    m_broadcasts = std::move(broadcasts);
}

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
    for (int i = 0; i < m_companionCount; ++i)
        (void)CopyReceiveBufferSize(m_socket.load(), m_companions[i]);

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
    unsigned index = 0;
    std::vector<in_addr_t> broadcasts;
    {
        std::lock_guard<std::mutex> guard(m_companionLock);
        index = m_interfaceIndex;
        broadcasts = m_broadcasts;
    }
    if (index != 0 && !BindToInterface(fd, index))
        return false;
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
        const in_addr_t address = bindRecord.v4.sin_addr.s_addr;
        if (address == htonl(INADDR_BROADCAST))
            return true;
        if (index != 0) {
            char name[IF_NAMESIZE] = {};
            const std::string device = if_indextoname(index, name) ? name : "interface " + std::to_string(index);
            for (const in_addr_t broadcast : broadcasts) {
                if (broadcast != address)
                    OpenCompanion(index, device, broadcast, bindRecord.Port());
            }
            return true;
        }
        AddressInterface adapter;
        if (InterfaceOfAddress(bindRecord, adapter)) {
            OpenCompanion(adapter.index, adapter.device, htonl(INADDR_BROADCAST), bindRecord.Port());
            // A subnet without a broadcast address of its own (/31, /32) needs none.
            if (adapter.broadcast != 0 && adapter.broadcast != address)
                OpenCompanion(adapter.index, adapter.device, adapter.broadcast, bindRecord.Port());
        } else if (errno != SysError::AddressNotAvailable) {
            NoteCompanionFailure(std::string("broadcast receivers: ") + std::strerror(errno));
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
            const int receiver = OpenGroupReceiver(group, bindRecord.Port());
            if (receiver < 0)
                return false;
            m_companions[m_companionCount++] = receiver;
        }
    }
    return true;
}

void CUdpCast::OpenCompanion(unsigned index, const std::string &device, in_addr_t broadcast, uint16_t port)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &broadcast, text, sizeof text);
    if (m_companionCount == kMaxCompanions) {
        NoteCompanionFailure(std::string(text) + ":" + std::to_string(port) + " on " + device +
                             ": more broadcast addresses than one socket watches");
        return;
    }
    const int fd = OpenBroadcastReceiver(index, broadcast, port);
    if (fd < 0) {
        NoteCompanionFailure(std::string(text) + ":" + std::to_string(port) + " on " + device + ": " +
                             std::strerror(errno));
        return;
    }
    m_companionAddress[m_companionCount] = broadcast;
    m_companions[m_companionCount++] = fd;
}

void CUdpCast::NoteCompanionFailure(const std::string &why)
{
    std::lock_guard<std::mutex> guard(m_companionLock);
    if (m_companionFailure.empty())
        m_companionFailure = why;
}

SocketHandle CUdpCast::ReceiveOnlySocket() const
{
    // In Multicast mode the one companion is the group's.
    const bool broadcast = GetCastMode() == CastMode::Broadcast;
    for (int i = 0; i < m_companionCount; ++i) {
        if (!broadcast || m_companionAddress[i] == htonl(INADDR_BROADCAST))
            return m_companions[i];
    }
    return kInvalidSocket;
}

SocketHandle CUdpCast::SubnetBroadcastSocket() const
{
    if (GetCastMode() != CastMode::Broadcast)
        return kInvalidSocket;
    for (int i = 0; i < m_companionCount; ++i) {
        if (m_companionAddress[i] != htonl(INADDR_BROADCAST))
            return m_companions[i];
    }
    return kInvalidSocket;
}

std::vector<std::pair<in_addr_t, SocketHandle>> CUdpCast::Companions() const
{
    std::vector<std::pair<in_addr_t, SocketHandle>> companions;
    for (int i = 0; i < m_companionCount; ++i)
        companions.emplace_back(m_companionAddress[i], m_companions[i]);
    return companions;
}

void CUdpCast::WaitSockets(int (&sockets)[kMaxWaitSockets]) const
{
    sockets[0] = m_socket.load();
    for (int i = 0; i < kMaxCompanions; ++i)
        sockets[i + 1] = i < m_companionCount ? m_companions[i] : kInvalidSocket;
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
        if (m_companionCount > 0 && !JoinGroup(m_companions[0], group, bindRecord))
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
    for (int i = 0; i < m_companionCount; ++i) {
        CloseUdpSocket(m_companions[i]);
        m_companionAddress[i] = 0;
    }
    m_companionCount = 0;
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
    const ssize_t sent =
        sendto(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL, &m_castAddress.addr, m_castAddress.Length());
    if (sent >= 0 || SysError::IsWouldBlock(errno))
        return sent;
    // The datagram is lost, the socket is not: 0 makes the drain drop it and go on.
    // Ending the socket instead would close its receivers with it, and an interface
    // on which every send fails (a VPN without a peer key) would never be heard.
    const int error = errno;
    {
        std::lock_guard<std::mutex> guard(m_sendErrorLock);
        ++m_sendErrors[error];
    }
    m_sendErrorTotal.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int CUdpCast::SendTo(const sockaddr_in &destination, const uint8_t *data, int32_t length)
{
    const int fd = m_socket.load(std::memory_order_acquire);
    if (fd == kInvalidSocket || GetState() != SocketState::Started)
        return ENOTCONN;
    if (!data || length <= 0 || length > GetMaxDatagramSize())
        return EINVAL;
    const ssize_t sent = sendto(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr *>(&destination), sizeof destination);
    return sent < 0 ? errno : 0;
}

std::map<int, uint64_t> CUdpCast::SendErrors() const
{
    std::lock_guard<std::mutex> guard(m_sendErrorLock);
    return m_sendErrors;
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
        int sockets[kMaxWaitSockets];
        WaitSockets(sockets);
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
    int sockets[kMaxWaitSockets];
    WaitSockets(sockets);
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
