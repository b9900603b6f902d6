#pragma once
// Send buffers of a socket: the buffer item, the per-socket item pool with its
// bounded lock-free free list, and the FIFO send queue.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>

// One allocation from a pool's heap: this header followed directly by `capacity`
// payload bytes. The item's data is [head, tail).
struct BufferItem {
    std::pmr::memory_resource *owner; // the heap the item is returned to
    BufferItem *next;
    BufferItem *prev;
    int32_t capacity;
    uint8_t *begin;
    uint8_t *head;
    uint8_t *tail;

    // Null when the heap cannot satisfy the request.
    static BufferItem *Create(std::pmr::memory_resource &heap, int32_t capacity);
    static void Destroy(BufferItem *item);

    void Reset() { head = tail = begin; }
    // Copies as many of the n bytes as still fit; returns the count copied.
    int32_t Append(const uint8_t *bytes, int32_t n);
    const uint8_t *Data() const { return head; }
    int32_t Size() const { return static_cast<int32_t>(tail - head); }
};

// A bounded multi-producer multi-consumer ring of item pointers. Putters and
// getters each advance their own index with compare-and-swap; the two indices lie
// on separate cache lines.
class FreeList {
public:
    FreeList() = default;
    FreeList(const FreeList &) = delete;
    FreeList &operator=(const FreeList &) = delete;

    // Replaces the slots by `capacity` empty ones (0: no slots) and zeroes both
    // indices. Items still held are forgotten: take them out first. Not thread-safe.
    void Rebuild(uint32_t capacity);
    // False when the list is full or has no slots.
    bool Put(BufferItem *item);
    // Null when the list is empty or has no slots.
    BufferItem *Get();

    uint32_t Capacity() const { return m_capacity; }
    // Items held (put index - get index).
    int32_t Count() const;

private:
    alignas(64) std::atomic<uint32_t> m_put{0};
    alignas(64) std::atomic<uint32_t> m_get{0};
    alignas(64) uint32_t m_capacity = 0;
    std::unique_ptr<std::atomic<BufferItem *>[]> m_slots;
};

// Items of one socket: a heap that can give all of them back at once, and a free
// list that keeps up to `hold` items for reuse so that steady sending allocates nothing.
class ItemPool {
public:
    ItemPool();
    ~ItemPool();
    ItemPool(const ItemPool &) = delete;
    ItemPool &operator=(const ItemPool &) = delete;

    // Called at every start: new items get `itemCapacity` bytes, and the free list
    // is rebuilt with `hold` empty slots. The pool must hold no items.
    void Configure(int32_t itemCapacity, int32_t poolSize, int32_t hold);
    // A reset item from the free list, else a new one; null when allocation fails.
    BufferItem *Get();
    // Back to the free list, or to the heap when the list is full.
    void Put(BufferItem *item);
    // Straight to the heap.
    void Free(BufferItem *item);
    // Frees every item of the free list, drops the slots and replaces the heap, so
    // that all memory of the socket's items is returned.
    void Release();

    int32_t ItemCapacity() const { return m_itemCapacity; }
    int32_t PoolSize() const { return m_poolSize; }
    int32_t Hold() const { return m_hold; }
    const FreeList &Free() const { return m_free; }
    // Items allocated from the current heap and not yet freed to it.
    int32_t LiveItems() const { return m_live.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<std::pmr::synchronized_pool_resource> m_heap;
    int32_t m_itemCapacity;
    int32_t m_poolSize = 300;
    int32_t m_hold = 1200;
    FreeList m_free;
    std::atomic<int32_t> m_live{0};
};

// First-in first-out list of items through their next/prev links. Changed only
// under the owning socket's queue lock; Count may be read without it.
class SendQueue {
public:
    SendQueue() = default;
    SendQueue(const SendQueue &) = delete;
    SendQueue &operator=(const SendQueue &) = delete;

    void PushBack(BufferItem *item);
    void PushFront(BufferItem *item);
    // Null when empty.
    BufferItem *PopFront();
    // Frees every item straight to the pool's heap.
    void Clear(ItemPool &pool);
    uint32_t Count() const { return m_count.load(std::memory_order_relaxed); }

private:
    BufferItem *m_first = nullptr;
    BufferItem *m_last = nullptr;
    std::atomic<uint32_t> m_count{0};
};
