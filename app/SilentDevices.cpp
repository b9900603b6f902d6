#include "app/SilentDevices.h"

bool SilentDevices::Answered(const QString &serialNo, uint32_t tick, int64_t wallSeconds)
{
    auto found = m_entries.find(serialNo);
    if (found == m_entries.end()) {
        m_answering.push_back(Answer{serialNo, tick, wallSeconds, false});
        m_entries.insert(serialNo, std::prev(m_answering.end()));
        return false;
    }
    const Order::iterator answer = found.value();
    const bool wasSilent = answer->silent;
    m_answering.splice(m_answering.end(), wasSilent ? m_silent : m_answering, answer);
    answer->tick = tick;
    answer->wallSeconds = wallSeconds;
    answer->silent = false;
    return wasSilent;
}

int SilentDevices::MarkSilent(uint32_t tick)
{
    int marked = 0;
    while (!m_answering.empty()) {
        const auto oldest = m_answering.begin();
        if (static_cast<uint32_t>(tick - oldest->tick) < kSilentAfterMs)
            break;
        oldest->silent = true;
        m_silent.splice(m_silent.end(), m_answering, oldest);
        ++marked;
    }
    return marked;
}

bool SilentDevices::IsSilent(const QString &serialNo, int64_t *lastAnswer) const
{
    const auto found = m_entries.constFind(serialNo);
    if (found == m_entries.constEnd() || !(*found)->silent)
        return false;
    if (lastAnswer)
        *lastAnswer = (*found)->wallSeconds;
    return true;
}

void SilentDevices::Forget(const QString &serialNo)
{
    const auto found = m_entries.find(serialNo);
    if (found == m_entries.end())
        return;
    ((*found)->silent ? m_silent : m_answering).erase(*found);
    m_entries.erase(found);
}

void SilentDevices::Clear()
{
    m_entries.clear();
    m_answering.clear();
    m_silent.clear();
}
