// Buffer items, the lock-free free list, the item pool, the send queue and the
// drain of the outbox, without sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "transport/BufferPool.h"
#include "transport/Outbox.h"

namespace {

std::string DataOf(const BufferItem *item)
{
    return std::string(reinterpret_cast<const char *>(item->Data()), static_cast<size_t>(item->Size()));
}

const uint8_t *Bytes(const char *text) { return reinterpret_cast<const uint8_t *>(text); }

bool Active() { return true; }

} // namespace

TEST(BufferItem, AppendStopsAtCapacity)
{
    std::pmr::synchronized_pool_resource heap;
    BufferItem *item = BufferItem::Create(heap, 8);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->owner, &heap);
    EXPECT_EQ(item->Append(Bytes("abcde"), 5), 5);
    EXPECT_EQ(item->Append(Bytes("fghij"), 5), 3);
    EXPECT_EQ(DataOf(item), "abcdefgh");
    EXPECT_EQ(item->Append(Bytes("x"), 1), 0);
    item->Reset();
    EXPECT_EQ(item->Size(), 0);
    EXPECT_EQ(item->Append(Bytes("xy"), -3), 0);
    BufferItem::Destroy(item);
}

TEST(FreeList, IndicesLieOnSeparateCacheLines)
{
    // put index, get index and the rest each start a cache line of their own.
    EXPECT_GE(alignof(FreeList), 64u);
    EXPECT_GE(sizeof(FreeList), 3 * 64u);
}

TEST(FreeList, BoundedFifoWithoutSlots)
{
    FreeList list;
    BufferItem dummy[3]{};
    EXPECT_FALSE(list.Put(&dummy[0])); // no slots yet
    EXPECT_EQ(list.Get(), nullptr);

    list.Rebuild(2);
    EXPECT_EQ(list.Capacity(), 2u);
    EXPECT_TRUE(list.Put(&dummy[0]));
    EXPECT_TRUE(list.Put(&dummy[1]));
    EXPECT_FALSE(list.Put(&dummy[2])); // full
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Get(), &dummy[0]);
    EXPECT_TRUE(list.Put(&dummy[2])); // wraps around the ring
    EXPECT_EQ(list.Get(), &dummy[1]);
    EXPECT_EQ(list.Get(), &dummy[2]);
    EXPECT_EQ(list.Get(), nullptr);
    EXPECT_EQ(list.Count(), 0);

    list.Rebuild(0);
    EXPECT_EQ(list.Capacity(), 0u);
    EXPECT_FALSE(list.Put(&dummy[0]));
}

// Several putters and getters pass a fixed set of items around; at the end every
// item is accounted for exactly once (none lost, none duplicated).
TEST(FreeList, ConcurrentPutAndGetLoseNothing)
{
    constexpr int kItems = 64;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    FreeList list;
    list.Rebuild(16);
    std::vector<BufferItem> items(kItems);
    // Items not in the list are owned by exactly one thread.
    std::vector<std::vector<BufferItem *>> owned(kThreads);
    for (int i = 0; i < kItems; ++i)
        owned[i % kThreads].push_back(&items[i]);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto &mine = owned[t];
            for (int r = 0; r < kRounds; ++r) {
                if (!mine.empty() && (r % 2 == 0 || mine.size() > 8)) {
                    if (list.Put(mine.back()))
                        mine.pop_back();
                } else if (BufferItem *item = list.Get()) {
                    mine.push_back(item);
                }
            }
        });
    }
    for (auto &t : threads)
        t.join();

    std::multiset<BufferItem *> all;
    for (auto &mine : owned)
        all.insert(mine.begin(), mine.end());
    while (BufferItem *item = list.Get())
        all.insert(item);
    ASSERT_EQ(all.size(), static_cast<size_t>(kItems));
    for (auto &item : items)
        EXPECT_EQ(all.count(&item), 1u);
}

TEST(ItemPool, ReusesUpToHoldAndReleasesEverything)
{
    ItemPool pool;
    EXPECT_EQ(pool.PoolSize(), 300);
    EXPECT_EQ(pool.Hold(), 1200);
    EXPECT_EQ(pool.Free().Capacity(), 0u); // no slots until configured

    pool.Configure(1472, 10, 2);
    EXPECT_EQ(pool.ItemCapacity(), 1472);
    EXPECT_EQ(pool.Free().Capacity(), 2u);
    BufferItem *a = pool.Get();
    BufferItem *b = pool.Get();
    BufferItem *c = pool.Get();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->capacity, 1472);
    EXPECT_EQ(pool.LiveItems(), 3);
    a->Append(Bytes("old"), 3);
    pool.Put(a);
    pool.Put(b);
    pool.Put(c); // the free list is full: back to the heap
    EXPECT_EQ(pool.Free().Count(), 2);
    EXPECT_EQ(pool.LiveItems(), 2);

    BufferItem *again = pool.Get();
    EXPECT_EQ(again, a); // reused, and reset
    EXPECT_EQ(again->Size(), 0);
    EXPECT_EQ(pool.LiveItems(), 2);
    pool.Put(again);

    pool.Release();
    EXPECT_EQ(pool.Free().Capacity(), 0u);
    EXPECT_EQ(pool.LiveItems(), 0);
    // Without slots every item comes from and goes back to the heap.
    BufferItem *d = pool.Get();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(pool.LiveItems(), 1);
    pool.Put(d);
    EXPECT_EQ(pool.LiveItems(), 0);
}

TEST(SendQueue, FifoWithPushBackAtTheFront)
{
    ItemPool pool;
    pool.Configure(16, 0, 0);
    SendQueue queue;
    EXPECT_EQ(queue.PopFront(), nullptr);
    const char *texts[] = {"one", "two", "three"};
    for (const char *t : texts) {
        BufferItem *item = pool.Get();
        item->Append(Bytes(t), static_cast<int32_t>(strlen(t)));
        queue.PushBack(item);
    }
    EXPECT_EQ(queue.Count(), 3u);
    BufferItem *first = queue.PopFront();
    EXPECT_EQ(DataOf(first), "one");
    queue.PushFront(first);
    EXPECT_EQ(DataOf(queue.PopFront()), "one");
    EXPECT_EQ(DataOf(queue.PopFront()), "two");
    pool.Free(first);
    queue.Clear(pool);
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(queue.PopFront(), nullptr);
    EXPECT_EQ(pool.LiveItems(), 1); // "two" is still out
}

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> guard(outbox.Lock());
        outbox.ConfigureLocked(100, 10, 40);
    }
    int Queue(const std::string &text) { return outbox.Queue(maySend, Bytes(text.c_str()), static_cast<int32_t>(text.size())); }

    EventSignal sendSignal;
    Outbox outbox{sendSignal};
    std::atomic<bool> maySend{true};
};

TEST_F(OutboxTest, QueueingNeedsTheMaySendFlagAndSignalsOnce)
{
    maySend = false;
    EXPECT_EQ(Queue("x"), SysError::InvalidState);
    EXPECT_EQ(outbox.Pool().LiveItems(), 0); // nothing allocated
    EXPECT_FALSE(sendSignal.Consume());

    maySend = true;
    EXPECT_EQ(Queue(std::string(100, 'a')), 0);
    EXPECT_EQ(Queue(std::string(100, 'b')), 0);
    EXPECT_EQ(Queue(std::string(100, 'c')), 0);
    EXPECT_EQ(outbox.PendingBytes(), 300);
    EXPECT_TRUE(sendSignal.Consume());  // set on the first queueing
    EXPECT_FALSE(sendSignal.Consume()); // and only then
    EXPECT_EQ(Queue(std::string(101, 'd')), SysError::IncorrectSize); // never cut short
}

TEST_F(OutboxTest, WouldBlockKeepsTheOrder)
{
    for (const char *t : {"1", "2", "3"})
        ASSERT_EQ(Queue(t), 0);
    std::vector<std::string> wire, notified;
    bool blockNext = false;
    auto send = [&](const uint8_t *data, int32_t length) -> ssize_t {
        if (blockNext) {
            blockNext = false;
            errno = EAGAIN;
            return -1;
        }
        wire.emplace_back(reinterpret_cast<const char *>(data), static_cast<size_t>(length));
        blockNext = wire.size() == 1;
        return length;
    };
    auto sent = [&](const uint8_t *data, int32_t length) {
        notified.emplace_back(reinterpret_cast<const char *>(data), static_cast<size_t>(length));
        return true;
    };
    Outbox::DrainResult r = outbox.Drain(send, sent, Active);
    EXPECT_EQ(r.end, Outbox::DrainEnd::WouldBlock);
    EXPECT_EQ(wire, (std::vector<std::string>{"1"}));
    EXPECT_EQ(outbox.PendingBytes(), 2);
    ASSERT_EQ(Queue("4"), 0);
    r = outbox.Drain(send, sent, Active);
    EXPECT_EQ(r.end, Outbox::DrainEnd::Empty);
    EXPECT_EQ(wire, (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_EQ(notified, wire);
    EXPECT_EQ(outbox.PendingBytes(), 0);
    EXPECT_EQ(outbox.Pool().Free().Count(), 3); // every sent item went back to the free list
}

// A datagram the network layer drops (0 bytes sent) is no longer pending, so the
// next queueing raises the send signal again instead of waiting for ever.
TEST_F(OutboxTest, DroppedDatagramIsNoLongerPending)
{
    ASSERT_EQ(Queue("lost"), 0);
    ASSERT_TRUE(sendSignal.Consume());
    int notifications = 0;
    auto r = outbox.Drain([](const uint8_t *, int32_t) -> ssize_t { return 0; },
                          [&](const uint8_t *, int32_t) { return ++notifications, true; }, Active);
    EXPECT_EQ(r.end, Outbox::DrainEnd::Empty);
    EXPECT_EQ(notifications, 0);
    EXPECT_EQ(outbox.PendingBytes(), 0);
    ASSERT_EQ(Queue("next"), 0);
    EXPECT_TRUE(sendSignal.Consume());
}

TEST_F(OutboxTest, FailureAndAbandonStopTheDrain)
{
    ASSERT_EQ(Queue("a"), 0);
    ASSERT_EQ(Queue("b"), 0);
    auto r = outbox.Drain(
        [](const uint8_t *, int32_t) -> ssize_t {
            errno = ENETUNREACH;
            return -1;
        },
        [](const uint8_t *, int32_t) { return true; }, Active);
    EXPECT_EQ(r.end, Outbox::DrainEnd::Failed);
    EXPECT_EQ(r.error, ENETUNREACH);
    EXPECT_EQ(outbox.QueuedCount(), 1u);
    EXPECT_EQ(outbox.PendingBytes(), 2); // stays counted until the stop resets it

    int calls = 0;
    r = outbox.Drain([](const uint8_t *, int32_t length) -> ssize_t { return length; },
                     [&](const uint8_t *, int32_t) { return ++calls, false; }, Active);
    EXPECT_EQ(r.end, Outbox::DrainEnd::Abandoned);
    EXPECT_EQ(calls, 1);

    std::lock_guard<std::mutex> guard(outbox.Lock());
    outbox.ResetLocked();
    EXPECT_EQ(outbox.PendingBytes(), 0);
    EXPECT_EQ(outbox.Pool().LiveItems(), 0);
}

TEST_F(OutboxTest, GatherCopiesPositivePiecesInOrder)
{
    const GatherBuffer pieces[] = {{3, Bytes("abc")}, {0xFFFFFFFFu, Bytes("zzz")}, {0, nullptr}, {2, Bytes("de")}};
    ASSERT_EQ(outbox.QueueGather(maySend, pieces, 4, 5), 0);
    std::string wire;
    outbox.Drain(
        [&](const uint8_t *data, int32_t length) -> ssize_t {
            wire.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(length));
            return length;
        },
        [](const uint8_t *, int32_t) { return true; }, Active);
    EXPECT_EQ(wire, "abcde");
}

// A drain ends after a batch (re-arming the send signal, so nothing is left
// behind) and as soon as the socket is no longer active.
TEST_F(OutboxTest, DrainYieldsAfterABatchAndWhenStopping)
{
    {
        std::lock_guard<std::mutex> guard(outbox.Lock());
        outbox.ConfigureLocked(8, 0, 0);
    }
    for (int i = 0; i < Outbox::kDrainBatch + 10; ++i)
        ASSERT_EQ(Queue("x"), 0);
    ASSERT_TRUE(sendSignal.Consume());
    int wire = 0;
    auto send = [&](const uint8_t *, int32_t length) -> ssize_t { return ++wire, length; };
    auto sent = [](const uint8_t *, int32_t) { return true; };
    outbox.Drain(send, sent, Active);
    EXPECT_EQ(wire, Outbox::kDrainBatch);
    EXPECT_TRUE(sendSignal.Consume()); // the rest is picked up on the next wake
    bool active = true;
    outbox.Drain(send, sent, [&] {
        const bool was = active;
        active = wire < Outbox::kDrainBatch + 3;
        return was;
    });
    EXPECT_EQ(wire, Outbox::kDrainBatch + 4);
    EXPECT_EQ(outbox.QueuedCount(), 6u);
}
