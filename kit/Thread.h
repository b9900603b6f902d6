#pragma once
// Vant::CThread: the base of every worker of the tool. One object owns one worker
// thread that runs OnBegin, then OnRun every Interval() milliseconds until a stop is
// requested, then OnEnd.
//
// The worker is never started by the constructor: a thread started there could call
// the hooks while the derived parts of the object are still being built. Whoever
// constructs the most-derived object calls Start() once it is complete:
//
//     auto *worker = new MyWorker(...);   // fully constructed, no thread yet
//     worker->Start();                    // the worker begins (or parks, see below)
//
// A worker constructed with startSuspended = true parks before OnBegin until
// Resume(); one constructed with false begins at once when started.
//
// Stopping: RequestStop(true), then poll HasExited() (every 10 ms) and destroy the
// object once it answers true; or Terminate(), which requests the stop, wakes a
// parked worker and joins it. OnEnd runs exactly once, on the worker thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Vant {

class CThread {
public:
    explicit CThread(bool startSuspended);
    // Requests the stop, wakes a parked worker and joins it (unless called on the
    // worker itself, which detaches). Owners stop the worker before destroying the
    // object: by then the derived parts are gone, and a worker still running their
    // hooks would touch destroyed members.
    virtual ~CThread();
    // Hooks, called on the worker thread. An exception from OnRun is swallowed and
    // the loop goes on; one from OnBegin or OnEnd ends the worker.
    virtual void OnBegin();
    virtual void OnEnd();
    virtual void OnRun() = 0;

    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    // Creates the worker thread. Call once, after the most-derived constructor has
    // finished. False when the thread could not be created (errno holds the reason)
    // or when it was started before; a worker that could not be created counts as
    // exited, so that an owner polling HasExited() does not wait for ever.
    bool Start();
    // Lets a parked worker run. Does nothing when the worker is not suspended.
    void Resume();
    // Parks the calling worker until another thread calls Resume() or requests a stop.
    // Only for the worker itself, inside OnRun.
    void Suspend();
    // Sets the stop flag; a true request also wakes a parked worker so that it sees it.
    void RequestStop(bool on);
    bool IsStopRequested() const { return m_stopRequested.load(std::memory_order_acquire); }
    bool HasExited() const { return m_exited.load(std::memory_order_acquire); }
    bool IsSuspended() const;
    bool IsStarted() const;
    // Requests the stop, wakes the worker and waits until it has ended. OnEnd runs on
    // the worker (once) if OnBegin ran; a worker that never began ends without hooks.
    // A worker that is busy finishes its current OnRun first.
    void Terminate();

    int32_t Interval() const { return m_interval; }

private:
    void ThreadProc();
    // Parks while suspended; true when the wait ended because of a stop request.
    bool WaitWhileSuspended();

    std::thread m_thread;
    bool m_suspended; // guarded by m_lock
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_exited{false};
    const int32_t m_interval = 10;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_started = false; // guarded by m_lock
};

} // namespace Vant
