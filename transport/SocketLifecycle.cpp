#include "transport/SocketLifecycle.h"

#include <cerrno>
#include <chrono>
#include <system_error>

namespace {

void RefuseIllegalState(std::atomic<SocketError> &lastError)
{
    lastError.store(SocketError::IllegalState, std::memory_order_relaxed);
    errno = SysError::InvalidOperation;
}

} // namespace

SocketLifecycle::~SocketLifecycle()
{
    JoinFinishedWorker();
    // Only reachable when the socket is destroyed from inside one of its own
    // worker-side notifications; that thread can only be let go.
    if (m_finishedWorker.joinable())
        m_finishedWorker.detach();
    if (m_worker.joinable())
        m_worker.detach();
}

bool SocketLifecycle::BeginStart()
{
    // The section is entered before the state turns Starting, so that no Stop can
    // run its steps between the two (it would find a socket half set up). While
    // another thread holds the section a Start or a Stop is under way there: the
    // state is then not Stopped and this Start is refused, without waiting (the
    // holder may be a Stop waiting for this very thread, the worker). Only when a
    // Stop has already reached Stopped and is about to leave is it waited for.
    while (!m_section.try_lock()) {
        if (State() != SocketState::Stopped) {
            RefuseIllegalState(m_lastError);
            return false;
        }
        std::this_thread::yield();
    }
    {
        StateLockGuard guard(m_stateLock);
        if (State() == SocketState::Stopped) {
            SetState(SocketState::Starting);
            return true;
        }
    }
    m_section.unlock();
    RefuseIllegalState(m_lastError);
    return false;
}

void SocketLifecycle::EndStart() { m_section.unlock(); }

bool SocketLifecycle::BeginStop(bool noWait)
{
    if (State() == SocketState::Stopped) {
        RefuseIllegalState(m_lastError);
        return false;
    }
    bool decided = false;
    {
        StateLockGuard guard(m_stateLock);
        if (IsActive()) {
            SetState(SocketState::Stopping);
            decided = true;
        }
    }
    if (decided) {
        m_section.lock();
        m_stoppingThread.store(std::this_thread::get_id(), std::memory_order_release);
        return true;
    }
    // Another Stop is under way. The worker must not wait (the other Stop waits for
    // it), nor may the thread that runs that Stop (a listener calling Stop from
    // SocketClosed): it would wait for itself.
    const bool selfWait = OnWorker() || m_stoppingThread.load(std::memory_order_acquire) == std::this_thread::get_id();
    if (!noWait && !selfWait) {
        while (State() != SocketState::Stopped)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    RefuseIllegalState(m_lastError);
    return false;
}

void SocketLifecycle::EndStop()
{
    m_stoppingThread.store(std::thread::id(), std::memory_order_release);
    m_section.unlock();
}

int SocketLifecycle::LaunchWorker(std::function<void()> body)
{
    JoinFinishedWorker();
    try {
        // The section is held by Start, so a worker that stops its socket at once
        // waits in BeginStop until Start has finished.
        m_worker = std::thread([this, body = std::move(body)] {
            // Until Start has stored this thread's id the worker cannot tell that it
            // is the socket's worker; the store follows the creation at once.
            while (!OnWorker())
                std::this_thread::yield();
            body();
        });
    } catch (const std::system_error &e) {
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
    } catch (...) {
        return EAGAIN;
    }
    m_workerId.store(m_worker.get_id(), std::memory_order_release);
    return 0;
}

void SocketLifecycle::EndWorker(EventSignal &stopSignal)
{
    if (m_worker.joinable()) {
        if (m_worker.get_id() != std::this_thread::get_id()) {
            stopSignal.Set();
            m_worker.join();
        } else {
            JoinFinishedWorker();
            if (m_finishedWorker.joinable())
                m_finishedWorker.detach(); // cannot happen: it would be this thread twice
            m_finishedWorker = std::move(m_worker);
        }
    }
    m_workerId.store(std::thread::id(), std::memory_order_release);
}

void SocketLifecycle::JoinFinishedWorker()
{
    if (m_finishedWorker.joinable() && m_finishedWorker.get_id() != std::this_thread::get_id())
        m_finishedWorker.join();
}
