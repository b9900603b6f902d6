#pragma once
// The start/stop bookkeeping both sockets share: the state with its spin lock, the
// last error, the worker thread, and the section that keeps a Start and a Stop of
// the same socket from interleaving.
//
// Start and Stop decide under the state lock (a short spin). The rest of a Start,
// and steps 3 to 8 of the deciding Stop, run inside a recursive "lifecycle" section:
// a Stop called from another thread while Start is still setting up waits for Start
// to finish, a Stop from inside a notification of that Start (same thread) goes
// straight through, and a worker that fails right after it was launched does not
// race with Start storing its thread. No socket lock of the queue or the state is
// held while a notification runs.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "transport/LinuxEventWait.h"
#include "transport/SocketTypes.h"
#include "transport/StateLock.h"

class SocketLifecycle {
public:
    SocketLifecycle() = default;
    ~SocketLifecycle();
    SocketLifecycle(const SocketLifecycle &) = delete;
    SocketLifecycle &operator=(const SocketLifecycle &) = delete;

    SocketState State() const { return m_state.load(std::memory_order_acquire); }
    void SetState(SocketState state) { m_state.store(state, std::memory_order_release); }
    bool CompareAndSetState(SocketState &expected, SocketState desired)
    {
        return m_state.compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
    }
    bool IsActive() const
    {
        const SocketState state = State();
        return state == SocketState::Starting || state == SocketState::Started;
    }
    SocketError LastError() const { return m_lastError.load(std::memory_order_relaxed); }
    void SetLastError(SocketError error) { m_lastError.store(error, std::memory_order_relaxed); }

    // Start's state test: false with IllegalState and EPERM unless the socket is
    // Stopped; otherwise the lifecycle section is entered and the state becomes
    // Starting (leave the section with EndStart).
    bool BeginStart();
    void EndStart();

    // Stop's decision. True when this caller stops the socket: the state is then
    // Stopping and the lifecycle section is entered (leave it with EndStop, after
    // the state became Stopped). False with IllegalState and EPERM when the socket
    // is Stopped or another Stop is under way; a caller other than the worker and
    // the stopping thread itself then first waits, polling every 30 ms, until the
    // other Stop has finished (unless `noWait`, used by a failing Start).
    bool BeginStop(bool noWait);
    void EndStop();

    // Launches the worker; returns 0 or the error of the thread creation.
    int LaunchWorker(std::function<void()> body);
    // Stop step 3: unless called on the worker itself, sets the stop signal and
    // waits for the worker to end. A worker that stops its own socket keeps running
    // until its loop returns; it is joined later (next launch or destruction).
    void EndWorker(EventSignal &stopSignal);
    // True on the thread that is the socket's current worker.
    bool OnWorker() const { return m_workerId.load(std::memory_order_acquire) == std::this_thread::get_id(); }
    // Joins a worker that stopped its own socket (no-op when called on it).
    void JoinFinishedWorker();

private:
    std::atomic<SocketState> m_state{SocketState::Stopped};
    std::atomic<SocketError> m_lastError{SocketError::Ok};
    StateLock m_stateLock;
    std::recursive_mutex m_section;
    std::thread m_worker;
    std::atomic<std::thread::id> m_workerId{};
    std::thread m_finishedWorker;
    std::atomic<std::thread::id> m_stoppingThread{};
};
