#include "protocol/UdpCastGroup.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "protocol/AddressWatch.h"
#include "protocol/BroadcastReceiver.h"
#include "protocol/Json.h"
#include "protocol/RescanPlan.h"
#include "protocol/Searcher.h"
#include "transport/LinuxPortHolder.h"

namespace {

// How often Stop looks whether a searcher has ended.
constexpr auto kStopPoll = std::chrono::milliseconds(10);

} // namespace

QUdpCastGroup::QUdpCastGroup(UdpMsgCallBack callback, void *user)
    : m_callback(callback), m_user(user), m_interfaces(SystemInterfaceList())
{
}

QUdpCastGroup::~QUdpCastGroup()
{
    // Searchers left running would call back into a group that no longer exists.
    Stop();
}

void QUdpCastGroup::SetAddressFilter(AddressFilter keep)
{
    m_filter = std::move(keep);
}

void QUdpCastGroup::SetInterfaceList(const InterfaceListCalls &calls)
{
    m_interfaces = calls;
}

bool QUdpCastGroup::GetLocalAddresses(Vant::CProtocalJson &result)
{
    return ReadLocalAddresses(result, SystemInterfaceList());
}

void QUdpCastGroup::SetRanges(SearchRanges ranges, unsigned rate)
{
    m_ranges = std::move(ranges);
    m_rangeRate = rate;
    if (!m_started)
        return;
    std::shared_ptr<QRangeSearch> next;
    if (!m_ranges.Empty())
        next = std::make_shared<QRangeSearch>(this, m_ranges, m_rangeRate, QUdpCast::kSearchIntervalMs);
    ReplaceRangeSearch(next);
    if (next)
        next->Start();
}

void QUdpCastGroup::ReplaceRangeSearch(std::shared_ptr<QRangeSearch> next)
{
    std::shared_ptr<QRangeSearch> previous;
    {
        std::lock_guard<std::mutex> guard(m_rangeLock);
        previous.swap(m_rangeSearch);
        m_rangeSearch = std::move(next);
    }
    // Its worker hands requests to the searchers: it ends before this returns.
    if (previous)
        previous->Terminate();
}

void QUdpCastGroup::AskEveryRound(const std::string &address)
{
    std::shared_ptr<QRangeSearch> ranges;
    {
        std::lock_guard<std::mutex> guard(m_rangeLock);
        ranges = m_rangeSearch;
    }
    in_addr parsed{};
    if (ranges && inet_pton(AF_INET, address.c_str(), &parsed) == 1)
        ranges->NoteAnswer(ntohl(parsed.s_addr));
}

QRangeSearch::Status QUdpCastGroup::RangeStatus() const
{
    std::lock_guard<std::mutex> guard(m_rangeLock);
    return m_rangeSearch ? m_rangeSearch->GetStatus() : QRangeSearch::Status{};
}

bool QUdpCastGroup::QueueRangeRequest(in_addr_t source, const sockaddr_in &destination)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (QUdpCast *cast : m_casts)
        if (cast->BindIp() == source)
            return cast->QueueRangeRequest(destination);
    return false;
}

void QUdpCastGroup::Start()
{
    Update(true);
    m_started = true;
    SetRanges(m_ranges, m_rangeRate);
    // Even when the list could not be read now: the machine's addresses may appear later.
    m_watch = std::make_unique<QAddressWatch>(this);
    m_watch->Start();
}

bool QUdpCastGroup::Rescan()
{
    return Update(false);
}

std::vector<SearchTarget> QUdpCastGroup::Searched(const std::vector<InterfaceAddress> &found) const
{
    std::vector<InterfaceAddress> searched;
    for (const InterfaceAddress &address : found) {
        if (address.address == "127.0.0.1" || UnsearchedReason(address))
            continue;
        if (m_filter && !m_filter(address.address))
            continue;
        searched.push_back(address);
    }
    return SearchTargets(searched);
}

bool QUdpCastGroup::Update(bool report)
{
    std::lock_guard<std::mutex> rescan(m_rescanLock);
    std::vector<InterfaceAddress> found;
    int error = 0;
    if (!ReadInterfaceAddresses(found, m_interfaces, error)) {
        if (report)
            PrintInterfaceListFailure(error, m_report);
        return false;
    }
    const std::vector<SearchTarget> wanted = Searched(found);
    // Only an update changes the lists, and updates hold m_rescanLock: reading them
    // here needs no other lock.
    if (wanted == m_searched) {
        OpenReceivers(); // one that failed may work now
        return false;
    }

    const RescanPlan plan = PlanRescan(m_searched, wanted);
    std::vector<QUdpCast *> casts;
    std::vector<QUdpCast *> added;
    casts.reserve(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) {
        const int kept = plan.kept[i];
        if (kept >= 0) {
            casts.push_back(m_casts[static_cast<size_t>(kept)]);
            continue;
        }
        // The worker may only begin once the searcher is fully built.
        auto *cast = new QUdpCast(wanted[i].address, this, false);
        cast->SetTarget(wanted[i]);
        casts.push_back(cast);
        added.push_back(cast);
    }
    std::vector<QUdpCast *> removed;
    for (const int index : plan.removed)
        removed.push_back(m_casts[static_cast<size_t>(index)]);
    // No receiver may hand a datagram to a searcher about to go.
    RetargetReceivers(wanted, casts);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_casts.swap(casts);
        m_searched = wanted;
    }
    // Quietly: the address has gone, there is nothing to tell. Before the new ones
    // start, so that an address that came back on a re-created interface finds its
    // port free.
    StopSearchers(removed);
    // The receivers first: the first answers follow the first request at once.
    OpenReceivers();
    for (QUdpCast *cast : added)
        cast->Start();
    return true;
}

void QUdpCastGroup::RetargetReceivers(const std::vector<SearchTarget> &targets, const std::vector<QUdpCast *> &casts)
{
    auto firstSearcher = [&](unsigned index, in_addr_t broadcast) -> QUdpCast * {
        for (size_t i = 0; i < targets.size(); ++i) {
            const std::vector<in_addr_t> &all = targets[i].broadcasts;
            if (targets[i].index == index && std::find(all.begin(), all.end(), broadcast) != all.end())
                return casts[i];
        }
        return nullptr;
    };
    std::vector<std::unique_ptr<QBroadcastReceiver>> kept;
    std::vector<std::unique_ptr<QBroadcastReceiver>> gone;
    for (std::unique_ptr<QBroadcastReceiver> &receiver : m_receivers) {
        QUdpCast *target = firstSearcher(receiver->Index(), receiver->Broadcast());
        receiver->SetTarget(target);
        (target ? kept : gone).push_back(std::move(receiver));
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_receivers.swap(kept);
    }
    // Deleting stops each socket and waits for its worker. New receivers are made
    // by OpenReceivers once the searchers are in place.
    gone.clear();
}

void QUdpCastGroup::OpenReceivers()
{
    std::vector<QUdpCast *> casts;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        casts = m_casts;
    }
    for (size_t i = 0; i < m_searched.size(); ++i) {
        const SearchTarget &target = m_searched[i];
        // A receiver another program holds: the searcher moves to a port with
        // receivers of its own until it can be bound (QUdpCast::SetBroadcastPortHeld).
        std::string held, holder;
        for (const in_addr_t broadcast : target.broadcasts) {
            QBroadcastReceiver *receiver = nullptr;
            for (const auto &known : m_receivers) {
                if (known->Index() == target.index && known->Broadcast() == broadcast)
                    receiver = known.get();
            }
            if (!receiver) {
                auto made = std::make_unique<QBroadcastReceiver>(target.index, target.device, broadcast,
                                                                  QUdpCast::kLocalPort);
                made->SetTarget(casts[i]);
                receiver = made.get();
                std::lock_guard<std::mutex> guard(m_lock);
                m_receivers.push_back(std::move(made));
            }
            // The searchers still hear unicast answers; said once per receiver.
            if (!receiver->Start() && receiver->Held() && held.empty()) {
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &broadcast, text, sizeof text);
                held = text;
                holder = UdpPortHolder(broadcast, QUdpCast::kLocalPort);
            }
            if (receiver->Running() || !receiver->FailureToReport())
                continue;
            std::fprintf(stderr, "%s: search on %s: no receiver for broadcast answers (%s); trying again every %u s\n",
                         program_invocation_short_name, target.device.c_str(), receiver->Failure().c_str(),
                         unsigned(QUdpCast::kSearchIntervalMs / 1000));
            std::fflush(stderr);
        }
        if (i < casts.size() && casts[i])
            casts[i]->SetBroadcastPortHeld(held, holder);
    }
}

void QUdpCastGroup::StopSearchers(const std::vector<QUdpCast *> &searchers)
{
    for (QUdpCast *cast : searchers)
        cast->RequestStop(true);
    for (QUdpCast *cast : searchers) {
        while (!cast->HasExited())
            std::this_thread::sleep_for(kStopPoll);
        // Its OnEnd has stopped the socket and waited for the socket's worker.
        delete cast;
    }
}

void QUdpCastGroup::Stop()
{
    // It hands requests to the searchers: it stops first.
    ReplaceRangeSearch(nullptr);
    m_started = false;
    // No rescan may add a searcher behind the loop below.
    if (m_watch) {
        m_watch->Terminate();
        m_watch.reset();
    }
    // Then nothing hands the searchers a datagram any more.
    std::vector<std::unique_ptr<QBroadcastReceiver>> receivers;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        receivers.swap(m_receivers);
    }
    receivers.clear();
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_casts.empty()) {
        QUdpCast *cast = m_casts.front();
        if (!cast->IsStopRequested())
            cast->RequestStop(true);
        if (!cast->HasExited()) {
            guard.unlock();
            std::this_thread::sleep_for(kStopPoll);
            guard.lock();
            continue;
        }
        // Its OnEnd has stopped the socket and waited for the socket's worker, so
        // no callback of this searcher is running or will run.
        delete cast;
        m_casts.erase(m_casts.begin());
        m_searched.erase(m_searched.begin());
        guard.unlock();
        std::this_thread::sleep_for(kStopPoll);
        guard.lock();
    }
}

void QUdpCastGroup::Dispatch(const Vant::CProtocalJson &message, const std::string &text,
                             const InterfaceAddress &heardOn, const AnswerSource &source)
{
    std::shared_ptr<QRangeSearch> ranges;
    if (source.address) {
        std::lock_guard<std::mutex> guard(m_rangeLock);
        ranges = m_rangeSearch;
    }
    in_addr from{};
    if (ranges && inet_pton(AF_INET, source.address->c_str(), &from) == 1)
        ranges->NoteAnswer(ntohl(from.s_addr));
    if (m_answerCallback)
        m_answerCallback(message, heardOn, source, m_user);
    else if (m_callback)
        m_callback(text.c_str(), static_cast<int>(text.size()), m_user);
}

int QUdpCastGroup::SearcherCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_casts.size());
}

std::vector<QUdpCastGroup::SearcherState> QUdpCastGroup::SearcherStates() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<SearcherState> states;
    for (size_t i = 0; i < m_casts.size(); ++i)
        states.push_back(SearcherState{m_searched[i], m_casts[i]->Status()});
    return states;
}

std::vector<QUdpCastGroup::ReceiverState> QUdpCastGroup::ReceiverStates() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<ReceiverState> states;
    for (const auto &receiver : m_receivers)
        states.push_back(ReceiverState{receiver->Name(), receiver->Running(), receiver->Failure()});
    return states;
}

bool QUdpCastGroup::WaitForSockets(int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool tried = true;
        for (const SearcherState &state : SearcherStates())
            tried = tried && state.socket.use != QUdpCast::SocketUse::NotYet;
        if (tried)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kStopPoll);
    }
}

std::string QUdpCastGroup::CannotSearchReason() const
{
    const std::vector<SearcherState> states = SearcherStates();
    std::string reasons;
    for (const SearcherState &state : states) {
        const QUdpCast::SocketStatus &socket = state.socket;
        if (socket.use != QUdpCast::SocketUse::Failed)
            return std::string();
        reasons += (reasons.empty() ? "" : "; ") + state.target.address + " on " + state.target.device + ": port " +
                   std::to_string(QUdpCast::kLocalPort) + ": " + QUdpCast::PortFailureText(socket);
    }
    return reasons;
}

std::vector<std::string> QUdpCastGroup::OtherPortNotes() const
{
    std::vector<std::string> notes;
    for (const SearcherState &state : SearcherStates()) {
        if (state.socket.use != QUdpCast::SocketUse::OtherPort)
            continue;
        notes.push_back(state.target.address + " on " + state.target.device + ": " +
                        QUdpCast::PortInUseText(state.socket) + "; searching from port " +
                        std::to_string(state.socket.port));
    }
    return notes;
}

std::vector<std::string> QUdpCastGroup::SearchedAddresses() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> addresses;
    for (const SearchTarget &address : m_searched)
        addresses.push_back(address.address);
    return addresses;
}
