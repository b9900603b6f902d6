#include "protocol/UdpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

// What the socket's user data points to.
struct QUdpClient::Buffers {
    FrameBuffer pending; // the device's bytes not yet a whole frame
    ByteBuffer answers;  // valid messages found, each framed anew, oldest first
};

namespace {

QUdpClient::Buffers *BufferOf(IUdpClient *socket)
{
    return static_cast<QUdpClient::Buffers *>(socket->GetUserData());
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
    Buffers *buffer = nullptr;
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

void QUdpClient::SetKeepAlive(bool on)
{
    if (auto *client = dynamic_cast<CUdpClient *>(m_clientSocket))
        client->SetKeepAlive(on);
}

bool QUdpClient::Request(const Vant::IJson &request, Vant::CProtocalJson &answer, int timeoutMs,
                         const std::atomic<bool> *cancel)
{
    if (!m_clientSocket)
        return false;
    const uint32_t limit = static_cast<uint32_t>(timeoutMs < kMinTimeoutMs ? kMinTimeoutMs : timeoutMs);

    const std::string frame = BuildFrame(request.ToString());
    m_requestSent = false;
    Route route = Route::Socket;
    if (m_chooseRoute) {
        if (m_handle.load() < 0)
            return false;
        route = m_chooseRoute(frame, m_handle.load());
        if (route == Route::Withheld)
            return false;
    }
    if (route == Route::Socket &&
        !m_clientSocket->Send(reinterpret_cast<const uint8_t *>(frame.data()), static_cast<int32_t>(frame.size()), 0))
        return false;
    m_requestSent = true;

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
    Buffers *buffers = BufferOf(m_clientSocket);
    if (!buffers)
        return false;
    // Only valid frames are there: the scan parses the first and stops.
    const bool found =
        ScanFrames(buffers->answers, answer, [](Vant::CProtocalJson &) { return ScanNext::Stop; });
    if (buffers->answers.Empty())
        buffers->answers.Reset(0, false); // gives the block back
    return found;
}

std::size_t QUdpClient::BufferedBytes() const
{
    std::lock_guard<std::mutex> lock(m_bufferLock);
    const Buffers *buffers = m_clientSocket ? BufferOf(m_clientSocket) : nullptr;
    return buffers ? buffers->pending.bytes.Length() + buffers->answers.Length() : 0;
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
    const uint32_t now = Vant::SystemClock()->Tick();
    try {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        Buffers *buffers = BufferOf(sender);
        if (!buffers) // could not be allocated: the datagram is dropped
            return ListenerReply::Proceed;
        // Bytes of an incomplete frame begun too long ago, or that a frame header
        // follows, go first: neither a stray nor a forged header from the device's
        // address holds back its answer.
        if (!AddDatagram(buffers->pending, reinterpret_cast<const char *>(data), static_cast<uint32_t>(length), now,
                         kMaxBufferedBytes))
            return ListenerReply::Proceed;
        Vant::CProtocalJson message;
        ScanFrames(buffers->pending, message, [buffers](Vant::CProtocalJson &found) {
            const std::string frame = BuildFrame(found.ToString());
            if (frame.size() <= kMaxBufferedBytes - buffers->answers.Length())
                buffers->answers.Append(frame.data(), static_cast<uint32_t>(frame.size()));
            return ScanNext::Continue;
        });
        if (buffers->pending.bytes.Empty())
            buffers->pending.bytes.Reset(0, false);
    } catch (...) {
        // Out of memory while handling this datagram: it is lost, the socket goes on.
    }
    return ListenerReply::Proceed;
}

ListenerReply QUdpClient::SocketClosed(IUdpClient *, uint32_t, CloseOperation, int32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QUdpClient::BeforeConnect(IUdpClient *, uint32_t, SocketHandle socket)
{
    m_handle = static_cast<int>(socket);
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
    auto *fresh = new (std::nothrow) Buffers();
    Buffers *old = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        old = BufferOf(sender);
        sender->SetUserData(fresh);
    }
    delete old;
    return ListenerReply::Proceed;
}
