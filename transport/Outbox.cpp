#include "transport/Outbox.h"

// Both queue calls: the test of `maySend` (before and under the lock), the size
// test and a pool item, which `fill` fills and which is then queued with the
// length `fill` returns.
template <class Fill>
int Outbox::QueueItem(const std::atomic<bool> &maySend, int32_t length, Fill &&fill)
{
    if (!maySend.load(std::memory_order_acquire))
        return SysError::InvalidState;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!maySend.load(std::memory_order_acquire))
        return SysError::InvalidState;
    if (length > m_pool.ItemCapacity())
        return SysError::IncorrectSize;
    BufferItem *item = m_pool.Get();
    if (item == nullptr)
        return SysError::OutOfMemory;
    EnqueueLocked(item, fill(*item));
    return 0;
}

int Outbox::Queue(const std::atomic<bool> &maySend, const uint8_t *bytes, int32_t length)
{
    return QueueItem(maySend, length, [&](BufferItem &item) {
        item.Append(bytes, length);
        return length;
    });
}

int Outbox::QueueGather(const std::atomic<bool> &maySend, const GatherBuffer *pieces, int32_t count, int32_t total)
{
    return QueueItem(maySend, total, [&](BufferItem &item) {
        for (int32_t i = 0; i < count; ++i) {
            const auto length = static_cast<int32_t>(pieces[i].length);
            if (length > 0)
                item.Append(pieces[i].data, length);
        }
        return item.Size();
    });
}

void Outbox::EnqueueLocked(BufferItem *item, int32_t length)
{
    const int32_t old = m_pending.load(std::memory_order_relaxed);
    m_queue.PushBack(item);
    m_pending.store(old + length, std::memory_order_relaxed);
    if (old <= 0)
        m_sendSignal.Set();
}

void Outbox::ResetLocked()
{
    m_queue.Clear(m_pool);
    m_pool.Release();
    m_pending.store(0, std::memory_order_relaxed);
}

void Outbox::ConfigureLocked(int32_t itemCapacity, int32_t poolSize, int32_t hold)
{
    m_pool.Configure(itemCapacity, poolSize, hold);
}
