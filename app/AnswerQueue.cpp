#include "app/AnswerQueue.h"

#include <cstdio>

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
    if (m_records.size() < kMaxQueuedAnswers)
        return false;
    CountDropLocked();
    return true;
}

void AnswerQueue::Push(QueuedAnswer &&answer)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_records.size() >= kMaxQueuedAnswers) {
            CountDropLocked();
            return;
        }
        wake = m_records.empty();
        m_records.push_back(std::move(answer));
    }
    if (wake && m_wake)
        m_wake();
}

std::vector<QueuedAnswer> AnswerQueue::Take()
{
    std::vector<QueuedAnswer> taken;
    std::lock_guard<std::mutex> lock(m_lock);
    taken.swap(m_records);
    return taken;
}

uint64_t AnswerQueue::Dropped() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dropped;
}
