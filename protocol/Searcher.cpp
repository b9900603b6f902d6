#include "protocol/Searcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include <arpa/inet.h>

#include "kit/Clock.h"
#include "kit/Log.h"
#include "kit/UnsafeText.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"
#include "protocol/ReceiveBuffer.h"
#include "protocol/UdpCastGroup.h"
#include "transport/LinuxPortHolder.h"
#include "transport/LinuxUdp.h"
#include "transport/UdpCast.h"

// Settle never evicts the entry it settles, so that entry alone must fit.
static_assert(QUdpCast::kMaxPendingBytes >= kMaxFrameCandidates * kMaxFrameSize + QUdpCast::kPendingEntryCost,
              "a sender's candidate frames of the largest size fit in the byte cap");

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
    : Vant::CThread(startSuspended), m_castSocket(nullptr), m_lastSearchTick(0),
      m_pendingClock(Vant::SystemClock()), m_bindAddress(bindAddress), m_group(group)
{
    m_heardOn.address = bindAddress;
    in_addr parsed{};
    if (inet_pton(AF_INET, bindAddress.c_str(), &parsed) == 1)
        m_bindIp = parsed.s_addr;
    Vant::CProtocalJson request;
    request.SetApi(kSearchApi);
    m_searchFrame = BuildFrame(request.ToString());
    m_castSocket = new (std::nothrow) CUdpCast(this);
}

void QUdpCast::SetTarget(const SearchTarget &target)
{
    m_target = target;
    m_heardOn.address = target.address;
    m_heardOn.device = target.device;
    m_heardOn.index = target.index;
    m_heardOn.netmask = target.netmask;
    // The subnet broadcast address follows 255.255.255.255 in the target's list.
    m_heardOn.broadcast = target.broadcasts.size() > 1 ? target.broadcasts[1] : 0;
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
    auto *cast = dynamic_cast<CUdpCast *>(m_castSocket);
    m_castSocket->SetMulticastLoop(1);
    m_castSocket->SetMulticastTtl(1);
    m_castSocket->SetCastMode(CastMode::Broadcast);
    // On 19009 the group's shared receivers hear the broadcast answers.
    if (cast && m_target.index != 0)
        cast->SetInterface(m_target.index, {});
    // While the interface's broadcast receiver is held, 19009 would hear unicast
    // answers only: the search goes to a port with receivers of its own at once.
    const std::pair<std::string, std::string> held = HeldBroadcast();
    if (held.first.empty() && m_castSocket->Start(kDestinationPort, kLocalPort, 0, m_bindAddress.c_str())) {
        NoteStart(SocketUse::SearchPort, kLocalPort, 0, std::string());
        ReportMissingCompanion();
        return;
    }
    int error = held.first.empty() ? errno : EADDRINUSE;
    std::string holder;
    if (error == EADDRINUSE) {
        in_addr address{};
        inet_pton(AF_INET, m_bindAddress.c_str(), &address);
        holder = held.first.empty() ? UdpPortHolder(address.s_addr, kLocalPort) : held.second;
        // A port of its own: broadcast answers to it reach only receivers of its own.
        if (cast && m_target.index != 0)
            cast->SetInterface(m_target.index, m_target.broadcasts);
        if (m_castSocket->Start(kDestinationPort, 0, 0, m_bindAddress.c_str())) {
            char text[kSenderTextSize] = {};
            int32_t size = kSenderTextSize;
            uint16_t port = 0;
            m_castSocket->GetLocalAddress(text, size, port);
            NoteStart(SocketUse::OtherPort, port, error, holder, held.first);
            ReportOtherPort();
            ReportMissingCompanion();
            return;
        }
        if (errno != EADDRINUSE)
            error = errno;
    }
    // Tried again at the next request (the address may come back, the port be freed).
    NoteStart(SocketUse::Failed, 0, error, holder);
    ReportStartFailure();
}

void QUdpCast::SetBroadcastPortHeld(const std::string &broadcast, const std::string &holder)
{
    std::lock_guard<std::mutex> lock(m_heldLock);
    m_heldBroadcast = broadcast;
    m_heldBroadcastHolder = broadcast.empty() ? std::string() : holder;
}

std::pair<std::string, std::string> QUdpCast::HeldBroadcast() const
{
    std::lock_guard<std::mutex> lock(m_heldLock);
    return {m_heldBroadcast, m_heldBroadcastHolder};
}

void QUdpCast::ReturnToSearchPort()
{
    SocketUse use = SocketUse::NotYet;
    {
        std::lock_guard<std::mutex> lock(m_statusLock);
        use = m_status.use;
    }
    const bool broadcastHeld = !HeldBroadcast().first.empty();
    if (use == SocketUse::SearchPort && broadcastHeld) {
        m_castSocket->Stop();
        StartSocket();
        return;
    }
    if (use != SocketUse::OtherPort || broadcastHeld)
        return;
    // A trial bind tells whether 19009 is free on the address and interface now.
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (probe < 0)
        return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kLocalPort);
    inet_pton(AF_INET, m_bindAddress.c_str(), &local.sin_addr);
    const bool free = (m_target.index == 0 || BindToInterface(probe, m_target.index)) &&
                      bind(probe, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
    close(probe);
    if (!free)
        return;
    m_castSocket->Stop();
    StartSocket();
}

void QUdpCast::NoteStart(SocketUse use, uint16_t port, int error, const std::string &holder,
                         const std::string &heldBroadcast)
{
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_status.use = use;
    m_status.port = port;
    m_status.error = error;
    m_status.holder = holder;
    m_status.heldBroadcast = heldBroadcast;
}

QUdpCast::SocketStatus QUdpCast::Status() const
{
    SocketStatus status;
    {
        std::lock_guard<std::mutex> lock(m_statusLock);
        status = m_status;
    }
    if (const auto *cast = dynamic_cast<const CUdpCast *>(m_castSocket)) {
        status.sendErrors = cast->SendErrors();
        if (status.use == SocketUse::SearchPort || status.use == SocketUse::OtherPort)
            status.companionFailure = cast->CompanionFailure();
    }
    return status;
}

std::string QUdpCast::PortInUseText(const SocketStatus &status)
{
    const std::string port = status.heldBroadcast.empty()
                                 ? "port " + std::to_string(kLocalPort)
                                 : "broadcast port " + status.heldBroadcast + ":" + std::to_string(kLocalPort);
    return port + " is in use" + (status.holder.empty() ? "" : " by " + status.holder);
}

std::string QUdpCast::PortFailureText(const SocketStatus &status)
{
    return std::strerror(status.error) + (status.holder.empty() ? std::string() : ", held by " + status.holder);
}

std::string QUdpCast::Who() const
{
    // Led by the program's name, as every diagnostic of the program is.
    return std::string(program_invocation_short_name) + ": search from " + m_bindAddress + (m_target.device.empty() ? "" : " on " + m_target.device);
}

void QUdpCast::ReportOtherPort()
{
    if (m_otherPortReported)
        return;
    m_otherPortReported = true;
    const SocketStatus status = Status();
    std::fprintf(stderr,
                 "%s: %s; searching from port %u instead: devices that answer only to port %u are not heard from "
                 "this address\n",
                 Who().c_str(), PortInUseText(status).c_str(), unsigned(status.port), unsigned(kLocalPort));
    std::fflush(stderr);
}

void QUdpCast::ReportStartFailure()
{
    if (m_failureReported)
        return;
    m_failureReported = true;
    const SocketStatus status = Status();
    std::fprintf(stderr, "%s: cannot open port %u (%s); trying again every %u s\n", Who().c_str(),
                 unsigned(kLocalPort), PortFailureText(status).c_str(), unsigned(kSearchIntervalMs / 1000));
    std::fflush(stderr);
}

void QUdpCast::ReportSendErrors()
{
    const auto *cast = dynamic_cast<const CUdpCast *>(m_castSocket);
    if (m_sendErrorsReported || !cast || cast->SendErrorCount() == 0)
        return;
    m_sendErrorsReported = true;
    const std::map<int, uint64_t> errors = cast->SendErrors();
    std::string kinds;
    for (const auto &kind : errors)
        kinds += (kinds.empty() ? "" : ", ") + std::string(std::strerror(kind.first));
    std::fprintf(stderr, "%s: the search request could not be sent (%s); still listening for answers\n",
                 Who().c_str(), kinds.c_str());
    std::fflush(stderr);
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
    std::fprintf(stderr, "%s: no receiver for broadcast answers (%s); searching with the bound socket only\n",
                 Who().c_str(), why.c_str());
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
    SendRangeRequests();
    if (Tick() - m_lastSearchTick < kSearchIntervalMs)
        return;

    // A socket whose start failed (the port briefly busy) or whose worker ended on an
    // error (one datagram longer than the socket takes is enough) is Stopped; without
    // a new start this address would stay deaf for the rest of the session.
    if (m_castSocket->GetState() == SocketState::Stopped)
        StartSocket();
    else
        ReturnToSearchPort();
    // What the last round's request met: said once, the socket goes on.
    ReportSendErrors();

    // A failed send is not reported; the next request follows one interval later.
    m_castSocket->Send(reinterpret_cast<const uint8_t *>(m_searchFrame.data()),
                       static_cast<int32_t>(m_searchFrame.size()), 0);
    m_lastSearchTick = Tick();
}

bool QUdpCast::QueueRangeRequest(const sockaddr_in &destination)
{
    std::lock_guard<std::mutex> lock(m_rangeLock);
    if (m_rangeQueue.size() >= kMaxQueuedRangeRequests) {
        ++m_rangeCounts.dropped;
        return false;
    }
    m_rangeQueue.push_back(destination);
    return true;
}

QUdpCast::RangeCounts QUdpCast::RangeRequests() const
{
    std::lock_guard<std::mutex> lock(m_rangeLock);
    return m_rangeCounts;
}

void QUdpCast::SendRangeRequests()
{
    {
        std::lock_guard<std::mutex> lock(m_rangeLock);
        if (m_rangeQueue.empty())
            return;
        m_rangeSending.swap(m_rangeQueue);
    }
    auto *cast = dynamic_cast<CUdpCast *>(m_castSocket);
    uint64_t sent = 0, failed = 0;
    int lastError = 0;
    for (const sockaddr_in &destination : m_rangeSending) {
        // This worker starts and stops the socket, so it cannot close meanwhile.
        const int error = cast ? cast->SendTo(destination, reinterpret_cast<const uint8_t *>(m_searchFrame.data()),
                                              static_cast<int32_t>(m_searchFrame.size()))
                               : ENOTCONN;
        if (error == 0) {
            ++sent;
        } else {
            ++failed;
            lastError = error;
        }
    }
    m_rangeSending.clear();
    std::lock_guard<std::mutex> lock(m_rangeLock);
    m_rangeCounts.sent += sent;
    m_rangeCounts.failed += failed;
    if (lastError)
        m_rangeCounts.lastError = lastError;
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
        PushData(std::string(address), port, data, length);
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

void QUdpCast::SetPendingClock(std::shared_ptr<Vant::IClock> clock)
{
    std::lock_guard<std::mutex> lock(m_bufferLock);
    m_pendingClock = clock ? std::move(clock) : Vant::SystemClock();
}

void QUdpCast::PushData(const std::string &address, uint16_t port, const uint8_t *data, int32_t length)
{
    if (!data || length <= 0)
        return;
    in_addr parsed{};
    const bool keyed = inet_pton(AF_INET, address.c_str(), &parsed) == 1;
    const SenderKey sender = keyed ? (SenderKey{ntohl(parsed.s_addr)} << 16) | port : 0;
    std::lock_guard<std::mutex> lock(m_bufferLock);
    // The frames scanned below all come from this sender: their answers carry it.
    m_scanSource = AnswerSource{&address, port};
    const uint32_t now = m_pendingClock->Tick();
    ExpirePending(now);
    const auto entry = keyed ? m_pending.find(sender) : m_pending.end();
    if (entry == m_pending.end())
        ScanFresh(sender, keyed, data, length, now);
    else
        ScanPending(entry, data, length, now);
}

void QUdpCast::ScanFresh(SenderKey sender, bool keyed, const uint8_t *data, int32_t length, uint32_t now)
{
    // The usual case: whole frames from a sender with nothing pending. They are
    // scanned where they are, and an entry is made only for bytes left behind.
    FrameBuffer fresh;
    fresh.firstTick = now;
    fresh.lastTick = now;
    if (!fresh.bytes.Append(data, static_cast<uint32_t>(length)))
        return;
    try {
        ParseBuffer(fresh);
    } catch (...) {
        if (keyed)
            Keep(sender, fresh);
        throw;
    }
    if (keyed)
        Keep(sender, fresh);
}

void QUdpCast::ScanPending(PendingMap::iterator entry, const uint8_t *data, int32_t length, uint32_t now)
{
    // A frame header starting the datagram, or a frame pending past the time-out,
    // replaces what it held; the entry then becomes the newest (m_age is ordered by
    // the first datagram of what each entry holds). A failed append leaves the
    // buffer empty: the entry then goes at once.
    FrameBuffer &buffer = entry->second.buffer;
    const uint32_t began = buffer.firstTick;
    const auto settle = [&] {
        if (buffer.firstTick != began)
            m_age.splice(m_age.end(), m_age, entry->second.age);
        Settle(entry);
    };
    try {
        AddDatagram(buffer, reinterpret_cast<const char *>(data), static_cast<uint32_t>(length), now);
        ParseBuffer(buffer);
    } catch (...) {
        settle();
        throw;
    }
    settle();
}

void QUdpCast::ExpirePending(uint32_t now) noexcept
{
    // m_age runs from the entry whose pending frame began first to the newest, so
    // the expired ones are at its front and the walk stops at the first that is not.
    while (!m_age.empty()) {
        const auto oldest = m_pending.find(m_age.front());
        if (now - oldest->second.buffer.firstTick <= kPendingFrameTimeoutMs)
            return;
        Erase(oldest);
    }
}

void QUdpCast::Keep(SenderKey sender, FrameBuffer &scanned) noexcept
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
    if (entry->second.buffer.Empty()) {
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
    entry->second.charge = entry->second.buffer.Capacity() + kPendingEntryCost;
    m_pendingBytes += entry->second.charge;
    // The entry just scanned is the newest: others go first.
    // It alone never passes a cap (a scan leaves less than kMaxFrameCandidates frames of the largest
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

namespace {
// The source of frames scanned without a sender (ParseBuffer called directly).
const AnswerSource &NoSource()
{
    static const std::string none;
    static const AnswerSource source{&none, 0};
    return source;
}
} // namespace

void QUdpCast::HandleMessage(const Vant::CProtocalJson &message)
{
    if (!m_group)
        return;
    // Logged (and handed to a text callback) as compact JSON written anew, never as
    // the bytes received, with every character that must not reach a log line raw
    // escaped. An answer callback reads the parsed message itself.
    const std::string text = Vant::EscapeUnsafeInJson(message.ToString());
    Vant::LogWrite(kLogTag, text);
    if (LowerAscii(message.GetApi()) == kSearchApi)
        m_group->Dispatch(message, text, m_heardOn, m_scanSource.address ? m_scanSource : NoSource());
}
