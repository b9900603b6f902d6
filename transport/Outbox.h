#pragma once
// The send side shared by both sockets: queueing a datagram (Send, SendBuffers)
// and the worker's drain of the queue. Queue, pending byte count and every send call
// are serialised by the queue lock; the listener is notified outside it.
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "transport/BufferPool.h"
#include "transport/LinuxEventWait.h"
#include "transport/SocketTypes.h"

class Outbox {
public:
    explicit Outbox(EventSignal &sendSignal) : m_sendSignal(sendSignal) {}
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // Queues a copy of the bytes when `maySend` is set. Returns 0 or the errno value
    // of the failure (ENOTCONN when the socket may not send, ENOMEM without memory).
    int Queue(const std::atomic<bool> &maySend, const uint8_t *bytes, int32_t length);
    // Queues the concatenation of the pieces whose (signed) length is positive as one
    // datagram of `total` bytes, copied once, straight into the queued item.
    int QueueGather(const std::atomic<bool> &maySend, const GatherBuffer *pieces, int32_t count, int32_t total);

    enum class DrainEnd {
        Empty,      // everything sent
        WouldBlock, // the first datagram waits for the socket to become writable
        Failed,     // a send failed with `error`; the socket must stop
        Abandoned,  // the listener stopped the socket from DatagramSent
    };
    struct DrainResult {
        DrainEnd end;
        int error;
    };

    // Sends the queue in order. `send(data, length)` is called under the queue lock
    // and returns the bytes sent or -1 with errno; a result of 0 drops the datagram.
    // `sent(data, length)` notifies the listener outside the lock and returns false
    // when the socket was stopped meanwhile: its items are gone then, so nothing
    // more is touched. `active()` is asked before each datagram: once a Stop has
    // been decided the drain ends, so that senders that keep the queue full cannot
    // hold the worker (and the Stop waiting for it) for ever. After kDrainBatch
    // datagrams the drain raises the send signal itself and ends, letting the
    // worker look at its other events before it goes on.
    template <class SendFn, class SentFn, class ActiveFn>
    DrainResult Drain(SendFn &&send, SentFn &&sent, ActiveFn &&active);

    static constexpr int kDrainBatch = 256;

    // Under the queue lock: all queued items freed, the pool's memory returned,
    // nothing pending.
    void ResetLocked();
    // Under the queue lock: configures the pool for a new start.
    void ConfigureLocked(int32_t itemCapacity, int32_t poolSize, int32_t hold);

    std::mutex &Lock() const { return m_lock; }
    int32_t PendingBytes() const { return m_pending.load(std::memory_order_relaxed); }
    uint32_t QueuedCount() const { return m_queue.Count(); }
    const ItemPool &Pool() const { return m_pool; }

private:
    template <class Fill>
    int QueueItem(const std::atomic<bool> &maySend, int32_t length, Fill &&fill);
    // Under the lock: appends the item and raises the send signal when the queue
    // turns non-empty.
    void EnqueueLocked(BufferItem *item, int32_t length);

    EventSignal &m_sendSignal;
    mutable std::mutex m_lock;
    SendQueue m_queue;
    ItemPool m_pool;
    std::atomic<int32_t> m_pending{0};
};

template <class SendFn, class SentFn, class ActiveFn>
Outbox::DrainResult Outbox::Drain(SendFn &&send, SentFn &&sent, ActiveFn &&active)
{
    for (int count = 0;; ++count) {
        if (m_queue.Count() == 0 || !active())
            return {DrainEnd::Empty, 0};
        if (count == kDrainBatch) {
            m_sendSignal.Set(); // more to send: come back after the other events
            return {DrainEnd::Empty, 0};
        }
        BufferItem *item = nullptr;
        ssize_t n = 0;
        int error = 0;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            item = m_queue.PopFront();
            if (item == nullptr)
                return {DrainEnd::Empty, 0};
            n = send(item->Data(), item->Size());
            error = n < 0 ? errno : 0;
            if (n < 0 && SysError::IsWouldBlock(error)) {
                // The refused datagram stays first, so the order is kept.
                m_queue.PushFront(item);
                return {DrainEnd::WouldBlock, 0};
            }
            // A sent or dropped datagram is no longer pending; a failed one stays
            // counted until the stop resets the count.
            if (n >= 0)
                m_pending.store(m_pending.load(std::memory_order_relaxed) - item->Size(), std::memory_order_relaxed);
        }
        if (n < 0) {
            m_pool.Put(item);
            return {DrainEnd::Failed, error};
        }
        if (n > 0) {
            errno = 0;
            if (!sent(item->Data(), static_cast<int32_t>(n)))
                return {DrainEnd::Abandoned, 0};
        }
        m_pool.Put(item);
    }
}
