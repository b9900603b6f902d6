#include "Outbox.h"

#include <utility>

namespace devsim {

void Outbox::Schedule(Outgoing datagram)
{
    int64_t due = datagram.dueNs;
    m_timed.emplace(std::make_pair(due, m_sequence++), std::move(datagram));
}

int64_t Outbox::NextDelay(int64_t nowNs) const
{
    if (m_timed.empty())
        return -1;
    int64_t delay = m_timed.begin()->first.first - nowNs;
    return delay > 0 ? delay : 0;
}

void Outbox::ReleaseDue(int64_t nowNs)
{
    while (!m_timed.empty() && m_timed.begin()->first.first <= nowNs) {
        auto it = m_timed.begin();
        m_queues[it->second.fd].push_back(std::move(it->second));
        ++m_queuedCount;
        m_timed.erase(it);
    }
}

std::vector<int> Outbox::ReadySockets() const
{
    std::vector<int> fds;
    fds.reserve(m_queues.size());
    for (const auto &q : m_queues)
        fds.push_back(q.first);
    return fds;
}

} // namespace devsim
