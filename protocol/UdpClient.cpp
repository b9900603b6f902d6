#include "protocol/UdpClient.h"

#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "kit/ByteBuffer.h"
#include "kit/Clock.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"
#include "transport/LinuxUdp.h"
#include "transport/UdpClient.h"

namespace {

FrameBuffer *BufferOf(IUdpClient *socket)
{
    return static_cast<FrameBuffer *>(socket->GetUserData());
}

} // namespace

QUdpClient::QUdpClient() : m_clientSocket(new (std::nothrow) CUdpClient(this)) {}

QUdpClient::~QUdpClient()
{
    if (!m_clientSocket)
        return;
    // After Stop the socket's worker has ended: nothing appends to the buffer any more.
    if (m_clientSocket->GetState() != SocketState::Stopped)
        m_clientSocket->Stop();
    FrameBuffer *buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        buffer = BufferOf(m_clientSocket);
        m_clientSocket->SetUserData(nullptr);
    }
    delete m_clientSocket;
    m_clientSocket = nullptr;
    delete buffer;
}

bool QUdpClient::Connect(const char *address, uint16_t port, int32_t connect, const char *bindAddress)
{
    if (!m_clientSocket)
        return false;
    return m_clientSocket->Start(address, port, connect, bindAddress);
}

bool QUdpClient::Request(const Vant::IJson &request, Vant::CProtocalJson &answer, int timeoutMs,
                         const std::atomic<bool> *cancel)
{
    if (!m_clientSocket)
        return false;
    const uint32_t limit = static_cast<uint32_t>(timeoutMs < kMinTimeoutMs ? kMinTimeoutMs : timeoutMs);

    const std::string frame = BuildFrame(request.ToString());
    if (!m_clientSocket->Send(reinterpret_cast<const uint8_t *>(frame.data()), static_cast<int32_t>(frame.size()), 0))
        return false;

    const std::shared_ptr<Vant::IClock> clock = Vant::SystemClock();
    const uint32_t start = clock->Tick();
    for (;;) {
        // The buffer is read before the clock, so an answer that came in during the
        // last pause, before the limit passed, is still taken.
        if (ReadResponse(answer))
            return true;
        if (clock->Tick() - start >= limit || (cancel && cancel->load()))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

bool QUdpClient::ReadResponse(Vant::CProtocalJson &answer)
{
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (!m_clientSocket)
        return false;
    FrameBuffer *buffer = BufferOf(m_clientSocket);
    if (!buffer)
        return false;
    const bool found = ScanFrames(*buffer, answer, [](Vant::CProtocalJson &) { return ScanNext::Stop; });
    if (buffer->bytes.Empty())
        buffer->bytes.Reset(0, false); // gives the block back
    return found;
}

std::size_t QUdpClient::BufferedBytes() const
{
    std::lock_guard<std::mutex> lock(m_bufferLock);
    const FrameBuffer *buffer = m_clientSocket ? BufferOf(m_clientSocket) : nullptr;
    return buffer ? buffer->bytes.Length() : 0;
}

ListenerReply QUdpClient::SocketReady(IUdpClient *, uint32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QUdpClient::DatagramSent(IUdpClient *, uint32_t, const uint8_t *, int32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QUdpClient::DatagramReceived(IUdpClient *sender, uint32_t, const uint8_t *data, int32_t length)
{
    if (!sender || !data || length <= 0)
        return ListenerReply::Proceed;
    std::lock_guard<std::mutex> lock(m_bufferLock);
    // No buffer (it could not be allocated), or no room left in it until the next
    // scan: the datagram is dropped.
    FrameBuffer *buffer = BufferOf(sender);
    if (buffer && static_cast<uint32_t>(length) <= kMaxBufferedBytes - buffer->bytes.Length())
        buffer->bytes.Append(data, static_cast<uint32_t>(length));
    return ListenerReply::Proceed;
}

ListenerReply QUdpClient::SocketClosed(IUdpClient *, uint32_t, CloseOperation, int32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QUdpClient::BeforeConnect(IUdpClient *, uint32_t, SocketHandle socket)
{
    if (m_onLinkInterface.empty())
        return ListenerReply::Proceed;
    // errno tells the socket why, when this fails.
    return ::SetOnLinkInterface(socket, m_onLinkInterface) ? ListenerReply::Proceed : ListenerReply::Abort;
}

ListenerReply QUdpClient::SocketConnected(IUdpClient *sender, uint32_t)
{
    if (!sender)
        return ListenerReply::Proceed;
    // Attached before the worker delivers the first datagram of this connection.
    auto *fresh = new (std::nothrow) FrameBuffer();
    FrameBuffer *old = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        old = BufferOf(sender);
        sender->SetUserData(fresh);
    }
    delete old;
    return ListenerReply::Proceed;
}
