#pragma once
// A spin lock for the short state decisions of Start and Stop. It never enters the
// kernel for short waits: it retries, then pauses the processor, then yields, and
// sleeps 1 ms only once per 4096 failed tries.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

class StateLock {
public:
    void Lock()
    {
        for (uint32_t tries = 0;; ++tries) {
            uint32_t expected = 0;
            if (m_word.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
                return;
            Backoff(tries % 4096);
        }
    }
    void Unlock() { m_word.store(0, std::memory_order_release); }
    bool IsHeld() const { return m_word.load(std::memory_order_relaxed) != 0; }

private:
    static void Backoff(uint32_t step)
    {
        if (step < 4)
            return;
        if (step < 32) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            return;
        }
        if (step < 4095) {
            std::this_thread::yield();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::atomic<uint32_t> m_word{0}; // 0 free, 1 held
};

class StateLockGuard {
public:
    explicit StateLockGuard(StateLock &lock) : m_lock(lock) { m_lock.Lock(); }
    ~StateLockGuard() { m_lock.Unlock(); }
    StateLockGuard(const StateLockGuard &) = delete;
    StateLockGuard &operator=(const StateLockGuard &) = delete;

private:
    StateLock &m_lock;
};
