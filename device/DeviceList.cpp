#include "device/DeviceList.h"

#include "device/Ipv4Text.h"

#include <arpa/inet.h>

#include <algorithm>
#include <utility>

namespace {

// The address in network byte order, as the interface list gives masks; false when
// the text is not an IPv4 address.
bool ParseNetworkOrder(const QString &text, in_addr_t &address)
{
    Ipv4 value = 0;
    if (!ParseIpv4(text, value))
        return false;
    address = htonl(value);
    return true;
}

bool SameSubnet(const InterfaceAddress &local, in_addr_t address)
{
    in_addr_t own = 0;
    if (local.netmask == 0 || !ParseNetworkOrder(QString::fromStdString(local.address), own))
        return false;
    return (own & local.netmask) == (address & local.netmask);
}

bool Before(const HeardDevice &a, const HeardDevice &b)
{
    if (a.serialNo != b.serialNo)
        return a.serialNo < b.serialNo;
    return a.mac.toUpper() < b.mac.toUpper();
}

} // namespace

LocalSubnets ReadLocalSubnets()
{
    LocalSubnets subnets;
    int error = 0;
    if (!ReadInterfaceAddresses(subnets, SystemInterfaceList(), error))
        subnets.clear();
    return subnets;
}

bool InLocalSubnet(const LocalSubnets &subnets, const QString &interfaceName, const QString &address)
{
    in_addr_t device = 0;
    if (!ParseNetworkOrder(address, device))
        return false;
    const std::string name = interfaceName.toStdString();
    return std::any_of(subnets.begin(), subnets.end(), [&](const InterfaceAddress &local) {
        return local.device == name && SameSubnet(local, device);
    });
}

QStringList ChangedMembers(const DeviceRecord &before, const DeviceRecord &after)
{
    QStringList changed;
    if (before.address != after.address)
        changed << "address";
    if (before.port != after.port)
        changed << "port";
    if (before.dhcp != after.dhcp)
        changed << "dhcp";
    if (before.subnetMask != after.subnetMask)
        changed << "subnetMask";
    if (before.gateway != after.gateway)
        changed << "gateway";
    if (before.dns != after.dns)
        changed << "dns";
    if (before.mac != after.mac)
        changed << "mac";
    if (before.description != after.description)
        changed << "description";
    return changed;
}

DeviceList::DeviceList(int maxDevices, uint32_t silentAfterMs)
    : m_maxDevices(maxDevices > 0 ? maxDevices : 1), m_silence(silentAfterMs)
{
}

QString DeviceList::KeyOf(const QString &serialNo, const QString &mac)
{
    // Length-prefixed, so that no pair of texts can make the key of another pair; built
    // in one allocation, as it is for every answer.
    const QString length = QString::number(serialNo.size());
    QString key;
    key.reserve(length.size() + 1 + serialNo.size() + mac.size());
    key += length;
    key += QLatin1Char(':');
    key += serialNo;
    for (const QChar c : mac)
        key += c.toUpper();
    return key;
}

void DeviceList::SetLocalSubnets(const LocalSubnets &subnets)
{
    m_subnets.clear();
    for (const InterfaceAddress &local : subnets) {
        in_addr_t own = 0;
        if (local.netmask != 0 && ParseNetworkOrder(QString::fromStdString(local.address), own))
            m_subnets.push_back(Subnet{local.device, own & local.netmask, local.netmask});
    }
}

bool DeviceList::IsLocal(const InterfaceAddress &heardOn, const QString &address) const
{
    const bool interfaceKnown = std::any_of(m_subnets.begin(), m_subnets.end(),
                                            [&](const Subnet &subnet) { return subnet.device == heardOn.device; });
    // Only the hearing address is known, and without its mask nothing can be said.
    if (!interfaceKnown && heardOn.netmask == 0)
        return true;
    in_addr_t device = 0;
    if (!ParseNetworkOrder(address, device))
        return true; // not an address at all: nothing to route, nothing to mark
    if (!interfaceKnown)
        return SameSubnet(heardOn, device);
    return std::any_of(m_subnets.begin(), m_subnets.end(), [&](const Subnet &subnet) {
        return subnet.device == heardOn.device && (device & subnet.mask) == subnet.network;
    });
}

void DeviceList::AddAddress(const QString &address, const QString &serialNo, QStringList &changed)
{
    KeyedTextHash<int> &serials = m_addresses[address];
    const int before = serials.size();
    ++serials[serialNo];
    if (serials.size() == before || serials.size() < 2)
        return;
    // The marks change only when the address becomes shared; a further serial at an
    // already shared address changes its own mark alone.
    if (before == 1)
        changed << KeyedTextKeys(serials);
    else
        changed << serialNo;
}

void DeviceList::RemoveAddress(const QString &address, const QString &serialNo, QStringList &changed)
{
    auto found = m_addresses.find(address);
    if (found == m_addresses.end())
        return;
    KeyedTextHash<int> &serials = found.value();
    auto serial = serials.find(serialNo);
    if (serial == serials.end())
        return;
    if (--serial.value() > 0)
        return;
    serials.erase(serial);
    if (serials.size() >= 1)
        changed << serialNo;
    if (serials.size() == 1)
        changed << KeyedTextKeys(serials);
    if (serials.isEmpty())
        m_addresses.erase(found);
}

DeviceList::Heard DeviceList::NoteEarlier(const DeviceRecord &record, const InterfaceAddress &heardOn, uint32_t tick,
                                          int64_t wallSeconds)
{
    if (m_devices.contains(KeyOf(record.serialNo, record.mac)) || m_devices.size() >= m_maxDevices)
        return Heard{};
    m_noteEarlier = true;
    const Heard heard = Note(record, heardOn, tick, wallSeconds);
    m_noteEarlier = false;
    return heard;
}

DeviceList::Heard DeviceList::Note(const DeviceRecord &record, const InterfaceAddress &heardOn, uint32_t tick,
                                   int64_t wallSeconds, std::vector<DeviceEvent> *events)
{
    Heard heard;
    const QString key = KeyOf(record.serialNo, record.mac);
    // Behind a router (heard through a search range) counts as reachable as a local
    // subnet: only a device neither local nor routed needs on-link delivery.
    const bool inSubnet = IsLocal(heardOn, record.address);
    const bool routed = !inSubnet && !m_ranges.Empty() &&
                        (m_ranges.Contains(record.address.toStdString()) ||
                         m_ranges.Contains(record.source.address.toStdString()));
    const bool local = inSubnet || routed;
    auto found = m_devices.find(key);
    if (found == m_devices.end()) {
        // A full list gives up its longest-silent device for a device that answers
        // now (restored devices that never answer again must not lock it out).
        if (m_devices.size() >= m_maxDevices && m_roomFromSilent && !m_noteEarlier)
            MakeRoom(events);
        if (m_devices.size() >= m_maxDevices) {
            m_unlisted.Note(key);
            if (m_ignoredAnswers++ == 0 && events) {
                DeviceEvent event;
                event.kind = DeviceEvent::Overflow;
                events->push_back(event);
            }
            return heard;
        }
        Entry entry;
        static_cast<DeviceRecord &>(entry.device) = record;
        entry.device.localAddress = QString::fromStdString(heardOn.address);
        entry.device.interfaceName = QString::fromStdString(heardOn.device);
        entry.device.foreignSubnet = !local;
        entry.device.routed = routed;
        entry.key = key;
        entry.order = ++m_answers;
        QStringList &keys = m_serials[record.serialNo];
        keys << key;
        if (keys.size() >= 2)
            heard.conflictsChanged << record.serialNo;
        AddAddress(record.address, record.serialNo, heard.conflictsChanged);
        if (m_noteEarlier)
            m_silence.AnsweredBefore(key, tick, wallSeconds);
        else
            m_silence.Answered(key, tick, wallSeconds);
        const auto inserted = m_devices.insert(key, entry);
        heard.outcome = Heard::Added;
        if (events)
            events->push_back(DeviceEvent{DeviceEvent::Appeared, Listed(inserted->device), {}, 0});
        heard.conflictsChanged.removeDuplicates();
        return heard;
    }

    Entry &entry = found.value();
    HeardDevice &device = entry.device;
    entry.order = ++m_answers;
    heard.outcome = Heard::Updated;
    if (NoteSource(key, device, record, tick))
        heard.conflictsChanged << record.serialNo;
    heard.back = m_silence.Answered(key, tick, wallSeconds);
    if (heard.back && events)
        events->push_back(DeviceEvent{DeviceEvent::Back, Listed(device), {}, 0});
    const QStringList changed = events ? ChangedMembers(device, record) : QStringList();
    if (device.address != record.address) {
        RemoveAddress(device.address, device.serialNo, heard.conflictsChanged);
        AddAddress(record.address, record.serialNo, heard.conflictsChanged);
    }
    static_cast<DeviceRecord &>(device) = record;
    const auto sources = m_identities.constFind(key);
    device.otherSources.clear();
    if (sources != m_identities.constEnd())
        for (const SourceAnswer &other : *sources)
            if (other.device.source.address != record.source.address)
                device.otherSources << other.device.source.address;
    // A device heard by several searchers keeps the hearing that has a route to it.
    if ((local || device.foreignSubnet || device.localAddress.isEmpty()) &&
        (device.foreignSubnet == local || device.localAddress != QLatin1String(heardOn.address.c_str()) ||
         device.interfaceName != QLatin1String(heardOn.device.c_str()))) {
        device.localAddress = QString::fromStdString(heardOn.address);
        device.interfaceName = QString::fromStdString(heardOn.device);
        device.foreignSubnet = !local;
    }
    device.routed = routed;
    if (!changed.isEmpty() && events)
        events->push_back(DeviceEvent{DeviceEvent::Changed, Listed(device), changed, 0});
    heard.conflictsChanged.removeDuplicates();
    return heard;
}

HeardDevice DeviceList::SourceCopy(const HeardDevice &device)
{
    HeardDevice copy = device;
    copy.otherSources.clear();
    // The description is kept once, in the device's own entry (BySource puts it back).
    copy.description.clear();
    const int description = static_cast<int>(TextMember::Description);
    copy.sent.member[description].clear();
    copy.sent.notUtf8 &= static_cast<unsigned char>(~(1u << description));
    return copy;
}

bool DeviceList::NoteSource(const QString &key, HeardDevice &device, const DeviceRecord &record, uint32_t tick)
{
    const QString &source = record.source.address;
    auto found = m_identities.find(key);
    if (found == m_identities.end()) {
        if (source.isEmpty() || device.source.address.isEmpty() || source == device.source.address)
            return false;
        const uint32_t previous = m_silence.LastTick(key);
        if (static_cast<uint32_t>(tick - previous) > kIdentityWindowMs)
            return false; // the old source had fallen quiet: the device moved
        std::vector<SourceAnswer> sources;
        sources.push_back(SourceAnswer{SourceCopy(device), previous});
        found = m_identities.insert(key, std::move(sources));
    }
    std::vector<SourceAnswer> &sources = found.value();
    HeardDevice now = device; // where it was heard and so on stay the device's
    static_cast<DeviceRecord &>(now) = record;
    now = SourceCopy(now);
    const auto same = std::find_if(sources.begin(), sources.end(), [&](const SourceAnswer &answer) {
        return answer.device.source.address == source;
    });
    if (same != sources.end()) {
        *same = SourceAnswer{std::move(now), tick};
    } else if (static_cast<int>(sources.size()) < kMaxIdentitySources) {
        sources.push_back(SourceAnswer{std::move(now), tick});
    } else {
        const auto oldest = std::min_element(sources.begin(), sources.end(), [&](const SourceAnswer &a, const SourceAnswer &b) {
            return static_cast<uint32_t>(tick - a.tick) > static_cast<uint32_t>(tick - b.tick);
        });
        *oldest = SourceAnswer{std::move(now), tick};
    }
    sources.erase(std::remove_if(sources.begin(), sources.end(),
                                 [&](const SourceAnswer &answer) {
                                     return static_cast<uint32_t>(tick - answer.tick) > kIdentityForgetMs;
                                 }),
                  sources.end());
    if (sources.size() >= 2)
        return device.otherSources.isEmpty(); // began now unless it was there before
    m_identities.erase(found);
    return true;
}

int DeviceList::MarkSilent(uint32_t tick, std::vector<DeviceEvent> *events)
{
    std::vector<QString> keys;
    const int marked = m_silence.MarkSilent(tick, events ? &keys : nullptr);
    if (events) {
        for (const QString &key : keys) {
            const auto found = m_devices.constFind(key);
            if (found != m_devices.constEnd())
                events->push_back(
                    DeviceEvent{DeviceEvent::Silent, Listed(found->device), {}, m_silence.LastTick(key)});
        }
    }
    return marked;
}

std::vector<HeardDevice> DeviceList::Devices() const
{
    std::vector<HeardDevice> devices;
    devices.reserve(static_cast<size_t>(m_devices.size()));
    for (const Entry &entry : m_devices)
        devices.push_back(WithSharing(entry.device));
    std::sort(devices.begin(), devices.end(), Before);
    return devices;
}

HeardDevice DeviceList::WithSharing(const HeardDevice &device) const
{
    HeardDevice copy = device;
    // Whether a second device answers there is known after two counts at most: a
    // listing of many devices at one address stays linear.
    int answering = 0;
    const auto serials = m_addresses.constFind(device.address);
    if (serials != m_addresses.constEnd())
        for (auto count = serials->constBegin(); count != serials->constEnd() && answering < 2; ++count)
            answering += count.value();
    copy.sharedAddress = answering > 1;
    return copy;
}

std::vector<HeardDevice> DeviceList::AtAddress(const QString &address) const
{
    std::vector<HeardDevice> devices;
    const auto serials = m_addresses.constFind(address);
    if (serials == m_addresses.constEnd())
        return devices;
    for (auto serial = serials->constBegin(); serial != serials->constEnd(); ++serial)
        for (const QString &key : m_serials.value(serial.key())) {
            const HeardDevice &device = m_devices.value(key).device;
            if (device.address == address)
                devices.push_back(WithSharing(device));
        }
    return devices;
}

std::vector<HeardDevice> DeviceList::WithSerial(const QString &serialNo, int maxCount) const
{
    std::vector<HeardDevice> devices;
    const QStringList keys = m_serials.value(serialNo);
    for (int k = 0; k < keys.size() && k < maxCount; ++k)
        devices.push_back(WithSharing(m_devices.value(keys[k]).device));
    std::sort(devices.begin(), devices.end(), Before);
    return devices;
}

int DeviceList::CountWithSerial(const QString &serialNo) const
{
    const auto keys = m_serials.constFind(serialNo);
    return keys == m_serials.constEnd() ? 0 : static_cast<int>(keys->size());
}

const HeardDevice *DeviceList::Find(const QString &serialNo, const QString &mac) const
{
    const auto found = m_devices.constFind(KeyOf(serialNo, mac));
    return found == m_devices.constEnd() ? nullptr : &found->device;
}

DeviceList::Target DeviceList::Resolve(const QString &serialNo, const QString &mac, HeardDevice *device,
                                       const QString &at) const
{
    const HeardDevice *found = nullptr;
    if (!mac.isEmpty()) {
        found = Find(serialNo, mac);
    } else {
        const QStringList keys = m_serials.value(serialNo);
        if (keys.size() > 1)
            return Target::Ambiguous;
        found = Latest(serialNo);
    }
    if (!found)
        return Target::NotFound;
    if (!found->otherSources.isEmpty() || !at.isEmpty()) {
        if (at.isEmpty())
            return Target::IdentityConflict;
        // Pinned: the answer heard from `at`, which must announce `at` itself, so that
        // the command goes where the operator said.
        for (const HeardDevice &one : BySource(found->serialNo, found->mac)) {
            if (one.source.address == at && one.address == at) {
                if (device)
                    *device = one;
                return Target::Found;
            }
        }
        return found->otherSources.isEmpty() ? Target::NotFound : Target::IdentityConflict;
    }
    if (device)
        *device = WithSharing(*found);
    return Target::Found;
}

bool DeviceList::OtherSourceTick(const QString &serialNo, const QString &mac, const QString &source,
                                 uint32_t &tick) const
{
    const auto sources = m_identities.constFind(KeyOf(serialNo, mac));
    if (sources == m_identities.constEnd())
        return false;
    bool found = false;
    for (const SourceAnswer &answer : *sources) {
        if (answer.device.source.address == source)
            continue;
        // The latest: the smallest distance back from the source's own answer.
        if (!found || static_cast<int32_t>(answer.tick - tick) > 0)
            tick = answer.tick;
        found = true;
    }
    return found;
}

std::vector<HeardDevice> DeviceList::BySource(const QString &serialNo, const QString &mac) const
{
    std::vector<HeardDevice> devices;
    const QString key = KeyOf(serialNo, mac);
    const auto sources = m_identities.constFind(key);
    if (sources == m_identities.constEnd()) {
        const auto found = m_devices.constFind(key);
        if (found != m_devices.constEnd())
            devices.push_back(found->device);
        return devices;
    }
    const auto main = m_devices.constFind(key);
    for (const SourceAnswer &answer : *sources) {
        devices.push_back(answer.device);
        if (main != m_devices.constEnd()) {
            const int description = static_cast<int>(TextMember::Description);
            const unsigned char bit = static_cast<unsigned char>(1u << description);
            HeardDevice &one = devices.back();
            one.description = main->device.description;
            one.sent.member[description] = main->device.sent.member[description];
            one.sent.notUtf8 = static_cast<unsigned char>((one.sent.notUtf8 & ~bit) | (main->device.sent.notUtf8 & bit));
        }
        for (const SourceAnswer &other : *sources)
            if (other.device.source.address != answer.device.source.address)
                devices.back().otherSources << other.device.source.address;
    }
    std::sort(devices.begin(), devices.end(),
              [](const HeardDevice &a, const HeardDevice &b) { return a.source.address < b.source.address; });
    return devices;
}

const HeardDevice *DeviceList::Latest(const QString &serialNo) const
{
    const Entry *latest = nullptr;
    for (const QString &key : m_serials.value(serialNo)) {
        const auto found = m_devices.constFind(key);
        if (found != m_devices.constEnd() && (!latest || found->order > latest->order))
            latest = &found.value();
    }
    return latest ? &latest->device : nullptr;
}

QStringList DeviceList::ConflictKinds(const HeardDevice &device) const
{
    QStringList kinds;
    const auto keys = m_serials.constFind(device.serialNo);
    if (keys != m_serials.constEnd() && keys->size() > 1)
        kinds << QStringLiteral("serial");
    const auto serials = m_addresses.constFind(device.address);
    if (serials != m_addresses.constEnd() && serials->size() > 1)
        kinds << QStringLiteral("address");
    if (!device.otherSources.isEmpty())
        kinds << QStringLiteral("identity");
    return kinds;
}

ListedDevice DeviceList::Listed(const HeardDevice &device) const
{
    ListedDevice listed;
    static_cast<HeardDevice &>(listed) = device;
    listed.conflict = ConflictKinds(device);
    return listed;
}

std::vector<ListedDevice> DeviceList::Listing() const
{
    std::vector<ListedDevice> listing;
    for (const HeardDevice &device : Devices()) {
        // A device in an identity conflict is listed once per source, each with what
        // that source announced.
        if (!device.otherSources.isEmpty()) {
            for (const HeardDevice &one : BySource(device.serialNo, device.mac)) {
                listing.push_back(Listed(one));
                // The address conflicts are those of the device as held.
                listing.back().conflict = ConflictKinds(device);
            }
            continue;
        }
        listing.push_back(Listed(device));
    }
    return listing;
}

bool DeviceList::SerialHasConflict(const QString &serialNo) const
{
    const auto keys = m_serials.constFind(serialNo);
    if (keys == m_serials.constEnd())
        return false;
    if (keys->size() > 1)
        return true;
    for (const QString &key : *keys) {
        const auto device = m_devices.constFind(key);
        if (device == m_devices.constEnd())
            continue;
        if (!device->device.otherSources.isEmpty())
            return true;
        const auto serials = m_addresses.constFind(device->device.address);
        if (serials != m_addresses.constEnd() && serials->size() > 1)
            return true;
    }
    return false;
}

DeviceConflicts DeviceList::Conflicts(const HeardDevice &device, int maxNamed) const
{
    DeviceConflicts conflicts;
    const QString own = KeyOf(device.serialNo, device.mac);
    const QStringList keys = m_serials.value(device.serialNo);
    bool ownSeen = false;
    int looked = 0;
    for (; looked < keys.size() && conflicts.sameSerial.size() < maxNamed; ++looked) {
        if (keys[looked] == own) {
            ownSeen = true;
            continue;
        }
        const HeardDevice &other = m_devices.value(keys[looked]).device;
        conflicts.sameSerial << other.address + QLatin1Char(' ') + other.mac;
    }
    // The rest are counted, not looked at: the device itself is among them when it is
    // held and was not met yet.
    conflicts.moreSameSerial = keys.size() - looked - (!ownSeen && m_devices.contains(own) ? 1 : 0);

    const KeyedTextHash<int> serials = m_addresses.value(device.address);
    for (auto it = serials.constBegin(); it != serials.constEnd() && conflicts.sameAddress.size() < maxNamed; ++it)
        if (it.key().text != device.serialNo)
            conflicts.sameAddress << it.key().text;
    conflicts.moreSameAddress =
        serials.size() - (serials.contains(device.serialNo) ? 1 : 0) - conflicts.sameAddress.size();
    conflicts.sameIdentity = IdentitySources(own, device.source.address);
    conflicts.sameSerial.sort();
    conflicts.sameAddress.sort();
    return conflicts;
}

DeviceConflicts DeviceList::SerialConflicts(const QString &serialNo, int maxNamed) const
{
    DeviceConflicts conflicts;
    const auto keys = m_serials.constFind(serialNo);
    if (keys == m_serials.constEnd())
        return conflicts;
    const int named = std::min(static_cast<int>(keys->size()), std::max(maxNamed, 1));
    // The addresses of the devices looked at, each once, with the number of other
    // serial numbers answering there.
    std::vector<const KeyedTextHash<int> *> addresses;
    for (int k = 0; k < named; ++k) {
        const auto device = m_devices.constFind(keys->at(k));
        if (device == m_devices.constEnd())
            continue;
        if (!device->device.otherSources.isEmpty())
            conflicts.sameIdentity << IdentitySources(keys->at(k), QString());
        if (keys->size() > 1 && conflicts.sameSerial.size() < maxNamed)
            conflicts.sameSerial << device->device.address + QLatin1Char(' ') + device->device.mac;
        const auto serials = m_addresses.constFind(device->device.address);
        if (serials == m_addresses.constEnd() || serials->size() < 2 ||
            std::find(addresses.begin(), addresses.end(), &serials.value()) != addresses.end())
            continue;
        addresses.push_back(&serials.value());
        conflicts.moreSameAddress += serials->size() - (serials->contains(serialNo) ? 1 : 0);
        for (auto it = serials->constBegin(); it != serials->constEnd() && conflicts.sameAddress.size() < maxNamed;
             ++it)
            if (it.key().text != serialNo && !conflicts.sameAddress.contains(it.key().text))
                conflicts.sameAddress << it.key().text;
    }
    if (keys->size() > 1)
        conflicts.moreSameSerial = static_cast<int>(keys->size()) - conflicts.sameSerial.size();
    conflicts.moreSameAddress = std::max(0, conflicts.moreSameAddress - static_cast<int>(conflicts.sameAddress.size()));
    conflicts.sameIdentity.removeDuplicates();
    conflicts.sameSerial.sort();
    conflicts.sameAddress.sort();
    return conflicts;
}

bool DeviceList::SerialSilent(const QString &serialNo, int64_t *lastAnswer) const
{
    const auto keys = m_serials.constFind(serialNo);
    if (keys == m_serials.constEnd() || keys->isEmpty())
        return false;
    int64_t latest = 0;
    for (const QString &key : *keys) {
        int64_t last = 0;
        if (!m_silence.IsSilent(key, &last))
            return false;
        latest = std::max(latest, last);
    }
    if (lastAnswer)
        *lastAnswer = latest;
    return true;
}

bool DeviceList::IsSilent(const HeardDevice &device) const
{
    return m_silence.IsSilent(KeyOf(device.serialNo, device.mac));
}

QStringList DeviceList::IdentitySources(const QString &key, const QString &except) const
{
    QStringList named;
    for (const SourceAnswer &answer : m_identities.value(key))
        if (answer.device.source.address != except)
            named << answer.device.source.address + QStringLiteral(" \u2192 ") + answer.device.address;
    named.sort();
    return named;
}

void DeviceList::Remove(const QString &key)
{
    const auto found = m_devices.find(key);
    if (found == m_devices.end())
        return;
    QStringList ignored;
    RemoveAddress(found->device.address, found->device.serialNo, ignored);
    m_silence.Forget(key);
    m_identities.remove(key);
    m_devices.erase(found);
}

void DeviceList::ForgetSerial(const QString &serialNo)
{
    const QStringList keys = m_serials.take(serialNo);
    for (const QString &key : keys)
        Remove(key);
}

int DeviceList::ForgetSilentFor(uint32_t tick, uint32_t afterMs, std::vector<DeviceEvent> *events)
{
    std::vector<QString> gone;
    for (const Entry &entry : m_devices)
        if (static_cast<uint32_t>(tick - m_silence.LastTick(entry.key)) >= afterMs)
            gone.push_back(entry.key);
    if (gone.empty())
        return 0;
    // Each serial number's list of devices is rebuilt once, however many of its
    // devices go (thousands may share one serial number): linear in what is held.
    KeyedTextSet goneKeys;
    KeyedTextSet serials;
    for (const QString &key : gone) {
        const auto found = m_devices.constFind(key);
        if (events)
            events->push_back(DeviceEvent{DeviceEvent::Forgotten, Listed(found->device), {}, m_silence.LastTick(key)});
        goneKeys.insert(key);
        serials.insert(found->device.serialNo);
    }
    for (const KeyedText &serialNo : serials) {
        const auto serial = m_serials.find(serialNo.text);
        if (serial == m_serials.end())
            continue;
        QStringList kept;
        for (const QString &key : *serial)
            if (!goneKeys.contains(key))
                kept << key;
        if (kept.isEmpty())
            m_serials.erase(serial);
        else
            *serial = kept;
    }
    for (const QString &key : gone)
        Remove(key);
    return static_cast<int>(gone.size());
}

bool DeviceList::MakeRoom(std::vector<DeviceEvent> *events)
{
    const QString key = m_silence.LongestSilent();
    const auto found = m_devices.constFind(key);
    if (key.isEmpty() || found == m_devices.constEnd())
        return false;
    if (events)
        events->push_back(DeviceEvent{DeviceEvent::Forgotten, Listed(found->device), {}, m_silence.LastTick(key)});
    const auto serial = m_serials.find(found->device.serialNo);
    if (serial != m_serials.end()) {
        serial->removeOne(key);
        if (serial->isEmpty())
            m_serials.erase(serial);
    }
    Remove(key);
    ++m_madeRoom;
    return true;
}

DeviceList DeviceList::TakeAll()
{
    DeviceList taken(m_maxDevices, m_silence.AfterMs());
    std::swap(m_devices, taken.m_devices);
    std::swap(m_serials, taken.m_serials);
    std::swap(m_addresses, taken.m_addresses);
    std::swap(m_identities, taken.m_identities);
    std::swap(m_silence, taken.m_silence);
    std::swap(m_unlisted, taken.m_unlisted);
    std::swap(m_ignoredAnswers, taken.m_ignoredAnswers);
    return taken;
}

void DeviceList::Clear()
{
    m_devices.clear();
    m_serials.clear();
    m_addresses.clear();
    m_identities.clear();
    m_silence.Clear();
    m_unlisted.Clear();
    m_ignoredAnswers = 0;
}
