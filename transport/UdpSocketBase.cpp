#include "transport/UdpSocketBase.h"

#include <cerrno>

#include "transport/ClientOperations.h"
#include "transport/LinuxUdp.h"

namespace {

// True for 0; otherwise false with the error in errno.
bool Succeeded(int error)
{
    if (error == 0)
        return true;
    errno = error;
    return false;
}

} // namespace

template <class Interface>
void UdpSocketBase<Interface>::Configure(std::atomic<int32_t> &field, int32_t value)
{
    if (m_life.State() == SocketState::Stopped)
        field.store(value, std::memory_order_relaxed);
}

// ---- notifications ----

template <class Interface>
ListenerReply UdpSocketBase<Interface>::NotifyBeforeConnect(SocketHandle socket)
{
    return m_listener->BeforeConnect(this, GetConnectionId(), socket);
}

template <class Interface>
ListenerReply UdpSocketBase<Interface>::NotifyConnected()
{
    if (m_listener->SocketConnected(this, GetConnectionId()) == ListenerReply::Abort)
        return ListenerReply::Abort;
    return NotifyReady();
}

template <class Interface>
ListenerReply UdpSocketBase<Interface>::NotifyReady()
{
    return m_listener->SocketReady(this, GetConnectionId());
}

template <class Interface>
void UdpSocketBase<Interface>::NotifySent(const uint8_t *data, int32_t length)
{
    m_listener->DatagramSent(this, GetConnectionId(), data, length);
}

template <class Interface>
ListenerReply UdpSocketBase<Interface>::NotifyAuxiliary(int32_t value)
{
    return m_listener->AuxiliaryNotice(this, GetConnectionId(), value);
}

template <class Interface>
ListenerReply UdpSocketBase<Interface>::NotifyReceived(const uint8_t *data, int32_t length)
{
    return m_listener->DatagramReceived(this, GetConnectionId(), data, length);
}

template <class Interface>
void UdpSocketBase<Interface>::NotifyClosed(CloseOperation operation, int32_t errorCode)
{
    m_listener->SocketClosed(this, GetConnectionId(), operation, errorCode);
}

template <class Interface>
void UdpSocketBase<Interface>::WorkerThreadEnded(std::thread::id)
{
}

// ---- start ----

template <class Interface>
bool UdpSocketBase<Interface>::CheckParameters() const
{
    return m_maxDatagramSize.load(std::memory_order_relaxed) > 0 && m_poolSize.load(std::memory_order_relaxed) >= 0 &&
           m_poolHold.load(std::memory_order_relaxed) >= 0;
}

template <class Interface>
void UdpSocketBase<Interface>::PrepareStart()
{
    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    m_outbox.ConfigureLocked(m_maxDatagramSize.load(std::memory_order_relaxed),
                             m_poolSize.load(std::memory_order_relaxed), m_poolHold.load(std::memory_order_relaxed));
}

template <class Interface>
bool UdpSocketBase<Interface>::BeginStartSocket()
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
    return true;
}

template <class Interface>
bool UdpSocketBase<Interface>::BeforeConnectStep()
{
    errno = 0;
    const ListenerReply beforeConnect = NotifyBeforeConnect(m_socket.load());
    const int listenerError = errno;
    if (m_life.State() != SocketState::Starting) // stopped from inside the notification
        return FailStart(SocketError::SocketPrepareFailed, SysError::Cancelled);
    if (beforeConnect == ListenerReply::Abort)
        return FailStart(SocketError::SocketPrepareFailed, ErrorOr(listenerError, SysError::Cancelled));
    return true;
}

template <class Interface>
bool UdpSocketBase<Interface>::EnterStarted()
{
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
    return true;
}

template <class Interface>
bool UdpSocketBase<Interface>::LaunchWorkerStep()
{
    const int launchError = m_life.LaunchWorker([this] { WorkerLoop(); });
    if (launchError != 0)
        return FailStart(SocketError::WorkerThreadCreateFailed, launchError);
    m_life.EndStart();
    return true;
}

template <class Interface>
bool UdpSocketBase<Interface>::FailStart(SocketError code, int error)
{
    // A failed start is silent: no SocketClosed. When a Stop already ended the
    // socket (from inside a notification) or is about to, there is nothing to undo.
    m_notifyClose = false;
    m_closeOperation = CloseOperation::Close;
    m_closeErrorCode = 0;
    StopSocket(true);
    m_life.SetLastError(code);
    m_life.EndStart();
    errno = error;
    return false;
}

// ---- stop ----

template <class Interface>
bool UdpSocketBase<Interface>::Stop()
{
    return StopSocket(false);
}

template <class Interface>
bool UdpSocketBase<Interface>::StopSocket(bool failedStart)
{
    if (!m_life.BeginStop(failedStart))
        return false;
    m_life.EndWorker(m_stopSignal);
    if (m_notifyClose)
        NotifyClosed(m_closeOperation, m_closeErrorCode);
    CloseSockets();
    ResetState();
    m_life.EndStop();
    return true;
}

template <class Interface>
void UdpSocketBase<Interface>::CloseSockets()
{
    int fd = m_socket.exchange(kInvalidSocket);
    CloseUdpSocket(fd);
}

template <class Interface>
void UdpSocketBase<Interface>::ResetState()
{
    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    m_receiveBuffer.Reset(0, false);
    m_sendSignal.Consume();
    m_stopSignal.Consume();
    m_outbox.ResetLocked();
    m_remoteAddressText.clear();
    m_remotePort = 0;
    m_receivingPaused.store(false, std::memory_order_relaxed);
    m_ready.store(false, std::memory_order_release);
    m_life.SetState(SocketState::Stopped);
}

// ---- sending ----

template <class Interface>
bool UdpSocketBase<Interface>::Send(const uint8_t *data, int32_t length, int32_t offset)
{
    int error = CheckSendArguments(data, length, GetMaxDatagramSize());
    if (error == 0)
        error = m_outbox.Queue(m_ready, data + offset, length);
    return Succeeded(error);
}

template <class Interface>
bool UdpSocketBase<Interface>::SendBuffers(const GatherBuffer buffers[], int32_t count)
{
    int32_t total = 0;
    int error = GatherTotal(buffers, count, GetMaxDatagramSize(), total);
    if (error == 0)
        error = m_outbox.QueueGather(m_ready, buffers, count, total);
    return Succeeded(error);
}

template <class Interface>
bool UdpSocketBase<Interface>::PauseReceiving(bool pause)
{
    if (!m_ready.load(std::memory_order_acquire)) {
        errno = SysError::InvalidState;
        return false;
    }
    if (m_receivingPaused.exchange(pause) != pause && !pause)
        m_sendSignal.Set(); // wake the worker so that it watches the socket again
    return true;
}

// ---- queries ----

template <class Interface>
bool UdpSocketBase<Interface>::GetLocalAddress(char *address, int32_t &length, uint16_t &port) const
{
    return LocalAddressOf(m_socket.load(), address, length, port);
}

template <class Interface>
bool UdpSocketBase<Interface>::GetRemoteHost(char *address, int32_t &length, uint16_t &port) const
{
    std::lock_guard<std::mutex> guard(m_outbox.Lock());
    return CopyRemoteHost(m_remoteAddressText, m_remotePort, address, length, port);
}

template <class Interface>
bool UdpSocketBase<Interface>::GetPendingBytes(int32_t &count) const
{
    count = m_outbox.PendingBytes();
    return IsActive();
}

template <class Interface>
bool UdpSocketBase<Interface>::IsReceivingPaused(bool &paused) const
{
    paused = m_receivingPaused.load(std::memory_order_relaxed);
    return IsActive();
}

// ---- worker ----

template <class Interface>
void UdpSocketBase<Interface>::Record(CloseOperation operation, int32_t code)
{
    m_notifyClose = true;
    m_closeOperation = operation;
    m_closeErrorCode = code;
}

template <class Interface>
bool UdpSocketBase<Interface>::AllocateReceiveBuffer()
{
    if (m_receiveBuffer.Reset(static_cast<uint32_t>(GetMaxDatagramSize()), false))
        return true;
    Record(CloseOperation::Unspecified, SysError::OutOfMemory);
    return false;
}

template <class Interface>
typename UdpSocketBase<Interface>::Step UdpSocketBase<Interface>::Deliver(const uint8_t *data, int32_t length)
{
    errno = 0;
    const ListenerReply reply = NotifyReceived(data, length);
    const int listenerError = errno;
    if (!m_life.OnWorker())
        return Step::Abandoned;
    if (reply == ListenerReply::Abort) {
        Record(CloseOperation::Receive, ErrorOr(listenerError, SysError::Cancelled));
        return Step::Leave;
    }
    return Step::Continue;
}

template <class Interface>
typename UdpSocketBase<Interface>::Step UdpSocketBase<Interface>::DrainQueue()
{
    const int fd = m_socket.load();
    const Outbox::DrainResult result = m_outbox.Drain(
        [&](const uint8_t *data, int32_t length) { return SendDatagram(fd, data, length); },
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

template class UdpSocketBase<IUdpCast>;
template class UdpSocketBase<IUdpClient>;
