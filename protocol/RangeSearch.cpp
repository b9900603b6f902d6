#include "protocol/RangeSearch.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kit/Clock.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"

namespace {

uint32_t Tick()
{
    return Vant::SystemClock()->Tick();
}

// After a stall (the machine suspended, the worker starved) the pace does not make up
// for lost time in one burst: at most this many milliseconds' worth go at once.
constexpr uint32_t kMaxCatchUpMs = 100;

} // namespace

QRangeSearch::QRangeSearch(QUdpCastGroup *group, SearchRanges ranges, unsigned rate, uint32_t periodMs)
    : Vant::CThread(false), m_group(group), m_ranges(std::move(ranges)),
      m_rate(rate == 0 ? kDefaultRangeRate : (rate > kMaxRangeRate ? kMaxRangeRate : rate)), m_periodMs(periodMs)
{
    m_status.addresses = m_ranges.Count();
    m_status.rate = m_rate;
}

QRangeSearch::~QRangeSearch()
{
    if (m_probe >= 0)
        close(m_probe);
}

void QRangeSearch::OnBegin()
{
    m_probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

void QRangeSearch::OnEnd()
{
    if (m_probe >= 0)
        close(m_probe);
    m_probe = -1;
}

void QRangeSearch::NoteAnswer(uint32_t address)
{
    if (!m_ranges.Contains(address))
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    auto found = m_answerers.find(address);
    if (found != m_answerers.end())
        found->second = Tick();
    else if (m_answerers.size() < kMaxRangeAnswerers)
        m_answerers.emplace(address, Tick());
    m_status.answerers = m_answerers.size();
}

QRangeSearch::Status QRangeSearch::GetStatus() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_status;
}

void QRangeSearch::StartRound(uint32_t now)
{
    if (m_started && !m_sweepDone && !m_overrunReported)
        ReportOverrun();
    m_started = true;
    m_roundStart = now;
    if (m_sweepDone) {
        m_sweepDone = false;
        m_sweepNext = 0;
    }
    m_reask.clear();
    m_reaskNext = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_answerers.begin(); it != m_answerers.end();) {
        if (now - it->second > kRangeAnswererForgetMs) {
            it = m_answerers.erase(it);
            continue;
        }
        m_reask.push_back(it->first);
        ++it;
    }
    m_status.answerers = m_answerers.size();
}

void QRangeSearch::ReportOverrun()
{
    m_overrunReported = true;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_status.overrun = true;
    }
    const unsigned seconds = (m_ranges.Count() + m_rate - 1) / m_rate;
    std::fprintf(stderr,
                 "%s: search ranges: %u addresses at %u requests/s take about %u s, longer than the %u s search "
                 "period; each address is asked once every %u s (devices that answered, every period)\n",
                 program_invocation_short_name, unsigned(m_ranges.Count()), m_rate, seconds,
                 unsigned(m_periodMs / 1000), seconds);
    std::fflush(stderr);
}

void QRangeSearch::OnRun()
{
    const uint32_t now = Tick();
    if (!m_started || now - m_roundStart >= m_periodMs)
        StartRound(now);
    const bool work = m_reaskNext < m_reask.size() || !m_sweepDone;
    if (!work) {
        // Nothing due: the pace starts afresh with the next request, without credit.
        m_paceStart = now;
        m_paced = 0;
        return;
    }
    // The first request of a pace leaves at once, the rest follow the clock.
    const uint32_t elapsed = now - m_paceStart;
    uint64_t due = uint64_t{elapsed} * m_rate / 1000 + 1;
    if (due > m_paced + uint64_t{kMaxCatchUpMs} * m_rate / 1000 + 1) {
        // Behind by more than the catch-up allowance: the pace begins again now.
        m_paceStart = now;
        m_paced = 0;
        due = 1;
    }
    while (m_paced < due && !IsStopRequested()) {
        if (m_reaskNext < m_reask.size()) {
            Send(m_reask[m_reaskNext++]);
        } else if (!m_sweepDone) {
            Send(m_ranges.At(m_sweepNext++));
            if (m_sweepNext >= m_ranges.Count()) {
                m_sweepDone = true;
                std::lock_guard<std::mutex> lock(m_lock);
                ++m_status.sweeps;
            }
        } else {
            break;
        }
        ++m_paced;
    }
}

void QRangeSearch::Send(uint32_t address)
{
    // The routing table's choice of source address for the destination: connecting a
    // UDP socket sends nothing, it only looks the route up.
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(QUdpCast::kDestinationPort);
    destination.sin_addr.s_addr = htonl(address);
    sockaddr_in source{};
    socklen_t size = sizeof source;
    const bool routed = m_probe >= 0 &&
                        connect(m_probe, reinterpret_cast<const sockaddr *>(&destination), sizeof destination) == 0 &&
                        getsockname(m_probe, reinterpret_cast<sockaddr *>(&source), &size) == 0;
    if (!routed) {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_status.unreachable;
        return;
    }
    const bool queued = m_group->QueueRangeRequest(source.sin_addr.s_addr, destination);
    std::lock_guard<std::mutex> lock(m_lock);
    ++(queued ? m_status.sent : m_status.noSearcher);
}
