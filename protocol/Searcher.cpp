#include "protocol/Searcher.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

#include "kit/Clock.h"
#include "kit/Log.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"
#include "protocol/ReceiveBuffer.h"
#include "protocol/UdpCastGroup.h"
#include "transport/UdpCast.h"

// Settle never evicts the entry it settles, so that entry alone must fit.
static_assert(QUdpCast::kMaxPendingBytes >= kMaxFrameSize + QUdpCast::kPendingEntryCost,
              "a sender's incomplete frame of the largest size fits in the byte cap");

namespace {

uint32_t Tick()
{
    return Vant::SystemClock()->Tick();
}

// "A" to "Z" become "a" to "z"; every other byte stays (no locale involved).
std::string LowerAscii(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

} // namespace

QUdpCast::QUdpCast(const std::string &bindAddress, QUdpCastGroup *group, bool startSuspended)
    : Vant::CThread(startSuspended), m_castSocket(nullptr), m_lastSearchTick(0), m_bindAddress(bindAddress),
      m_group(group)
{
    m_heardOn.address = bindAddress;
    m_castSocket = new (std::nothrow) CUdpCast(this);
}

QUdpCast::~QUdpCast()
{
    // The worker has exited, so OnEnd has stopped the socket; deleting it would stop
    // it otherwise.
    delete m_castSocket;
    m_castSocket = nullptr;
    std::lock_guard<std::mutex> lock(m_bufferLock);
    m_pending.clear();
    m_age.clear();
    m_pendingBytes = 0;
}

void QUdpCast::StartSocket()
{
    m_castSocket->SetMulticastLoop(1);
    m_castSocket->SetMulticastTtl(1);
    m_castSocket->SetCastMode(CastMode::Broadcast);
    // A failure (the port busy, the address gone) is not reported: OnRun tries again
    // at the next search.
    if (m_castSocket->Start(kDestinationPort, kLocalPort, 0, m_bindAddress.c_str()))
        ReportMissingCompanion();
}

void QUdpCast::ReportMissingCompanion()
{
    // The socket runs without a broadcast receiver it should have: it still sends and
    // hears unicast answers, but devices answering by broadcast on this adapter are
    // not heard. Said once per searcher, not at every restart of its socket.
    const auto *cast = dynamic_cast<const CUdpCast *>(m_castSocket);
    if (m_companionReported || !cast)
        return;
    const std::string why = cast->CompanionFailure();
    if (why.empty())
        return;
    m_companionReported = true;
    std::fprintf(stderr, "search from %s: no receiver for broadcast answers (%s); searching with the bound socket only\n",
                 m_bindAddress.c_str(), why.c_str());
    std::fflush(stderr);
}

void QUdpCast::OnBegin()
{
    if (m_castSocket)
        StartSocket();
    // Counts as "one interval ago", so the first request leaves at the first step
    // whatever value the 32-bit tick happens to have.
    m_lastSearchTick = Tick() - kSearchIntervalMs;
}

void QUdpCast::OnRun()
{
    if (!m_castSocket) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kNoSocketPauseMs));
        return;
    }
    if (Tick() - m_lastSearchTick < kSearchIntervalMs)
        return;

    // A socket whose start failed (the port briefly busy) or whose worker ended on an
    // error (one datagram longer than the socket takes is enough) is Stopped; without
    // a new start this address would stay deaf for the rest of the session.
    if (m_castSocket->GetState() == SocketState::Stopped)
        StartSocket();

    Vant::CProtocalJson request;
    request.SetApi(kSearchApi);
    const std::string frame = BuildFrame(request.ToString());
    // A failed send is not reported; the next request follows one interval later.
    m_castSocket->Send(reinterpret_cast<const uint8_t *>(frame.data()), static_cast<int32_t>(frame.size()), 0);
    m_lastSearchTick = Tick();
}

void QUdpCast::OnEnd()
{
    // Waits for the socket's worker: no listener call comes after this.
    if (m_castSocket)
        m_castSocket->Stop();
}

ListenerReply QUdpCast::SocketReady(IUdpCast *, uint32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QUdpCast::DatagramSent(IUdpCast *, uint32_t, const uint8_t *, int32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QUdpCast::DatagramReceived(IUdpCast *sender, uint32_t, const uint8_t *data, int32_t length)
{
    char address[kSenderTextSize] = {};
    int32_t size = kSenderTextSize;
    uint16_t port = 0;
    if (!sender || !sender->GetSenderAddress(address, size, port))
        return ListenerReply::Proceed;
    try {
        PushData(std::string(address), data, length);
    } catch (...) {
        // Out of memory while handling this datagram: it is lost, the socket goes on.
    }
    return ListenerReply::Proceed;
}

ListenerReply QUdpCast::SocketClosed(IUdpCast *, uint32_t, CloseOperation, int32_t)
{
    return ListenerReply::Proceed;
}

ListenerReply QUdpCast::BeforeConnect(IUdpCast *, uint32_t, SocketHandle socket)
{
    // Bound, not yet receiving: room for the answers of a whole LAN at once.
    RaiseReceiveBuffer(socket, kReceiveBufferBytes);
    return ListenerReply::Proceed;
}

ListenerReply QUdpCast::SocketConnected(IUdpCast *, uint32_t)
{
    return ListenerReply::Proceed;
}

void QUdpCast::PushData(const std::string &sender, const uint8_t *data, int32_t length)
{
    std::lock_guard<std::mutex> lock(m_bufferLock);
    auto entry = m_pending.find(sender);
    if (entry == m_pending.end()) {
        // The usual case: whole frames from a sender with nothing pending. They are
        // scanned where they are, and an entry is made only for bytes left behind.
        FrameBuffer fresh;
        if (!data || length <= 0 || !fresh.bytes.Append(data, static_cast<uint32_t>(length)))
            return;
        try {
            ParseBuffer(fresh);
        } catch (...) {
            Keep(sender, fresh);
            throw;
        }
        Keep(sender, fresh);
        return;
    }
    // A failed append leaves the buffer empty: the entry then goes at once.
    if (data && length > 0)
        entry->second.buffer.bytes.Append(data, static_cast<uint32_t>(length));
    try {
        ParseBuffer(entry->second.buffer);
    } catch (...) {
        Settle(entry);
        throw;
    }
    Settle(entry);
}

void QUdpCast::Keep(const std::string &sender, FrameBuffer &scanned) noexcept
{
    if (scanned.bytes.Empty())
        return;
    try {
        m_age.push_back(sender);
    } catch (...) {
        return; // out of memory: the incomplete frame is lost
    }
    try {
        auto entry = m_pending.try_emplace(sender).first;
        entry->second.buffer = std::move(scanned);
        entry->second.age = std::prev(m_age.end());
        Settle(entry);
    } catch (...) {
        m_age.pop_back();
    }
}

void QUdpCast::Settle(PendingMap::iterator entry) noexcept
{
    ByteBuffer &bytes = entry->second.buffer.bytes;
    if (bytes.Empty()) {
        Erase(entry);
        return;
    }
    // Capacity left over from bytes a scan consumed is given back; if the smaller
    // block cannot be had, the larger one stays.
    if (bytes.Capacity() / 2 > bytes.Length()) {
        ByteBuffer smaller;
        if (smaller.Append(bytes.Data(), bytes.Length()))
            bytes = std::move(smaller);
    }
    m_pendingBytes -= entry->second.charge;
    entry->second.charge = bytes.Capacity() + kPendingEntryCost;
    m_pendingBytes += entry->second.charge;
    // The entry just scanned is the newest or has a frame under way: others go first.
    // It alone never passes a cap (a scan leaves less than one frame of the largest
    // size), so the loop ends with it still there.
    while ((m_pending.size() > kMaxPendingSenders || m_pendingBytes > kMaxPendingBytes) && m_pending.size() > 1) {
        auto oldest = m_pending.find(m_age.front() == entry->first ? *std::next(m_age.begin()) : m_age.front());
        Erase(oldest);
    }
}

void QUdpCast::Erase(PendingMap::iterator entry) noexcept
{
    m_pendingBytes -= entry->second.charge;
    m_age.erase(entry->second.age);
    m_pending.erase(entry);
}

std::size_t QUdpCast::PendingSenders() const
{
    std::lock_guard<std::mutex> lock(m_bufferLock);
    return m_pending.size();
}

std::size_t QUdpCast::PendingBytes() const
{
    std::lock_guard<std::mutex> lock(m_bufferLock);
    return m_pendingBytes;
}

void QUdpCast::ParseBuffer(FrameBuffer &buffer)
{
    Vant::CProtocalJson message;
    ScanFrames(buffer, message, [this](Vant::CProtocalJson &parsed) {
        HandleMessage(parsed);
        return ScanNext::Continue;
    });
}

void QUdpCast::HandleMessage(Vant::CProtocalJson &message)
{
    if (!m_group)
        return;
    // Logged and dispatched as compact JSON written anew, never as the bytes received.
    const std::string text = message.ToString();
    Vant::LogWrite(kLogTag, text);
    if (LowerAscii(message.GetApi()) == kSearchApi)
        m_group->Dispatch(text.c_str(), static_cast<int>(text.size()), m_heardOn);
}
