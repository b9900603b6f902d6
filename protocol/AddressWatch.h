#pragma once
// QAddressWatch: the search group's worker that rescans the machine's addresses once
// every search interval (QUdpCastGroup::Rescan), starting one interval after it
// begins (the group has just read them).
//
// The interface list is read again each period instead of listening to the kernel's
// address events: a rescan must apply the same rules as the start (order,
// duplicates, skipped addresses) to the whole list, which a comparison of whole lists
// does by itself, while events would need a copy of the list kept in step and a full
// read anyway whenever the event socket overflows. One read of the list costs well
// under a millisecond, and a new address is searched within one period, the time by
// which the searchers repeat their request anyway.
#include <cstdint>

#include "kit/Thread.h"

class QUdpCastGroup;

class QAddressWatch : public Vant::CThread {
public:
    // The group must outlive the watcher's worker. Start() it once constructed.
    explicit QAddressWatch(QUdpCastGroup *group);

    void OnBegin() override;
    void OnRun() override;

private:
    QUdpCastGroup *m_group;
    uint32_t m_lastRescanTick = 0;
};
