#include "cli/DeviceTracker.h"

namespace cli {

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

DeviceTracker::DeviceTracker(int maxDevices) : m_maxDevices(maxDevices > 0 ? maxDevices : 1) {}

void DeviceTracker::Heard(const DeviceRecord &record, int64_t nowMs, std::vector<DeviceEvent> *events)
{
    auto found = m_devices.find(record.serialNo);
    if (found == m_devices.end()) {
        if (Count() >= m_maxDevices) {
            if (m_ignoredAnswers++ == 0 && events) {
                DeviceEvent event;
                event.kind = DeviceEvent::Overflow;
                events->push_back(event);
            }
            return;
        }
        m_devices.emplace(record.serialNo, Entry{record, nowMs, false});
        if (events)
            events->push_back(DeviceEvent{DeviceEvent::Appeared, record, {}, 0});
        return;
    }
    Entry &entry = found->second;
    entry.lastHeardMs = nowMs;
    if (entry.silent) {
        entry.silent = false;
        if (events)
            events->push_back(DeviceEvent{DeviceEvent::Back, record, {}, 0});
    }
    const QStringList changed = ChangedMembers(entry.record, record);
    entry.record = record;
    if (!changed.isEmpty() && events)
        events->push_back(DeviceEvent{DeviceEvent::Changed, record, changed, 0});
}

void DeviceTracker::MarkSilent(int64_t nowMs, int64_t staleAfterMs, std::vector<DeviceEvent> *events)
{
    for (auto &item : m_devices) {
        Entry &entry = item.second;
        if (entry.silent || nowMs - entry.lastHeardMs <= staleAfterMs)
            continue;
        entry.silent = true;
        if (events)
            events->push_back(DeviceEvent{DeviceEvent::Silent, entry.record, {}, entry.lastHeardMs});
    }
}

std::vector<DeviceRecord> DeviceTracker::Devices() const
{
    std::vector<DeviceRecord> devices;
    devices.reserve(m_devices.size());
    for (const auto &item : m_devices)
        devices.push_back(item.second.record);
    return devices;
}

const DeviceRecord *DeviceTracker::Find(const QString &serialNo) const
{
    auto found = m_devices.find(serialNo);
    return found == m_devices.end() ? nullptr : &found->second.record;
}

} // namespace cli
