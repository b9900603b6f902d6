#include "transport/Outbox.h"

int Outbox::Queue(const std::atomic<bool> &maySend, const uint8_t *bytes, int32_t length)
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
    item->Append(bytes, length);
    EnqueueLocked(item, length);
    return 0;
}

int Outbox::QueueGather(const std::atomic<bool> &maySend, const GatherBuffer *pieces, int32_t count, int32_t total)
{
    if (!maySend.load(std::memory_order_acquire))
        return SysError::InvalidState;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!maySend.load(std::memory_order_acquire))
        return SysError::InvalidState;
    if (total > m_pool.ItemCapacity())
        return SysError::IncorrectSize;
    BufferItem *item = m_pool.Get();
    if (item == nullptr)
        return SysError::OutOfMemory;
    for (int32_t i = 0; i < count; ++i) {
        const auto length = static_cast<int32_t>(pieces[i].length);
        if (length > 0)
            item->Append(pieces[i].data, length);
    }
    EnqueueLocked(item, item->Size());
    return 0;
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
