#include "protocol/AddressWatch.h"

#include "kit/Clock.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"

namespace {

uint32_t Tick()
{
    return Vant::SystemClock()->Tick();
}

} // namespace

QAddressWatch::QAddressWatch(QUdpCastGroup *group) : Vant::CThread(false), m_group(group) {}

void QAddressWatch::OnBegin()
{
    m_lastRescanTick = Tick();
}

void QAddressWatch::OnRun()
{
    if (Tick() - m_lastRescanTick < QUdpCast::kSearchIntervalMs)
        return;
    m_group->Rescan();
    m_lastRescanTick = Tick();
}
