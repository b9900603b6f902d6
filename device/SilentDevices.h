#pragma once
// Which devices have gone quiet: every answer of a device is noted under its key with
// the time it came, and a device that has not answered for the silence threshold
// counts as silent until its next answer.
//
// Devices are kept in the order of their last answer, so finding the ones that have
// just gone silent looks only at the oldest entries: a check costs nothing for the
// devices that keep answering, however many are held. One entry exists per device
// its owner lists (DeviceList forgets a device when it drops it), so this holds no
// more than the list does.
#include <QString>

#include <cstdint>
#include <list>
#include <vector>

#include "device/KeyedText.h"

// Three search periods (a search every 5 s): one lost answer, or two, is ordinary on
// a busy LAN and must not make a device look unplugged; a device missing from three
// searches in a row most likely is.
constexpr uint32_t kSilentAfterMs = 15000;

class SilentDevices {
public:
    // afterMs: how long a device may stay quiet before it counts as silent.
    explicit SilentDevices(uint32_t afterMs = kSilentAfterMs) : m_afterMs(afterMs) {}

    // Notes an answer of `key` at `tick` (monotonic milliseconds, differences taken
    // modulo 2^32) and `wallSeconds` (seconds since 1970 UTC). True when the device
    // was silent until now.
    bool Answered(const QString &key, uint32_t tick, int64_t wallSeconds);
    // Notes a device not held yet whose last answer came before every answer held
    // (a device restored from a saved list): it goes first in the order. Restoring
    // several, the newest goes first, so the oldest ends up in front.
    void AnsweredBefore(const QString &key, uint32_t tick, int64_t wallSeconds);

    // Marks every device whose last answer is the threshold or more before `tick` as
    // silent; the number of devices that went silent with this call. Their keys are
    // appended to `wentSilent` when it is not null.
    int MarkSilent(uint32_t tick, std::vector<QString> *wentSilent = nullptr);

    // True when `key` is silent; its last answer's wall time goes to *lastAnswer.
    bool IsSilent(const QString &key, int64_t *lastAnswer = nullptr) const;
    // The device that went silent first and has not answered since ("" when none is
    // silent). Restored devices go silent before any heard in this run.
    QString LongestSilent() const { return m_silent.empty() ? QString() : m_silent.front().key; }
    // The tick of the last answer of `key` (0 when it is not held).
    uint32_t LastTick(const QString &key) const;

    void Forget(const QString &key);
    void Clear();
    int Size() const { return m_entries.size(); }
    uint32_t AfterMs() const { return m_afterMs; }

private:
    struct Answer {
        QString key;
        uint32_t tick;
        int64_t wallSeconds;
        bool silent;
    };
    using Order = std::list<Answer>;

    uint32_t m_afterMs;
    // Devices still answering, oldest answer first; silent devices wait in m_silent
    // (in no particular order) for their next answer.
    Order m_answering;
    Order m_silent;
    KeyedTextHash<Order::iterator> m_entries; // keyed with the process secret
};
