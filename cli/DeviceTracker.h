#pragma once
// The devices heard by one run of brenu-search: one entry per serial number, the
// latest complete answer of each (the window's rules: app/DeviceRecord.h reads and
// accepts a record, serial numbers compare case-sensitively), when each was last
// heard, and which ones went silent. At most a fixed number of devices are held;
// answers from further devices are counted, not kept. Not thread-safe: the search
// (cli/DeviceSearch.h) guards it.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <vector>

#include "app/DeviceRecord.h"

namespace cli {

struct DeviceEvent {
    enum Kind { Appeared, Changed, Silent, Back, Overflow };
    Kind kind = Appeared;
    DeviceRecord device;
    // For Changed: the members whose values differ from the device's previous answer,
    // in the order of the record.
    QStringList changed;
    // For Silent: when the device was last heard (milliseconds of the tracker's clock).
    int64_t lastHeardMs = 0;
};

class DeviceTracker {
public:
    explicit DeviceTracker(int maxDevices = kMaxDeviceRows);

    // One complete record (IsCompleteRecord) heard at nowMs. Events (appeared, changed, back, the first overflow) are appended to `events`
    // when it is not null.
    void Heard(const DeviceRecord &record, int64_t nowMs, std::vector<DeviceEvent> *events);
    // Marks every device not heard for more than staleAfterMs as silent, with one
    // event each.
    void MarkSilent(int64_t nowMs, int64_t staleAfterMs, std::vector<DeviceEvent> *events);

    // Every device held, ordered by serial number (UTF-16 code units: a stable order
    // independent of the locale).
    std::vector<DeviceRecord> Devices() const;
    const DeviceRecord *Find(const QString &serialNo) const;
    // Calls fn(record, lastHeardMs) for every device held, ordered as Devices().
    template <typename Fn>
    void ForEach(Fn fn) const
    {
        for (const auto &item : m_devices)
            fn(item.second.record, item.second.lastHeardMs);
    }
    int Count() const { return static_cast<int>(m_devices.size()); }
    int MaxDevices() const { return m_maxDevices; }
    // Answers of devices that were not taken because the tracker was full.
    long long IgnoredAnswers() const { return m_ignoredAnswers; }
    bool Overflowed() const { return m_ignoredAnswers > 0; }

private:
    struct Entry {
        DeviceRecord record;
        int64_t lastHeardMs = 0;
        bool silent = false;
    };
    int m_maxDevices;
    long long m_ignoredAnswers = 0;
    std::map<QString, Entry> m_devices;
};

// The members of `after` that differ from `before`, by their JSON names.
QStringList ChangedMembers(const DeviceRecord &before, const DeviceRecord &after);

} // namespace cli
