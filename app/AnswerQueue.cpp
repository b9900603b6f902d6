#include "app/AnswerQueue.h"

#include <algorithm>
#include <cstdio>

std::size_t QueuedAnswerBytes(const QueuedAnswer &answer)
{
    const DeviceRecord &r = answer.record;
    const int units = r.serialNo.size() + r.address.size() + r.subnetMask.size() + r.gateway.size() + r.dns.size() +
                      r.mac.size() + r.description.size() + r.source.address.size();
    std::size_t kept = 0; // the device's own bytes, where they are not the texts' UTF-8
    for (const QByteArray &bytes : r.sent.member)
        kept += static_cast<std::size_t>(bytes.size());
    return sizeof(QueuedAnswer) + static_cast<std::size_t>(units) * sizeof(QChar) + kept +
           answer.heardOn.address.size() + answer.heardOn.device.size();
}

void AnswerQueue::CountDropLocked()
{
    if (m_dropped++ > 0)
        return;
    std::fprintf(stderr,
                 "BrenuSearchTools: search answers arrive faster than the window takes them; beyond %zu waiting, "
                 "answers are dropped\n",
                 kMaxQueuedAnswers);
    std::fflush(stderr);
}

bool AnswerQueue::RefuseIfFull()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_records.size() < kMaxQueuedAnswers && m_bytes < kMaxQueuedAnswerBytes)
        return false;
    CountDropLocked();
    return true;
}

void AnswerQueue::Push(QueuedAnswer &&answer)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const std::size_t bytes = QueuedAnswerBytes(answer);
        if (m_records.size() >= kMaxQueuedAnswers || bytes > kMaxQueuedAnswerBytes - std::min(m_bytes, kMaxQueuedAnswerBytes)) {
            CountDropLocked();
            return;
        }
        wake = m_records.empty();
        m_records.push_back(std::move(answer));
        m_bytes += bytes;
    }
    if (wake && m_wake)
        m_wake();
}

std::vector<QueuedAnswer> AnswerQueue::Take()
{
    std::vector<QueuedAnswer> taken;
    std::lock_guard<std::mutex> lock(m_lock);
    taken.swap(m_records);
    m_bytes = 0;
    return taken;
}

uint64_t AnswerQueue::Dropped() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dropped;
}
