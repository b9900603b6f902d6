#include "protocol/UdpCastGroup.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "protocol/Json.h"
#include "protocol/LocalAddresses.h"
#include "protocol/Searcher.h"

namespace {

// How often Stop looks whether a searcher has ended.
constexpr auto kStopPoll = std::chrono::milliseconds(10);

} // namespace

QUdpCastGroup::QUdpCastGroup(UdpMsgCallBack callback, void *user) : m_callback(callback), m_user(user) {}

QUdpCastGroup::QUdpCastGroup(UdpMsgCallBack callback, void *user, std::vector<std::string> onlyAddresses)
    : m_callback(callback), m_user(user), m_onlyAddresses(std::move(onlyAddresses))
{
}

QUdpCastGroup::~QUdpCastGroup()
{
    // Searchers left running would call back into a group that no longer exists.
    Stop();
}

bool QUdpCastGroup::GetLocalAddresses(Vant::CProtocalJson &result)
{
    return ReadLocalAddresses(result, SystemInterfaceList());
}

void QUdpCastGroup::Start()
{
    Vant::CProtocalJson addresses;
    if (!GetLocalAddresses(addresses))
        return;
    for (int i = 0; i < addresses.GetDataCount(); ++i) {
        const std::string address = Vant::ValueToString(addresses.GetDataValue(static_cast<unsigned>(i), "IPAddr"));
        if (address == "127.0.0.1")
            continue;
        if (!m_onlyAddresses.empty() &&
            std::find(m_onlyAddresses.begin(), m_onlyAddresses.end(), address) == m_onlyAddresses.end())
            continue;
        // The worker may only begin once the searcher is fully built.
        auto *cast = new QUdpCast(address, this, false);
        m_casts.push_back(cast);
        cast->Start();
    }
}

void QUdpCastGroup::Stop()
{
    while (!m_casts.empty()) {
        QUdpCast *cast = m_casts.front();
        if (!cast->IsStopRequested())
            cast->RequestStop(true);
        if (!cast->HasExited()) {
            std::this_thread::sleep_for(kStopPoll);
            continue;
        }
        // Its OnEnd has stopped the socket and waited for the socket's worker, so
        // no callback of this searcher is running or will run.
        delete cast;
        m_casts.erase(m_casts.begin());
        std::this_thread::sleep_for(kStopPoll);
    }
}

void QUdpCastGroup::Dispatch(const char *text, int length)
{
    if (!text || length < 0)
        return;
    // The callback gets a copy of its own: the text passed in belongs to the scanner.
    const std::string copy(text, static_cast<size_t>(length));
    if (m_callback)
        m_callback(copy.c_str(), static_cast<int>(copy.size()), m_user);
}
