#include "device/Batch.h"
#include "device/Delivery.h"
#include "device/KeyedText.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <net/if.h>
#include <arpa/inet.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "device/AddressRules.h"
#include "device/SaidText.h"
#include "device/DeviceCommand.h"
#include "protocol/Json.h"

bool IsFinal(BatchStatus status)
{
    return status == BatchStatus::Verified || status == BatchStatus::Refused || status == BatchStatus::NotConfirmed ||
           status == BatchStatus::HolderStayed || status == BatchStatus::OtherAnswers ||
           status == BatchStatus::WrongDevice || status == BatchStatus::Stopped || status == BatchStatus::NotSent;
}

const char *BatchStatusName(BatchStatus status)
{
    switch (status) {
    case BatchStatus::Unchanged: return "unchanged";
    case BatchStatus::Missing: return "not found";
    case BatchStatus::Ambiguous: return "ambiguous";
    case BatchStatus::Waiting: return "waiting";
    case BatchStatus::Sending: return "sending";
    case BatchStatus::Acknowledged: return "acknowledged";
    case BatchStatus::Verified: return "verified";
    case BatchStatus::Refused: return "refused";
    case BatchStatus::NotConfirmed: return "not confirmed";
    case BatchStatus::NoAddress: return "no free address";
    case BatchStatus::IdentityConflict: return "identity conflict";
    case BatchStatus::HolderStayed: return "address not freed";
    case BatchStatus::OtherAnswers: return "another device at this address answers for it";
    case BatchStatus::WrongDevice: return "another device showed up at the planned address";
    case BatchStatus::Stopped: return "stopped for this address";
    case BatchStatus::NotSent: return "not sent";
    }
    return "";
}

namespace {

const char *BatchStatusSource(BatchStatus status)
{
    switch (status) {
    case BatchStatus::Unchanged: return QT_TRANSLATE_NOOP("BatchStatus", "无需修改");
    case BatchStatus::Missing: return QT_TRANSLATE_NOOP("BatchStatus", "未找到");
    case BatchStatus::Ambiguous: return QT_TRANSLATE_NOOP("BatchStatus", "序列号重复");
    case BatchStatus::Waiting: return QT_TRANSLATE_NOOP("BatchStatus", "等待");
    case BatchStatus::Sending: return QT_TRANSLATE_NOOP("BatchStatus", "发送中");
    case BatchStatus::Acknowledged: return QT_TRANSLATE_NOOP("BatchStatus", "已应答");
    case BatchStatus::Verified: return QT_TRANSLATE_NOOP("BatchStatus", "已验证");
    case BatchStatus::Refused: return QT_TRANSLATE_NOOP("BatchStatus", "被拒绝");
    case BatchStatus::NotConfirmed: return QT_TRANSLATE_NOOP("BatchStatus", "未确认");
    case BatchStatus::NoAddress: return QT_TRANSLATE_NOOP("BatchStatus", "无可用地址");
    case BatchStatus::IdentityConflict: return QT_TRANSLATE_NOOP("BatchStatus", "身份冲突");
    case BatchStatus::HolderStayed: return QT_TRANSLATE_NOOP("BatchStatus", "目标地址未释放");
    case BatchStatus::OtherAnswers: return QT_TRANSLATE_NOOP("BatchStatus", "此地址的另一台设备代其应答");
    case BatchStatus::WrongDevice: return QT_TRANSLATE_NOOP("BatchStatus", "另一台设备出现在计划地址");
    case BatchStatus::Stopped: return QT_TRANSLATE_NOOP("BatchStatus", "此地址已停止");
    case BatchStatus::NotSent: return QT_TRANSLATE_NOOP("BatchStatus", "未发送");
    }
    return "";
}

} // namespace

QString BatchStatusText(BatchStatus status)
{
    return QString::fromUtf8(BatchStatusSource(status));
}

QString BatchStatusShownText(BatchStatus status)
{
    return QCoreApplication::translate("BatchStatus", BatchStatusSource(status));
}

NamedDevice ParseNamedDevice(const QString &argument)
{
    static const QRegularExpression mac(QStringLiteral("^[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}$"));
    const int at = argument.lastIndexOf(QLatin1Char('@'));
    if (at > 0 && mac.match(argument.mid(at + 1)).hasMatch())
        return {argument.left(at), argument.mid(at + 1)};
    return {argument, QString()};
}

std::vector<BatchEntry> MatchNamed(const std::vector<NamedDevice> &names, const std::vector<HeardDevice> &devices)
{
    KeyedTextHash<std::vector<const HeardDevice *>> bySerial;
    for (const HeardDevice &device : devices)
        bySerial[device.serialNo].push_back(&device);
    std::vector<BatchEntry> entries;
    entries.reserve(names.size());
    for (const NamedDevice &name : names) {
        BatchEntry entry;
        entry.serialNo = name.serialNo;
        entry.mac = name.mac;
        std::vector<const HeardDevice *> candidates = bySerial.value(name.serialNo);
        if (!name.mac.isEmpty()) {
            candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                            [&](const HeardDevice *device) {
                                                return device->mac.compare(name.mac, Qt::CaseInsensitive) != 0;
                                            }),
                             candidates.end());
        }
        if (candidates.empty()) {
            entry.status = BatchStatus::Missing;
        } else if (candidates.size() > 1) {
            entry.status = BatchStatus::Ambiguous;
        } else if (!candidates.front()->otherSources.isEmpty()) {
            entry.status = BatchStatus::IdentityConflict;
            entry.mac = candidates.front()->mac;
        } else {
            entry.device = *candidates.front();
            entry.mac = entry.device->mac;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<BatchEntry> MatchPlan(const std::vector<PlanRow> &rows, const std::vector<HeardDevice> &devices)
{
    std::vector<NamedDevice> names;
    names.reserve(rows.size());
    for (const PlanRow &row : rows)
        names.push_back({row.serialNo, row.mac});
    std::vector<BatchEntry> entries = MatchNamed(names, devices);
    for (size_t i = 0; i < entries.size(); ++i) {
        BatchEntry &entry = entries[i];
        const PlanRow &row = rows[i];
        entry.planLine = row.line;
        if (!entry.device)
            continue;
        entry.target = row.settings.dhcp ? SettingsOf(*entry.device) : row.settings;
        entry.target.dhcp = row.settings.dhcp;
        entry.status = SettingsChanged(*entry.device, entry.target) ? BatchStatus::Waiting : BatchStatus::Unchanged;
    }
    return entries;
}

std::vector<BatchEntry> AssignedEntries(const std::vector<HeardDevice> &devices, const std::vector<Ipv4> &planned,
                                        const AssignSettings &settings)
{
    std::vector<BatchEntry> entries;
    entries.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        const HeardDevice &device = devices[i];
        BatchEntry entry;
        entry.serialNo = device.serialNo;
        entry.mac = device.mac;
        entry.device = device;
        entry.target = SettingsOf(device);
        entry.target.dhcp = settings.dhcp;
        if (!settings.dhcp) {
            const Ipv4 address = i < planned.size() ? planned[i] : 0;
            entry.target.address = address ? Ipv4Text(address) : QString();
            entry.target.subnetMask = settings.mask;
            if (!settings.gateway.isEmpty())
                entry.target.gateway = settings.gateway;
            if (!settings.dns.isEmpty())
                entry.target.dns = settings.dns;
            if (!address) {
                entry.status = BatchStatus::NoAddress;
                entries.push_back(std::move(entry));
                continue;
            }
        }
        entry.status = SettingsChanged(device, entry.target) ? BatchStatus::Waiting : BatchStatus::Unchanged;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<Ipv4> LocalIpv4(const LocalSubnets &local)
{
    std::vector<Ipv4> addresses;
    for (const InterfaceAddress &own : local) {
        Ipv4 address = 0;
        if (ParseIpv4(QString::fromStdString(own.address), address))
            addresses.push_back(address);
    }
    return addresses;
}

void NoteTakenAddresses(AddressPlanInput &input, const std::vector<HeardDevice> &listed, const LocalSubnets &local)
{
    for (const HeardDevice &device : listed) {
        Ipv4 address = 0;
        if (ParseIpv4(device.address, address))
            input.listed.push_back(address);
    }
    for (Ipv4 address : LocalIpv4(local))
        input.local.insert(address);
}

SuggestedSettings SuggestBatchSettings(const std::vector<HeardDevice> &checked,
                                       const std::vector<HeardDevice> &listed, const LocalSubnets &local)
{
    SuggestedSettings suggested;
    if (checked.empty())
        return suggested;
    const auto shared = [&checked](QString DeviceRecord::*member) {
        const QString &first = checked.front().*member;
        for (const HeardDevice &device : checked)
            if (device.*member != first)
                return QString();
        return first;
    };
    suggested.mask = shared(&DeviceRecord::subnetMask);
    suggested.gateway = shared(&DeviceRecord::gateway);
    suggested.dns = shared(&DeviceRecord::dns);

    const QString heardBy = checked.front().localAddress;
    for (const InterfaceAddress &own : local) {
        Ipv4 address = 0;
        const Ipv4 mask = ntohl(own.netmask);
        // A /31 or /32 has no host addresses to hand out.
        if (QString::fromStdString(own.address) != heardBy || !ParseIpv4(heardBy, address) || !IsContiguousMask(mask) ||
            mask == 0 || (~mask) < 3)
            continue;
        AddressPlanInput input;
        input.start = (address & mask) + 1;
        input.mask = mask;
        input.devices = {0};
        NoteTakenAddresses(input, listed, local);
        const std::vector<Ipv4> planned = PlanAddresses(input);
        if (!planned.empty() && planned.front())
            suggested.start = Ipv4Text(planned.front());
        break;
    }
    return suggested;
}

Ipv4 DefaultMask(Ipv4 start, const LocalSubnets &local)
{
    for (const InterfaceAddress &own : local) {
        Ipv4 address = 0;
        const Ipv4 mask = ntohl(own.netmask);
        if (mask && ParseIpv4(QString::fromStdString(own.address), address) && (address & mask) == (start & mask))
            return mask;
    }
    return 0xffffff00u;
}

std::vector<ProbeInterface> ProbeInterfacesFor(Ipv4 network, Ipv4 mask, const LocalSubnets &local)
{
    std::vector<ProbeInterface> inside, all;
    for (const InterfaceAddress &own : local) {
        Ipv4 address = 0;
        // The index read with the address; looked up by name only for entries made
        // without one.
        const int ifindex = static_cast<int>(own.index ? own.index : if_nametoindex(own.device.c_str()));
        if (!ParseIpv4(QString::fromStdString(own.address), address) || ifindex <= 0 || (address >> 24) == 127)
            continue;
        all.push_back({address, ifindex});
        const Ipv4 ownMask = ntohl(own.netmask);
        if ((address & mask) == (network & mask) || (ownMask && (network & ownMask) == (address & ownMask)))
            inside.push_back({address, ifindex});
    }
    return inside.empty() ? all : inside;
}

std::vector<std::vector<size_t>> AddressHolders(const std::vector<BatchEntry> &entries, QStringList *cycles)
{
    auto moving = [&](size_t i) { return entries[i].status == BatchStatus::Waiting && entries[i].device.has_value(); };
    KeyedTextHash<std::vector<size_t>> atAddress; // current address -> moving entries there
    for (size_t i = 0; i < entries.size(); ++i)
        if (moving(i))
            atAddress[entries[i].device->address].push_back(i);
    std::vector<std::vector<size_t>> after(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!moving(i) || entries[i].target.dhcp)
            continue;
        for (size_t holder : atAddress.value(entries[i].target.address))
            if (holder != i)
                after[i].push_back(holder);
    }
    if (!cycles)
        return after;
    // Rings, found by a walk that marks entries in progress and done.
    enum Mark { None, Open, Done };
    std::vector<Mark> mark(entries.size(), None);
    std::vector<size_t> path;
    auto name = [&](size_t i) {
        const BatchEntry &entry = entries[i];
        return (entry.planLine > 0 ? Said(QT_TRANSLATE_NOOP3("DeviceText", "第 %1 行 ", "line %1 ")).arg(entry.planLine) : QString()) + entry.serialNo +
               QStringLiteral(" (") + entry.device->address + QStringLiteral(" -> ") + entry.target.address +
               QLatin1Char(')');
    };
    std::function<void(size_t)> walk = [&](size_t i) {
        mark[i] = Open;
        path.push_back(i);
        for (size_t next : after[i]) {
            if (mark[next] == Open) {
                QStringList ring;
                for (auto it = std::find(path.begin(), path.end(), next); it != path.end(); ++it)
                    ring << name(*it);
                *cycles << Said(QT_TRANSLATE_NOOP3("DeviceText", "这些行的地址循环互换, 没有一行能先执行: %1; 请先将其中一台改到空闲的临时地址",
                                                  "these rows swap addresses in a ring and none can go first: %1; move one "
                                                  "to a free temporary address first"))
                               .arg(ring.join(QStringLiteral(", ")));
            } else if (mark[next] == None) {
                walk(next);
            }
        }
        path.pop_back();
        mark[i] = Done;
    };
    for (size_t i = 0; i < entries.size(); ++i)
        if (mark[i] == None && !after[i].empty())
            walk(i);
    return after;
}

QStringList CheckBatch(const std::vector<BatchEntry> &entries, const std::vector<HeardDevice> &devices,
                       const LocalSubnets &localSubnets, bool strict)
{
    QStringList problems;
    const std::vector<Ipv4> local = LocalIpv4(localSubnets);
    // The addresses listed devices keep: those not being re-addressed by this batch.
    KeyedTextHash<int> moving;
    for (const BatchEntry &entry : entries)
        if (entry.status == BatchStatus::Waiting && entry.device)
            ++moving[entry.device->serialNo + QLatin1Char('\n') + entry.device->mac];
    kit::KeyedMap<Ipv4, QString> kept;
    for (const HeardDevice &device : devices) {
        Ipv4 address = 0;
        if (!moving.contains(device.serialNo + QLatin1Char('\n') + device.mac) && ParseIpv4(device.address, address))
            kept[address] = device.serialNo;
    }
    // Devices by serial number and address: a request is addressed by serial number
    // and sent to the device's address, so another device with both would take it too.
    KeyedTextHash<int> serialAtAddress;
    for (const HeardDevice &device : devices)
        ++serialAtAddress[device.serialNo + QLatin1Char('\n') + device.address];
    kit::KeyedMap<Ipv4, QString> newAddresses;
    for (const BatchEntry &entry : entries) {
        if (entry.status != BatchStatus::Waiting || !entry.device)
            continue;
        const QString who = entry.serialNo + QStringLiteral(": ");
        if (!entry.device->otherSources.isEmpty()) {
            problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 和 %2 都以其序列号和MAC应答, 无法确定哪个是设备本身",
                                                     "%1 and %2 both answer with its serial number and MAC; which is the "
                                                     "device cannot be told"))
                                  .arg(entry.device->source.address, entry.device->otherSources.join(QStringLiteral(", ")));
            continue;
        }
        if (serialAtAddress.value(entry.serialNo + QLatin1Char('\n') + entry.device->address) > 1) {
            problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "另一台使用此序列号的设备也从 %1 应答", "another device with this serial number answers from %1 too"))
                                  .arg(entry.device->address);
            continue;
        }
        if (!IsCommandPort(entry.device->port)) {
            problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "设备声明的端口 %1 无法接收命令", "the device announces port %1, which cannot take commands"))
                                  .arg(entry.device->port);
            continue;
        }
        if (entry.target.dhcp)
            continue;
        if (strict) {
            const SettingsCheck check = CheckSettings(entry.target, localSubnets);
            const AddressField bad = check.bad;
            if (bad != AddressField::None) {
                problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "'%1' 不是 IPv4 地址", "'%1' is not an IPv4 address"))
                                      .arg(bad == AddressField::Address      ? entry.target.address
                                           : bad == AddressField::SubnetMask ? entry.target.subnetMask
                                           : bad == AddressField::Gateway    ? entry.target.gateway
                                                                             : entry.target.dns);
                continue;
            }
            if (!check.issues.empty()) {
                problems << who + IssueText(entry.target, check.issues.front());
                continue;
            }
        }
        Ipv4 address = 0;
        if (!ParseIpv4(entry.target.address, address)) {
            problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "地址 '%1' 不是点分十进制 IPv4 地址", "address '%1' is not a dotted IPv4 address")).arg(entry.target.address);
            continue;
        }
        if (std::find(local.begin(), local.end(), address) != local.end()) {
            problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是本机的地址", "%1 is an address of this machine")).arg(entry.target.address);
            continue;
        }
        if (newAddresses.count(address)) {
            problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 也计划分配给 %2", "%1 is also planned for %2")).arg(entry.target.address, newAddresses[address]);
            continue;
        }
        newAddresses.emplace(address, entry.serialNo);
        if (kept.count(address)) // a twin keeping it counts too: two devices, one address
            problems << who + Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是 %2 的地址", "%1 is the address of %2")).arg(entry.target.address, kept[address]);
    }
    AddressHolders(entries, &problems);
    return problems;
}

SendOutcome SendUpdate(const HeardDevice &device, const NetworkSettings &target, const std::atomic<bool> *stop)
{
    Vant::CProtocalJson request;
    BuildUpdateRequest(device, target, request);
    switch (SendDeviceCommand(TargetOf(device), request, DeviceBytes(device, TextMember::SerialNo), stop)) {
    case CommandResult::Succeeded:
        return SendOutcome::Acknowledged;
    case CommandResult::Failed:
        return SendOutcome::Refused;
    case CommandResult::Withheld:
        // Withheld by brenu-link-send's refusal (its reason is the thread's to take):
        // nothing was sent, and no other device is to blame for it.
        return TakeLinkSendRefusal().isEmpty() ? SendOutcome::Withheld : SendOutcome::NotSent;
    case CommandResult::ConnectFailed:
        return SendOutcome::NotSent;
    case CommandResult::NoAnswer:
        break;
    }
    return SendOutcome::NoAnswer;
}

BatchJob::BatchJob(std::vector<BatchEntry> entries, UpdateSender sender, int verifyTimeoutMs)
    : m_entries(std::move(entries)), m_sender(std::move(sender)), m_verifyTimeout(verifyTimeoutMs)
{
    m_progress.reserve(m_entries.size());
    m_untrusted.resize(m_entries.size());
    m_stopWaiting = std::make_unique<std::atomic<bool>[]>(m_entries.size());
    for (size_t i = 0; i < m_entries.size(); ++i) {
        m_progress.emplace_back();
        m_progress.back().status = m_entries[i].status;
        if (m_entries[i].status == BatchStatus::Waiting && m_entries[i].device) {
            m_queue.push_back(i);
            m_bySerial[m_entries[i].serialNo].push_back(i);
            if (!m_entries[i].target.dhcp && !m_entries[i].target.address.isEmpty())
                m_byPlannedAddress.insert(m_entries[i].target.address, i);
            ++m_toSend;
        }
    }
    // Devices that free an address go before those that take it, by the length of
    // the chain of holders below each entry (rings, refused by CheckBatch, are cut
    // where the walk meets them again), so a worker waiting for a holder never waits
    // for one that no worker has taken.
    m_after = AddressHolders(m_entries);
    std::vector<int> depth(m_entries.size(), -1);
    std::vector<bool> walking(m_entries.size(), false);
    std::function<int(size_t)> depthOf = [&](size_t i) {
        if (depth[i] >= 0 || walking[i])
            return std::max(depth[i], 0);
        walking[i] = true;
        int deepest = 0;
        for (size_t holder : m_after[i])
            deepest = std::max(deepest, depthOf(holder) + 1);
        walking[i] = false;
        return depth[i] = deepest;
    };
    for (size_t i : m_queue)
        depthOf(i);
    std::stable_sort(m_queue.begin(), m_queue.end(), [&](size_t a, size_t b) { return depth[a] < depth[b]; });
}

BatchJob::~BatchJob()
{
    Cancel();
    for (std::thread &worker : m_workers)
        worker.join();
}

void BatchJob::SetLocalSubnets(const LocalSubnets &local)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_local = local;
}

std::vector<QString> BatchJob::UntrustedReasons() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_untrusted;
}

void BatchJob::SetSharedAddressDelivery(DeliveryWay way, std::function<QString(const CommandTarget &)> holder,
                                        std::function<void(const CommandTarget &)> nudge, int turnWaitMs)
{
    m_way = way;
    m_holder = std::move(holder);
    m_nudge = std::move(nudge);
    m_turnWaitMs = turnWaitMs;
}

QStringList BatchJob::PlannedAddresses() const
{
    return KeyedTextKeys(m_byPlannedAddress);
}

void BatchJob::Start()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_local)
            m_local = ReadLocalSubnets();
    }
    bool anyShared = false;
    for (size_t i : m_queue)
        anyShared = anyShared || m_entries[i].device->sharedAddress;
    if (anyShared && !m_way)
        m_way = SharedAddressWay();
    if (!m_holder)
        m_holder = NeighbourHolder;
    if (!m_nudge)
        m_nudge = NudgeNeighbourOf;
    m_sourceMac = std::make_unique<SourceMacCheck>(m_holder, m_nudge);
    // By the neighbour table, the entries of one shared address form one task, in the
    // place of the first of them.
    KeyedTextHash<size_t> groupOf;
    for (size_t i : m_queue) {
        const HeardDevice &device = *m_entries[i].device;
        if (device.sharedAddress && m_way == DeliveryWay::Neighbour) {
            const QString place = device.interfaceName + QLatin1Char('\n') + device.address;
            const auto found = groupOf.constFind(place);
            if (found != groupOf.constEnd()) {
                m_tasks[*found].push_back(i);
                continue;
            }
            groupOf.insert(place, m_tasks.size());
        }
        m_tasks.push_back({i});
    }
    const int threads = std::min<int>(kMaxParallelUpdates, static_cast<int>(m_tasks.size()));
    for (int i = 0; i < threads; ++i)
        m_workers.emplace_back(&BatchJob::Work, this);
}

void BatchJob::Cancel()
{
    m_cancelled = true;
    for (size_t i = 0; i < m_entries.size(); ++i)
        m_stopWaiting[i] = true;
}

void BatchJob::SetStatus(size_t index, BatchStatus status)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_progress[index].status = status;
}

void BatchJob::Work()
{
    for (;;) {
        std::vector<size_t> task;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_cancelled || m_nextTask >= m_tasks.size())
                return;
            task = m_tasks[m_nextTask++];
        }
        if (task.size() == 1 && !(m_entries[task[0]].device->sharedAddress && m_way == DeliveryWay::Neighbour))
            SendOne(task[0]);
        else
            ServeSharedAddress(task);
    }
}

void BatchJob::SendOne(size_t index)
{
    // A device that is to take the address another device of the run holds now goes
    // only once that one has verifiably left it.
    const bool holdersLeft = WaitForHolders(index);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_nextInQueue;
        if (!holdersLeft)
            return;
        Progress &progress = m_progress[index];
        if (IsFinal(progress.status))
            return; // stopped meanwhile
        progress.status = BatchStatus::Sending;
        progress.sent = true;
        progress.sentAt = m_lastSend = Clock::now();
        progress.deadline = progress.sentAt + m_verifyTimeout;
    }
    const SendOutcome outcome = m_sender(*m_entries[index].device, m_entries[index].target, &m_stopWaiting[index]);
    std::lock_guard<std::mutex> lock(m_lock);
    Progress &progress = m_progress[index];
    progress.answered = true;
    // The wait for the search starts again when the answer wait ends, so a
    // device whose answer never came still has the whole time to show up.
    progress.deadline = std::max(progress.deadline, Clock::now() + m_verifyTimeout);
    if (progress.status == BatchStatus::Verified || progress.status == BatchStatus::WrongDevice)
        return;
    if (outcome == SendOutcome::Acknowledged)
        progress.status = BatchStatus::Acknowledged;
    else if (outcome == SendOutcome::Refused)
        progress.status = BatchStatus::Refused;
    else if (outcome == SendOutcome::Withheld)
        progress.status = BatchStatus::OtherAnswers;
    else if (outcome == SendOutcome::NotSent)
        progress.status = BatchStatus::NotSent;
}

void BatchJob::ServeSharedAddress(const std::vector<size_t> &group)
{
    std::vector<size_t> pending = group;
    const CommandTarget place = TargetOf(*m_entries[group.front()].device);
    while (!pending.empty() && !m_cancelled) {
        // Wait for the entry to point at one of the devices still to be served.
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_turnWaitMs);
        Clock::time_point nudged{};
        size_t chosen = pending.size();
        while (chosen == pending.size() && !m_cancelled) {
            const QString holder = m_holder(place);
            for (size_t k = 0; k < pending.size() && !holder.isEmpty(); ++k)
                if (m_entries[pending[k]].device->mac.compare(holder, Qt::CaseInsensitive) == 0 ||
                    QString(m_entries[pending[k]].device->mac).replace(QLatin1Char('-'), QLatin1Char(':'))
                            .compare(holder, Qt::CaseInsensitive) == 0)
                    chosen = k;
            const Clock::time_point now = Clock::now();
            if (chosen != pending.size() || now >= deadline)
                break;
            if (now - nudged >= std::chrono::milliseconds(kNeighbourNudgeMs)) {
                m_nudge(place);
                nudged = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_cancelled)
            break;
        if (chosen == pending.size()) {
            std::lock_guard<std::mutex> lock(m_lock);
            for (size_t i : pending) {
                m_progress[i].status = BatchStatus::OtherAnswers;
                ++m_nextInQueue;
            }
            return;
        }
        const size_t index = pending[chosen];
        pending.erase(pending.begin() + static_cast<long>(chosen));
        SendOne(index);
        // The next device of this address only once this one has moved (or failed).
        BatchStatus status = BatchStatus::Sending;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                status = m_progress[index].status;
            }
            if (IsFinal(status) || m_cancelled)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (status == BatchStatus::WrongDevice) {
            std::lock_guard<std::mutex> lock(m_lock);
            for (size_t i : pending) {
                m_progress[i].status = BatchStatus::Stopped;
                ++m_nextInQueue;
            }
            return;
        }
    }
}

bool BatchJob::WaitForHolders(size_t index)
{
    // How often a waiting entry looks at its holders.
    constexpr auto kHolderPoll = std::chrono::milliseconds(20);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            bool all = true;
            bool stayed = false;
            for (size_t holder : m_after[index]) {
                const BatchStatus status = m_progress[holder].status;
                all = all && status == BatchStatus::Verified;
                stayed = stayed || (status != BatchStatus::Verified && IsFinal(status));
            }
            if (m_cancelled)
                return false;
            if (all)
                return true;
            if (stayed) {
                m_progress[index].status = BatchStatus::HolderStayed;
                return false;
            }
        }
        std::this_thread::sleep_for(kHolderPoll);
    }
}

namespace {

// Whether what a device shows can still verify an entry: not yet final, or refused
// (a refusal gives way to what the device shows; nothing else that is final does).
bool AwaitsVerdict(BatchStatus status)
{
    return !IsFinal(status) || status == BatchStatus::Refused;
}

} // namespace

void BatchJob::Observe(const HeardDevice &answer, int64_t otherSourceAgeMs)
{
    const auto planned = m_byPlannedAddress.constFind(answer.address);
    if (planned != m_byPlannedAddress.constEnd()) {
        const BatchEntry &entry = m_entries[*planned];
        // A device of this batch still at the address it holds before its own move
        // (a chain: it leaves the address another entry is to take) is no intruder.
        bool leaving = false;
        for (size_t i : m_bySerial.value(answer.serialNo))
            leaving = leaving || (m_entries[i].device->mac.compare(answer.mac, Qt::CaseInsensitive) == 0 &&
                                  m_entries[i].device->address == answer.address);
        // Only a device that shared its address can have had its request taken by another.
        if (!leaving && entry.device->sharedAddress &&
            (answer.serialNo != entry.serialNo || answer.mac.compare(entry.device->mac, Qt::CaseInsensitive) != 0)) {
            // Another device at the address this entry was to take, after its request
            // went out: the request reached that device, not this one.
            std::lock_guard<std::mutex> lock(m_lock);
            Progress &progress = m_progress[*planned];
            if (progress.sent && !IsFinal(progress.status)) {
                progress.status = BatchStatus::WrongDevice;
                m_stopWaiting[*planned] = true;
                // Those of its old address not sent yet stay unsent.
                for (size_t i = 0; i < m_entries.size(); ++i)
                    if (!m_progress[i].sent && m_progress[i].status == BatchStatus::Waiting &&
                        m_entries[i].device && m_entries[i].device->address == entry.device->address &&
                        m_entries[i].device->sharedAddress) {
                        m_progress[i].status = BatchStatus::Stopped;
                    }
            }
        }
    }
    const auto found = m_bySerial.constFind(answer.serialNo);
    if (found == m_bySerial.constEnd())
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    for (size_t i : *found) {
        Progress &progress = m_progress[i];
        if (!progress.sent || !AwaitsVerdict(progress.status))
            continue;
        const BatchEntry &entry = m_entries[i];
        const ExpectedSettings expected = ExpectedAfter(*entry.device, entry.target);
        if (!ShowsSettings(answer, expected))
            continue;
        const QString untrusted = UntrustedReason(answer, expected, m_local ? *m_local : LocalSubnets(), otherSourceAgeMs);
        if (!untrusted.isEmpty()) {
            m_untrusted[i] = untrusted;
            continue;
        }
        if (entry.target.dhcp) {
            progress.onLink = answer; // Tick reads the MAC behind its source
            continue;
        }
        progress.status = BatchStatus::Verified;
        m_untrusted[i].clear();
        m_stopWaiting[i] = true; // its answer no longer matters
    }
}

void BatchJob::Tick()
{
    // The neighbour table is read outside the lock (SourceMacCheck bounds how often).
    std::vector<std::pair<size_t, HeardDevice>> onLink;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (size_t i = 0; i < m_progress.size(); ++i)
            if (m_progress[i].onLink && AwaitsVerdict(m_progress[i].status))
                onLink.emplace_back(i, *m_progress[i].onLink);
    }
    for (const auto &[i, answer] : onLink) {
        if (!m_sourceMac)
            break;
        QString reason;
        const SourceMacCheck::Verdict verdict =
            m_sourceMac->Check(answer, ExpectedAfter(*m_entries[i].device, m_entries[i].target), reason);
        std::lock_guard<std::mutex> lock(m_lock);
        Progress &progress = m_progress[i];
        if (!AwaitsVerdict(progress.status))
            continue;
        if (verdict != SourceMacCheck::Verdict::Device) {
            m_untrusted[i] = reason;
            continue;
        }
        progress.status = BatchStatus::Verified;
        m_untrusted[i].clear();
        m_stopWaiting[i] = true;
    }
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_lock);
    for (Progress &progress : m_progress) {
        if (progress.sent && progress.answered && !IsFinal(progress.status) && now >= progress.deadline)
            progress.status = BatchStatus::NotConfirmed;
    }
}

std::vector<BatchStatus> BatchJob::Statuses() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<BatchStatus> statuses;
    statuses.reserve(m_progress.size());
    for (const Progress &progress : m_progress)
        statuses.push_back(progress.status);
    return statuses;
}

int BatchJob::Finished() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    int finished = 0;
    for (const Progress &progress : m_progress)
        finished += IsFinal(progress.status); // only entries to send get there
    // Entries a cancelled run never sent count as finished: nothing more happens to them.
    if (m_cancelled)
        for (size_t i : m_queue)
            finished += !m_progress[i].sent && !IsFinal(m_progress[i].status);
    return finished;
}

BatchJob::Clock::time_point BatchJob::LastSend() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastSend;
}
