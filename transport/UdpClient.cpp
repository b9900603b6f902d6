#include "transport/UdpClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "transport/ConnectionId.h"
#include "transport/LinuxUdp.h"

namespace {

// Datagrams read per readable event before the worker looks at its signals again.
constexpr int kReceiveBatch = 256;
// A send refused because of an earlier ICMP message is made again this often.
constexpr int kRefusedSendTries = 3;

// send() on the connected socket. An error pending from an ICMP message makes the
// next send fail with it without sending anything; the error is consumed by that
// call, so the datagram is sent again. Gives 0 (datagram dropped) when the refusals
// do not stop. Each such error is added to `icmpErrors`.
ssize_t SendConnected(int fd, const uint8_t *data, size_t length, std::atomic<uint64_t> &icmpErrors)
{
    for (int i = 0; i < kRefusedSendTries; ++i) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n >= 0 || !IsIcmpReportedError(errno))
            return n;
        icmpErrors.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

} // namespace

CUdpClient::CUdpClient(IUdpClientListener *listener) : UdpSocketBase(listener) {}

CUdpClient::~CUdpClient()
{
    Stop();
    m_life.JoinFinishedWorker();
}

// ---- start ----

bool CUdpClient::CheckParameters() const
{
    return UdpSocketBase::CheckParameters() && m_detectAttempts.load(std::memory_order_relaxed) >= 0 &&
           m_detectInterval.load(std::memory_order_relaxed) >= 0;
}

bool CUdpClient::Start(const char *remoteAddress, uint16_t port, int32_t connect, const char *bindAddress)
{
    if (!BeginStartSocket())
        return false;
    SockAddr peer{};
    SockAddr bindRecord{};

    if (!CreateSocket(remoteAddress, port, bindAddress, peer, bindRecord))
        return FailStart(SocketError::SocketCreateFailed, errno);
    if (bindRecord.Family() == AF_INET || bindRecord.Family() == AF_INET6) {
        if (bind(m_socket.load(), &bindRecord.addr, bindRecord.Length()) != 0)
            return FailStart(SocketError::SocketBindFailed, errno);
    }
    m_connectionId.store(NextConnectionId(), std::memory_order_relaxed);

    if (!BeforeConnectStep())
        return false;

    if (!ConnectStep(connect != 0, peer))
        return FailStart(SocketError::ConnectFailed, errno);
    return LaunchWorkerStep();
}

bool CUdpClient::CreateSocket(const char *remoteAddress, uint16_t port, const char *bindAddress, SockAddr &peer,
                              SockAddr &bindRecord)
{
    if (!ResolveAddress(remoteAddress, port, peer))
        return false;
    if (bindAddress != nullptr && *bindAddress != '\0') {
        bindRecord.addr.sa_family = static_cast<sa_family_t>(GuessAddressFamily(bindAddress));
        if (!ParseAddressLiteral(bindAddress, 0, bindRecord))
            return false;
        if (bindRecord.Family() != peer.Family()) {
            errno = SysError::AddressFamilyNotSupported;
            return false;
        }
    }
    if (!m_sendSignal.Open() || !m_stopSignal.Open())
        return false;
    const int fd = OpenUdpSocket(peer.Family());
    if (fd < 0)
        return false;
    m_socket.store(fd);

    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    m_remoteAddressText = remoteAddress != nullptr ? remoteAddress : "";
    m_remotePort = port;
    return true;
}

bool CUdpClient::ConnectStep(bool asynchronous, const SockAddr &peer)
{
    const int fd = m_socket.load();
    if (connect(fd, &peer.addr, peer.Length()) != 0 && !(asynchronous && (errno == EINPROGRESS || errno == EAGAIN)))
        return false;
    if (asynchronous) {
        // Linux completes the connect of a datagram socket at once; the worker
        // reports the completion as its first event.
        m_connectPending = true;
        return true;
    }

    m_ready.store(true, std::memory_order_release);
    if (!EnterStarted())
        return false;
    SendKeepAlive();
    return true;
}

int CUdpClient::SendKeepAlive()
{
    static const uint8_t nothing = 0;
    if (!m_keepAlive.load(std::memory_order_relaxed))
        return 0;
    if (SendConnected(m_socket.load(), &nothing, 0, m_icmpErrors) < 0)
        return errno;
    return 0;
}

// ---- stop ----

void CUdpClient::ResetState()
{
    m_missedIntervals = 0;
    m_connectPending = false;
    UdpSocketBase::ResetState();
}

// ---- sending ----

ssize_t CUdpClient::SendDatagram(int fd, const uint8_t *data, int32_t length)
{
    return SendConnected(fd, data, static_cast<size_t>(length), m_icmpErrors);
}

// ---- worker ----

void CUdpClient::WorkerLoop()
{
    bool callStop = true;
    bool abandoned = false;
    m_waitingWritable = false;
    const int32_t attempts = GetDetectAttempts();
    const int32_t interval = GetDetectInterval();
    // The keep-alive needs no timer: it is the time-out of the wait. Intervals
    // beyond what the wait takes in milliseconds (about 24.8 days) wait that long.
    const int timeoutMs = attempts > 0 && interval > 0
                              ? static_cast<int>(std::min<int64_t>(int64_t{interval} * 1000, INT_MAX))
                              : -1;
    const int socket = m_socket.load();

    Step step = Step::Continue;
    if (!AllocateReceiveBuffer()) {
        step = Step::Leave;
    } else if (m_connectPending) {
        step = CompleteConnect();
    }
    while (step == Step::Continue && IsActive()) {
        const bool paused = m_receivingPaused.load(std::memory_order_relaxed);
        const WaitResult wait =
            WaitForEvents(&socket, 1, !paused, m_waitingWritable, m_sendSignal, m_stopSignal, timeoutMs);
        if (wait.kind == WaitResult::Kind::Failed) {
            Record(CloseOperation::Unspecified, wait.error);
            break;
        }
        if (wait.kind == WaitResult::Kind::Timeout) {
            step = OnIdleInterval();
            continue;
        }
        if (wait.socketEvents[0] != 0 && !m_receivingPaused.load(std::memory_order_relaxed))
            step = HandleSocketEvents(wait.socketEvents[0]);
        if (step == Step::Continue && wait.send) {
            m_sendSignal.Consume();
            step = DrainQueue();
        }
        if (step == Step::Continue && wait.stop) {
            callStop = false;
            break;
        }
    }
    if (step == Step::Abandoned)
        abandoned = true;
    WorkerThreadEnded(std::this_thread::get_id());
    if (!abandoned && callStop && IsActive() && m_life.OnWorker())
        Stop();
}

CUdpClient::Step CUdpClient::CompleteConnect()
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(m_socket.load(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) {
        Record(CloseOperation::Connect, error);
        return Step::Leave;
    }
    m_connectPending = false;
    m_ready.store(true, std::memory_order_release);
    SocketState expected = SocketState::Starting;
    if (!m_life.CompareAndSetState(expected, SocketState::Started))
        return Step::Continue; // a Stop is under way; the loop ends
    errno = 0;
    const ListenerReply reply = NotifyConnected();
    if (!m_life.OnWorker())
        return Step::Abandoned;
    if (reply == ListenerReply::Abort) {
        // Refused on the worker: the socket stops without SocketClosed.
        m_notifyClose = false;
        m_closeOperation = CloseOperation::Close;
        m_closeErrorCode = 0;
        return Step::Leave;
    }
    SendKeepAlive();
    return Step::Continue;
}

CUdpClient::Step CUdpClient::OnIdleInterval()
{
    const uint32_t missed = m_missedIntervals++;
    if (missed >= static_cast<uint32_t>(GetDetectAttempts())) {
        Record(CloseOperation::Close, SysError::ConnectionReset);
        return Step::Leave;
    }
    const int error = SendKeepAlive();
    if (error != 0 && !SysError::IsWouldBlock(error)) {
        Record(CloseOperation::Close, error);
        return Step::Leave;
    }
    return Step::Continue;
}

CUdpClient::Step CUdpClient::HandleSocketEvents(short events)
{
    if (events & POLLNVAL) {
        Record(CloseOperation::Unspecified, EBADF);
        return Step::Leave;
    }
    if (events & (POLLIN | POLLERR)) {
        const Step step = ReceiveLoop();
        if (step != Step::Continue)
            return step;
    }
    if (events & POLLOUT) {
        m_waitingWritable = false;
        const Step step = DrainQueue();
        if (step != Step::Continue)
            return step;
    }
    if (events & POLLHUP) {
        Record(CloseOperation::Close, 0);
        return Step::Leave;
    }
    return Step::Continue;
}

CUdpClient::Step CUdpClient::ReceiveLoop()
{
    const int fd = m_socket.load();
    uint8_t *buffer = reinterpret_cast<uint8_t *>(m_receiveBuffer.Data());
    const auto capacity = static_cast<int32_t>(m_receiveBuffer.Capacity());
    for (int i = 0; i < kReceiveBatch; ++i) {
        if (!IsActive()) // a Stop waits: back to the wait, which sees its signal
            return Step::Continue;
        const ReceiveResult received = ReceiveDatagram(fd, buffer, capacity, nullptr);
        if (received.length < 0) {
            if (SysError::IsWouldBlock(received.error))
                return Step::Continue;
            // An ICMP message about an earlier datagram (anyone may forge one): the
            // request may get no answer, but the socket goes on waiting for it.
            if (IsIcmpReportedError(received.error)) {
                m_icmpErrors.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            if (received.error == EINTR)
                continue;
            Record(CloseOperation::Receive, received.error);
            return Step::Leave;
        }
        // Longer than maxDatagramSize: dropped and counted, the socket goes on (a
        // peer's stray datagram must not end a command before its answer).
        if (received.truncated) {
            DropOversize();
            continue;
        }
        if (received.length == 0) {
            m_missedIntervals = 0; // the peer's keep-alive answer
            continue;
        }
        const Step step = Deliver(buffer, static_cast<int32_t>(received.length));
        if (step != Step::Continue)
            return step;
    }
    return Step::Continue;
}
