#include "transport/UdpClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "transport/ClientOperations.h"
#include "transport/ConnectionId.h"
#include "transport/LinuxUdp.h"

namespace {

// Datagrams read per readable event before the worker looks at its signals again.
constexpr int kReceiveBatch = 256;
// A send refused because of an earlier ICMP reply is made again this often.
constexpr int kRefusedSendTries = 3;

int ErrorOr(int error, int fallback) { return error != 0 ? error : fallback; }

// send() on the connected socket. A pending ICMP port-unreachable makes the next
// send fail with ECONNREFUSED without sending anything; the error is consumed by
// that call, so the datagram is sent again. Gives 0 (datagram dropped) when the
// refusals do not stop.
ssize_t SendConnected(int fd, const uint8_t *data, size_t length)
{
    for (int i = 0; i < kRefusedSendTries; ++i) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n >= 0 || errno != ECONNREFUSED)
            return n;
    }
    return 0;
}

} // namespace

CUdpClient::CUdpClient(IUdpClientListener *listener) : m_listener(listener) {}

CUdpClient::~CUdpClient()
{
    Stop();
    m_life.JoinFinishedWorker();
}

void CUdpClient::Configure(std::atomic<int32_t> &field, int32_t value)
{
    if (m_life.State() == SocketState::Stopped)
        field.store(value, std::memory_order_relaxed);
}

// ---- notifications ----

ListenerReply CUdpClient::NotifyBeforeConnect(SocketHandle socket)
{
    return m_listener->BeforeConnect(this, GetConnectionId(), socket);
}

ListenerReply CUdpClient::NotifyConnected()
{
    if (m_listener->SocketConnected(this, GetConnectionId()) == ListenerReply::Abort)
        return ListenerReply::Abort;
    return NotifyReady();
}

ListenerReply CUdpClient::NotifyReady() { return m_listener->SocketReady(this, GetConnectionId()); }

void CUdpClient::NotifySent(const uint8_t *data, int32_t length)
{
    m_listener->DatagramSent(this, GetConnectionId(), data, length);
}

ListenerReply CUdpClient::NotifyAuxiliary(int32_t value)
{
    return m_listener->AuxiliaryNotice(this, GetConnectionId(), value);
}

ListenerReply CUdpClient::NotifyReceived(const uint8_t *data, int32_t length)
{
    return m_listener->DatagramReceived(this, GetConnectionId(), data, length);
}

void CUdpClient::NotifyClosed(CloseOperation operation, int32_t errorCode)
{
    m_listener->SocketClosed(this, GetConnectionId(), operation, errorCode);
}

void CUdpClient::WorkerThreadEnded(std::thread::id) {}

// ---- start ----

bool CUdpClient::CheckParameters() const
{
    return m_maxDatagramSize.load(std::memory_order_relaxed) > 0 && m_poolSize.load(std::memory_order_relaxed) >= 0 &&
           m_poolHold.load(std::memory_order_relaxed) >= 0 && m_detectAttempts.load(std::memory_order_relaxed) >= 0 &&
           m_detectInterval.load(std::memory_order_relaxed) >= 0;
}

void CUdpClient::PrepareStart()
{
    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    m_outbox.ConfigureLocked(m_maxDatagramSize.load(std::memory_order_relaxed),
                             m_poolSize.load(std::memory_order_relaxed), m_poolHold.load(std::memory_order_relaxed));
}

bool CUdpClient::Start(const char *remoteAddress, uint16_t port, int32_t connect, const char *bindAddress)
{
    if (!CheckParameters()) {
        m_life.SetLastError(SocketError::InvalidParameter);
        errno = SysError::InvalidParameter;
        return false;
    }
    if (!m_life.BeginStart())
        return false;

    PrepareStart();
    m_notifyClose = true;
    m_closeOperation = CloseOperation::Close;
    m_closeErrorCode = 0;
    SockAddr peer{};
    SockAddr bindRecord{};

    if (!CreateSocket(remoteAddress, port, bindAddress, peer, bindRecord))
        return FailStart(SocketError::SocketCreateFailed, errno);
    if (bindRecord.Family() == AF_INET || bindRecord.Family() == AF_INET6) {
        if (bind(m_socket.load(), &bindRecord.addr, bindRecord.Length()) != 0)
            return FailStart(SocketError::SocketBindFailed, errno);
    }
    m_connectionId.store(NextConnectionId(), std::memory_order_relaxed);

    errno = 0;
    const ListenerReply beforeConnect = NotifyBeforeConnect(m_socket.load());
    const int listenerError = errno;
    if (m_life.State() != SocketState::Starting) // stopped from inside the notification
        return FailStart(SocketError::SocketPrepareFailed, SysError::Cancelled);
    if (beforeConnect == ListenerReply::Abort)
        return FailStart(SocketError::SocketPrepareFailed, ErrorOr(listenerError, SysError::Cancelled));

    if (!ConnectStep(connect != 0, peer))
        return FailStart(SocketError::ConnectFailed, errno);

    const int launchError = m_life.LaunchWorker([this] { WorkerLoop(); });
    if (launchError != 0)
        return FailStart(SocketError::WorkerThreadCreateFailed, launchError);
    m_life.EndStart();
    return true;
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

    m_connected.store(true, std::memory_order_release);
    SocketState expected = SocketState::Starting;
    if (!m_life.CompareAndSetState(expected, SocketState::Started)) {
        errno = SysError::Cancelled; // a Stop came first
        return false;
    }
    errno = 0;
    const ListenerReply reply = NotifyConnected();
    const int listenerError = errno;
    if (m_life.State() != SocketState::Started) {
        errno = SysError::Cancelled;
        return false;
    }
    if (reply == ListenerReply::Abort) {
        errno = ErrorOr(listenerError, SysError::Cancelled);
        return false;
    }
    SendKeepAlive();
    return true;
}

bool CUdpClient::FailStart(SocketError code, int error)
{
    m_notifyClose = false;
    m_closeOperation = CloseOperation::Close;
    m_closeErrorCode = 0;
    StopSocket(true);
    m_life.SetLastError(code);
    m_life.EndStart();
    errno = error;
    return false;
}

int CUdpClient::SendKeepAlive()
{
    static const uint8_t nothing = 0;
    if (SendConnected(m_socket.load(), &nothing, 0) < 0)
        return errno;
    return 0;
}

// ---- stop ----

bool CUdpClient::Stop() { return StopSocket(false); }

bool CUdpClient::StopSocket(bool failedStart)
{
    if (!m_life.BeginStop(failedStart))
        return false;
    m_life.EndWorker(m_stopSignal);
    if (m_notifyClose)
        NotifyClosed(m_closeOperation, m_closeErrorCode);
    int fd = m_socket.exchange(kInvalidSocket);
    CloseUdpSocket(fd);
    ResetState();
    m_life.EndStop();
    return true;
}

void CUdpClient::ResetState()
{
    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    m_receiveBuffer.Reset(0, false);
    m_sendSignal.Consume();
    m_stopSignal.Consume();
    m_outbox.ResetLocked();
    m_remoteAddressText.clear();
    m_remotePort = 0;
    m_missedIntervals = 0;
    m_connectPending = false;
    m_receivingPaused.store(false, std::memory_order_relaxed);
    m_connected.store(false, std::memory_order_release);
    m_life.SetState(SocketState::Stopped);
}

// ---- sending ----

bool CUdpClient::Send(const uint8_t *data, int32_t length, int32_t offset)
{
    int error = CheckSendArguments(data, length, GetMaxDatagramSize());
    if (error == 0)
        error = m_outbox.Queue(m_connected, data + offset, length);
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

bool CUdpClient::SendBuffers(const GatherBuffer buffers[], int32_t count)
{
    int32_t total = 0;
    int error = GatherTotal(buffers, count, GetMaxDatagramSize(), total);
    if (error == 0)
        error = m_outbox.QueueGather(m_connected, buffers, count, total);
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

bool CUdpClient::PauseReceiving(bool pause)
{
    if (!m_connected.load(std::memory_order_acquire)) {
        errno = SysError::InvalidState;
        return false;
    }
    if (m_receivingPaused.exchange(pause) != pause && !pause)
        m_sendSignal.Set(); // wake the worker so that it watches the socket again
    return true;
}

// ---- queries ----

bool CUdpClient::GetLocalAddress(char *address, int32_t &length, uint16_t &port) const
{
    return LocalAddressOf(m_socket.load(), address, length, port);
}

bool CUdpClient::GetRemoteHost(char *address, int32_t &length, uint16_t &port) const
{
    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    return CopyRemoteHost(m_remoteAddressText, m_remotePort, address, length, port);
}

bool CUdpClient::GetPendingBytes(int32_t &count) const
{
    count = m_outbox.PendingBytes();
    return IsActive();
}

bool CUdpClient::IsReceivingPaused(bool &paused) const
{
    paused = m_receivingPaused.load(std::memory_order_relaxed);
    return IsActive();
}

// ---- worker ----

void CUdpClient::Record(CloseOperation operation, int32_t code)
{
    m_notifyClose = true;
    m_closeOperation = operation;
    m_closeErrorCode = code;
}

void CUdpClient::WorkerLoop()
{
    bool callStop = true;
    bool abandoned = false;
    m_waitingWritable = false;
    const int32_t attempts = GetDetectAttempts();
    const int32_t interval = GetDetectInterval();
    // The keep-alive needs no timer: it is the time-out of the wait.
    const int timeoutMs = attempts > 0 && interval != 0 ? interval * 1000 : -1;
    const int socket = m_socket.load();

    Step step = Step::Continue;
    if (!m_receiveBuffer.Reset(static_cast<uint32_t>(GetMaxDatagramSize()), false)) {
        Record(CloseOperation::Unspecified, SysError::OutOfMemory);
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
    m_connected.store(true, std::memory_order_release);
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
            // ECONNREFUSED reports an ICMP port-unreachable for an earlier datagram:
            // the request gets no answer, the socket goes on.
            if (received.error == EINTR || received.error == ECONNREFUSED)
                continue;
            Record(CloseOperation::Receive, received.error);
            return Step::Leave;
        }
        // Longer than maxDatagramSize: the socket ends with (Receive, EMSGSIZE), as
        // for any other receive error; the cut-off start is never delivered.
        if (received.truncated) {
            Record(CloseOperation::Receive, SysError::MessageTooLong);
            return Step::Leave;
        }
        if (received.length == 0) {
            m_missedIntervals = 0; // the peer's keep-alive answer
            continue;
        }
        errno = 0;
        const ListenerReply reply = NotifyReceived(buffer, static_cast<int32_t>(received.length));
        const int listenerError = errno;
        if (!m_life.OnWorker())
            return Step::Abandoned;
        if (reply == ListenerReply::Abort) {
            Record(CloseOperation::Receive, ErrorOr(listenerError, SysError::Cancelled));
            return Step::Leave;
        }
    }
    return Step::Continue;
}

CUdpClient::Step CUdpClient::DrainQueue()
{
    const int fd = m_socket.load();
    const Outbox::DrainResult result = m_outbox.Drain(
        [fd](const uint8_t *data, int32_t length) { return SendConnected(fd, data, static_cast<size_t>(length)); },
        [&](const uint8_t *data, int32_t length) {
            NotifySent(data, length);
            return m_life.OnWorker();
        },
        [this] { return IsActive(); });
    switch (result.end) {
    case Outbox::DrainEnd::Empty: return Step::Continue;
    case Outbox::DrainEnd::WouldBlock: m_waitingWritable = true; return Step::Continue;
    case Outbox::DrainEnd::Abandoned: return Step::Abandoned;
    case Outbox::DrainEnd::Failed: break;
    }
    Record(CloseOperation::Send, result.error);
    return Step::Leave;
}
