#include "device/SilentDevices.h"

bool SilentDevices::Answered(const QString &key, uint32_t tick, int64_t wallSeconds)
{
    auto found = m_entries.find(key);
    if (found == m_entries.end()) {
        m_answering.push_back(Answer{key, tick, wallSeconds, false});
        m_entries.insert(key, std::prev(m_answering.end()));
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

void SilentDevices::AnsweredBefore(const QString &key, uint32_t tick, int64_t wallSeconds)
{
    if (m_entries.contains(key))
        return;
    m_answering.push_front(Answer{key, tick, wallSeconds, false});
    m_entries.insert(key, m_answering.begin());
}

int SilentDevices::MarkSilent(uint32_t tick, std::vector<QString> *wentSilent)
{
    int marked = 0;
    while (!m_answering.empty()) {
        const auto oldest = m_answering.begin();
        if (static_cast<uint32_t>(tick - oldest->tick) < m_afterMs)
            break;
        oldest->silent = true;
        if (wentSilent)
            wentSilent->push_back(oldest->key);
        m_silent.splice(m_silent.end(), m_answering, oldest);
        ++marked;
    }
    return marked;
}

bool SilentDevices::IsSilent(const QString &key, int64_t *lastAnswer) const
{
    const auto found = m_entries.constFind(key);
    if (found == m_entries.constEnd() || !(*found)->silent)
        return false;
    if (lastAnswer)
        *lastAnswer = (*found)->wallSeconds;
    return true;
}

uint32_t SilentDevices::LastTick(const QString &key) const
{
    const auto found = m_entries.constFind(key);
    return found == m_entries.constEnd() ? 0 : (*found)->tick;
}

void SilentDevices::Forget(const QString &key)
{
    const auto found = m_entries.find(key);
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
