#pragma once
// Which listed devices have gone quiet: every answer of a listed device is noted with
// the time it came, and a device that has not answered for kSilentAfterMs counts as
// silent until its next answer.
//
// Devices are kept in the order of their last answer, so finding the ones that have
// just gone silent looks only at the oldest entries: a check costs nothing for the
// devices that keep answering, however many rows the table holds. One entry exists
// per listed device (the window forgets a device when its row goes), so this holds no
// more than the table does.
#include <QHash>
#include <QString>

#include <cstdint>
#include <list>

// Three search periods (a search every 5 s): one lost answer, or two, is ordinary on
// a busy LAN and must not make a device look unplugged; a device missing from three
// searches in a row most likely is.
constexpr uint32_t kSilentAfterMs = 15000;

class SilentDevices {
public:
    // Notes an answer of serialNo at `tick` (monotonic milliseconds, differences taken
    // modulo 2^32) and `wallSeconds` (seconds since 1970 UTC). True when the device
    // was silent until now.
    bool Answered(const QString &serialNo, uint32_t tick, int64_t wallSeconds);

    // Marks every device whose last answer is kSilentAfterMs or more before `tick` as
    // silent; the number of devices that went silent with this call.
    int MarkSilent(uint32_t tick);

    // True when serialNo is silent; its last answer's wall time goes to *lastAnswer.
    bool IsSilent(const QString &serialNo, int64_t *lastAnswer = nullptr) const;

    void Forget(const QString &serialNo);
    void Clear();
    int Size() const { return m_entries.size(); }

private:
    struct Answer {
        QString serialNo;
        uint32_t tick;
        int64_t wallSeconds;
        bool silent;
    };
    using Order = std::list<Answer>;

    // Devices still answering, oldest answer first; silent devices wait in m_silent
    // (in no particular order) for their next answer.
    Order m_answering;
    Order m_silent;
    QHash<QString, Order::iterator> m_entries;
};
