#include "transport/BufferPool.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

size_t ItemBytes(int32_t capacity) { return sizeof(BufferItem) + static_cast<size_t>(std::max(capacity, 0)); }

int32_t PageSize()
{
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<int32_t>(page) : 4096;
}

} // namespace

// ---- BufferItem ----

BufferItem *BufferItem::Create(std::pmr::memory_resource &heap, int32_t capacity)
{
    void *memory = nullptr;
    try {
        memory = heap.allocate(ItemBytes(capacity), alignof(BufferItem));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    auto *item = new (memory) BufferItem;
    item->owner = &heap;
    item->next = item->prev = nullptr;
    item->capacity = std::max(capacity, 0);
    item->begin = reinterpret_cast<uint8_t *>(item + 1);
    item->Reset();
    return item;
}

void BufferItem::Destroy(BufferItem *item)
{
    std::pmr::memory_resource *heap = item->owner;
    const size_t bytes = ItemBytes(item->capacity);
    item->~BufferItem();
    heap->deallocate(item, bytes, alignof(BufferItem));
}

int32_t BufferItem::Append(const uint8_t *bytes, int32_t n)
{
    const int32_t room = static_cast<int32_t>(begin + capacity - tail);
    const int32_t count = std::min(std::max(n, 0), room);
    if (count > 0) {
        std::memcpy(tail, bytes, static_cast<size_t>(count));
        tail += count;
    }
    return count;
}

// ---- FreeList ----

void FreeList::Rebuild(uint32_t capacity)
{
    m_slots.reset();
    m_capacity = 0;
    if (capacity > 0) {
        m_slots = std::make_unique<std::atomic<BufferItem *>[]>(capacity);
        for (uint32_t i = 0; i < capacity; ++i)
            m_slots[i].store(nullptr, std::memory_order_relaxed);
        m_capacity = capacity;
    }
    m_put.store(0, std::memory_order_relaxed);
    m_get.store(0, std::memory_order_relaxed);
}

int32_t FreeList::Count() const
{
    return static_cast<int32_t>(m_put.load(std::memory_order_acquire) - m_get.load(std::memory_order_acquire));
}

bool FreeList::Put(BufferItem *item)
{
    if (m_capacity == 0)
        return false;
    for (;;) {
        uint32_t put = m_put.load(std::memory_order_acquire);
        if (static_cast<int32_t>(put - m_get.load(std::memory_order_acquire)) >= static_cast<int32_t>(m_capacity))
            return false;
        std::atomic<BufferItem *> &slot = m_slots[put % m_capacity];
        // A getter has claimed this position but not cleared the slot yet.
        if (slot.load(std::memory_order_acquire) != nullptr)
            continue;
        if (!m_put.compare_exchange_weak(put, put + 1, std::memory_order_acq_rel))
            continue;
        slot.store(item, std::memory_order_release);
        return true;
    }
}

BufferItem *FreeList::Get()
{
    if (m_capacity == 0)
        return nullptr;
    for (;;) {
        uint32_t get = m_get.load(std::memory_order_acquire);
        if (static_cast<int32_t>(m_put.load(std::memory_order_acquire) - get) <= 0)
            return nullptr;
        std::atomic<BufferItem *> &slot = m_slots[get % m_capacity];
        // A putter has reserved this position but not stored its item yet.
        if (slot.load(std::memory_order_acquire) == nullptr)
            continue;
        if (!m_get.compare_exchange_weak(get, get + 1, std::memory_order_acq_rel))
            continue;
        return slot.exchange(nullptr, std::memory_order_acq_rel);
    }
}

// ---- ItemPool ----

ItemPool::ItemPool() : m_heap(std::make_unique<std::pmr::synchronized_pool_resource>()), m_itemCapacity(PageSize()) {}

ItemPool::~ItemPool()
{
    // Destroying the heap returns every item still allocated from it.
    m_free.Rebuild(0);
}

void ItemPool::Configure(int32_t itemCapacity, int32_t poolSize, int32_t hold)
{
    m_itemCapacity = itemCapacity;
    m_poolSize = poolSize;
    m_hold = hold;
    m_free.Rebuild(hold > 0 ? static_cast<uint32_t>(hold) : 0);
}

BufferItem *ItemPool::Get()
{
    if (BufferItem *item = m_free.Get()) {
        item->Reset();
        return item;
    }
    BufferItem *item = BufferItem::Create(*m_heap, m_itemCapacity);
    if (item != nullptr)
        m_live.fetch_add(1, std::memory_order_relaxed);
    return item;
}

void ItemPool::Put(BufferItem *item)
{
    if (!m_free.Put(item))
        Free(item);
}

void ItemPool::Free(BufferItem *item)
{
    BufferItem::Destroy(item);
    m_live.fetch_sub(1, std::memory_order_relaxed);
}

void ItemPool::Release()
{
    while (BufferItem *item = m_free.Get())
        Free(item);
    m_free.Rebuild(0);
    // A fresh heap: whatever the old one still held goes back with it.
    m_heap = std::make_unique<std::pmr::synchronized_pool_resource>();
    m_live.store(0, std::memory_order_relaxed);
}

// ---- SendQueue ----

void SendQueue::PushBack(BufferItem *item)
{
    item->next = nullptr;
    item->prev = m_last;
    if (m_last != nullptr)
        m_last->next = item;
    else
        m_first = item;
    m_last = item;
    m_count.store(m_count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void SendQueue::PushFront(BufferItem *item)
{
    item->prev = nullptr;
    item->next = m_first;
    if (m_first != nullptr)
        m_first->prev = item;
    else
        m_last = item;
    m_first = item;
    m_count.store(m_count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

BufferItem *SendQueue::PopFront()
{
    BufferItem *item = m_first;
    if (item == nullptr)
        return nullptr;
    m_first = item->next;
    if (m_first != nullptr)
        m_first->prev = nullptr;
    else
        m_last = nullptr;
    item->next = item->prev = nullptr;
    m_count.store(m_count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    return item;
}

void SendQueue::Clear(ItemPool &pool)
{
    while (BufferItem *item = PopFront())
        pool.Free(item);
}
