#pragma once
// Vant::Disposal: lets a thread hand over large structures it no longer needs, and
// destroys them on a worker of its own.
//
// Destroying a full device table means freeing some half a million small blocks; on
// the UI thread that is a frozen window for a good part of a second on a slow machine.
// The window hands the rows and devices over here instead and goes on at once.
//
// Contract:
//  - Dispose(std::move(value)) takes the value and returns at once; values are
//    destroyed on the worker, one at a time, in the order they were handed over.
//  - Whatever is handed over must be safe to destroy on another thread: nothing in it
//    may still be reachable from the caller's thread, except through thread-safe
//    reference counts (implicitly shared Qt containers and strings qualify).
//  - At most kMaxPendingDisposals values wait. One handed over beyond that, or when
//    the worker cannot be started, is destroyed at once on the caller: the memory a
//    stalled worker can make the program hold stays bounded.
//  - The worker starts with the first value. Wait() returns once everything handed
//    over so far is destroyed. The destructor waits the same way and joins the worker.
//  - Any thread may call Dispose and Wait; the destructor must not run concurrently
//    with either.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

namespace Vant {

class Disposal {
public:
    // The values that may wait. The window hands over one value per refresh, holding
    // at most one full table; the worker destroys it within a fraction of a second,
    // while the table needs a whole search round to fill again. More than two waiting
    // means the worker is starved of CPU, and holding more would let a busy machine
    // keep several tables' worth of memory alive for nothing.
    static constexpr std::size_t kMaxPendingDisposals = 2;

    Disposal() = default;
    ~Disposal();
    Disposal(const Disposal &) = delete;
    Disposal &operator=(const Disposal &) = delete;

    // Takes value over (an rvalue: a copy would leave the caller freeing the original).
    template <typename T, typename = std::enable_if_t<!std::is_lvalue_reference<T>::value>>
    void Dispose(T &&value)
    {
        Post(std::make_unique<Owned<std::decay_t<T>>>(std::move(value)));
    }

    // Returns once every value handed over before the call has been destroyed.
    void Wait();

private:
    struct Held {
        virtual ~Held() = default;
    };
    template <typename T>
    struct Owned final : Held {
        explicit Owned(T &&v) : value(std::move(v)) {}
        T value;
    };

    void Post(std::unique_ptr<Held> held);
    void Run();

    std::mutex m_lock;
    std::condition_variable m_wake; // the worker: a value waits, or the stop
    std::condition_variable m_done; // Wait(): the worker has nothing left
    std::deque<std::unique_ptr<Held>> m_pending;
    bool m_busy = false;     // the worker is destroying a value
    bool m_stop = false;
    bool m_noWorker = false; // starting the worker failed: the caller destroys
    std::thread m_worker;
};

} // namespace Vant
