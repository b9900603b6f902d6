#include "device/DeviceSearch.h"

#include <QDateTime>

#include <algorithm>

#include "protocol/Json.h"
#include "protocol/UdpCastGroup.h"

DeviceSearch::DeviceSearch(std::vector<std::string> onlyAddresses, int maxDevices, bool keepEvents,
                           uint32_t silentAfterMs)
    : m_group(std::make_unique<QUdpCastGroup>(nullptr, this)),
      m_start(std::chrono::steady_clock::now()), m_devices(maxDevices, silentAfterMs), m_keepEvents(keepEvents)
{
    // Standard output carries the listing: a failure to read the addresses goes to
    // standard error instead.
    m_group->SetAnswerCallBack(&DeviceSearch::OnAnswer);
    m_group->SetReportStream(stderr);
    // Devices restored from a saved state that never answer again must not keep a
    // device that answers now out of a full list.
    m_devices.SetRoomFromSilent(true);
    // An empty list searches from every address; otherwise only from the listed ones,
    // at the start and at every rescan of the machine's addresses.
    if (!onlyAddresses.empty()) {
        m_group->SetAddressFilter([only = std::move(onlyAddresses)](const std::string &address) {
            return std::find(only.begin(), only.end(), address) != only.end();
        });
    }
}

DeviceSearch::~DeviceSearch()
{
    Stop();
}

void DeviceSearch::RefreshLocalSubnets()
{
    const LocalSubnets subnets = ReadLocalSubnets(); // outside the lock: a system call
    std::lock_guard<std::mutex> lock(m_lock);
    m_devices.SetLocalSubnets(subnets);
}

void DeviceSearch::SetRanges(const SearchRanges &ranges, unsigned rate)
{
    m_group->SetRanges(ranges, rate);
    std::lock_guard<std::mutex> lock(m_lock);
    m_devices.SetRanges(ranges);
}

void DeviceSearch::AskEveryRound(const QString &address)
{
    m_group->AskEveryRound(address.toStdString());
}

void DeviceSearch::Start()
{
    RefreshLocalSubnets();
    m_start = std::chrono::steady_clock::now();
    m_firewall.Begin();
    m_group->Start();
}

void DeviceSearch::Stop()
{
    m_group->Stop();
}

int DeviceSearch::SearcherCount() const
{
    return m_group->SearcherCount();
}

int64_t DeviceSearch::ElapsedMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count();
}

void DeviceSearch::OnAnswer(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn,
                            const AnswerSource &source, void *user)
{
    if (!user)
        return;
    auto *search = static_cast<DeviceSearch *>(user);
    {
        // Any answer shows that answers get through on this link.
        std::lock_guard<std::mutex> lock(search->m_lock);
        ++search->m_answersByLink[heardOn.device];
    }
    // Read outside the lock: the searchers of several addresses may answer at once.
    DeviceRecord record;
    if (!ReadDeviceRecord(message, record) || !IsCompleteRecord(record))
        return;
    record.source = AnswerOrigin{QString::fromStdString(*source.address), source.port};
    const int64_t now = search->ElapsedMs();
    std::vector<DeviceEvent> events;
    std::lock_guard<std::mutex> lock(search->m_lock);
    search->m_devices.Note(record, heardOn, static_cast<uint32_t>(now), QDateTime::currentSecsSinceEpoch(),
                           search->m_keepEvents ? &events : nullptr);
    search->Queue(events);
}

void DeviceSearch::Queue(std::vector<DeviceEvent> &events)
{
    for (DeviceEvent &event : events) {
        if (m_events.size() >= kMaxPendingEvents) {
            ++m_droppedEvents;
            continue;
        }
        m_events.push_back(std::move(event));
    }
}

void DeviceSearch::WithDevices(const std::function<void(DeviceList &)> &fn)
{
    std::lock_guard<std::mutex> lock(m_lock);
    fn(m_devices);
}

std::vector<DeviceEvent> DeviceSearch::TakeEvents(long long &dropped)
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<DeviceEvent> events;
    events.swap(m_events);
    dropped = m_droppedEvents;
    m_droppedEvents = 0;
    return events;
}

void DeviceSearch::MarkSilent()
{
    const int64_t now = ElapsedMs();
    std::vector<DeviceEvent> events;
    std::lock_guard<std::mutex> lock(m_lock);
    m_devices.MarkSilent(static_cast<uint32_t>(now), m_keepEvents ? &events : nullptr);
    Queue(events);
}

int DeviceSearch::ForgetSilentFor(uint32_t afterMs)
{
    const int64_t now = ElapsedMs();
    std::vector<DeviceEvent> events;
    std::lock_guard<std::mutex> lock(m_lock);
    const int forgotten =
        m_devices.ForgetSilentFor(static_cast<uint32_t>(now), afterMs, m_keepEvents ? &events : nullptr);
    Queue(events);
    return forgotten;
}

DeviceSearch::FirewallEvidence DeviceSearch::TakeFirewallEvidence()
{
    FirewallEvidence evidence;
    evidence.dropped = m_firewall.Dropped();
    m_firewall.Begin();
    std::vector<std::string> searched;
    for (const QUdpCastGroup::SearcherState &state : m_group->SearcherStates())
        searched.push_back(state.target.device);
    std::map<std::string, uint64_t> answers;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        answers.swap(m_answersByLink);
    }
    evidence.silentLinks = SilentLinks(searched, answers);
    return evidence;
}

std::vector<std::string> LocalAddresses()
{
    std::vector<std::string> addresses;
    Vant::CProtocalJson list;
    if (!QUdpCastGroup::GetLocalAddresses(list))
        return addresses;
    for (int i = 0; i < list.GetDataCount(); ++i)
        addresses.push_back(Vant::ValueToString(list.GetDataValue(static_cast<unsigned>(i), "IPAddr")));
    return addresses;
}

