#include "protocol/UdpCastGroup.h"

#include <chrono>
#include <string>
#include <thread>

#include "protocol/AddressWatch.h"
#include "protocol/Json.h"
#include "protocol/RescanPlan.h"
#include "protocol/Searcher.h"

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

void QUdpCastGroup::Start()
{
    Update(true);
    // Even when the list could not be read now: the machine's addresses may appear later.
    m_watch = std::make_unique<QAddressWatch>(this);
    m_watch->Start();
}

bool QUdpCastGroup::Rescan()
{
    return Update(false);
}

std::vector<InterfaceAddress> QUdpCastGroup::Searched(const std::vector<InterfaceAddress> &found) const
{
    std::vector<InterfaceAddress> searched;
    for (const InterfaceAddress &address : found) {
        if (address.address == "127.0.0.1")
            continue;
        if (m_filter && !m_filter(address.address))
            continue;
        searched.push_back(address);
    }
    return searched;
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
    const std::vector<InterfaceAddress> wanted = Searched(found);
    // Only an update changes the lists, and updates hold m_rescanLock: reading them
    // here needs no other lock.
    if (wanted == m_searched)
        return false;

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
        cast->SetHeardOn(wanted[i]);
        casts.push_back(cast);
        added.push_back(cast);
    }
    std::vector<QUdpCast *> removed;
    for (const int index : plan.removed)
        removed.push_back(m_casts[static_cast<size_t>(index)]);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_casts.swap(casts);
        m_searched = wanted;
    }
    for (QUdpCast *cast : added)
        cast->Start();
    // Quietly: the address has gone, there is nothing to tell.
    StopSearchers(removed);
    return true;
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
    // No rescan may add a searcher behind the loop below.
    if (m_watch) {
        m_watch->Terminate();
        m_watch.reset();
    }
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

void QUdpCastGroup::Dispatch(const char *text, int length, const InterfaceAddress &heardOn)
{
    if (!text || length < 0)
        return;
    // The callback gets a copy of its own: the text passed in belongs to the scanner.
    const std::string copy(text, static_cast<size_t>(length));
    if (m_answerCallback)
        m_answerCallback(copy.c_str(), static_cast<int>(copy.size()), heardOn, m_user);
    else if (m_callback)
        m_callback(copy.c_str(), static_cast<int>(copy.size()), m_user);
}

int QUdpCastGroup::SearcherCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_casts.size());
}

std::vector<std::string> QUdpCastGroup::SearchedAddresses() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> addresses;
    for (const InterfaceAddress &address : m_searched)
        addresses.push_back(address.address);
    return addresses;
}
