#include "kit/Thread.h"

#include <cerrno>
#include <chrono>
#include <system_error>

namespace Vant {

CThread::CThread(bool startSuspended) : m_suspended(startSuspended) {}

CThread::~CThread()
{
    RequestStop(true);
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

void CThread::OnBegin() {}

void CThread::OnEnd() {}

bool CThread::Start()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_started)
        return false;
    m_started = true;
    try {
        m_thread = std::thread(&CThread::ThreadProc, this);
    } catch (const std::system_error &e) {
        // The worker will never run: report it as exited so that owners stop waiting.
        m_exited.store(true, std::memory_order_release);
        errno = e.code().value();
        return false;
    }
    return true;
}

void CThread::Resume()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_suspended)
            return;
        m_suspended = false;
    }
    m_wake.notify_all();
}

void CThread::Suspend()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_suspended = true;
    m_wake.wait(lock, [this] { return !m_suspended || IsStopRequested(); });
    m_suspended = false;
}

bool CThread::WaitWhileSuspended()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_wake.wait(lock, [this] { return !m_suspended || IsStopRequested(); });
    m_suspended = false;
    return IsStopRequested();
}

void CThread::RequestStop(bool on)
{
    {
        // Written under the lock so that a worker about to park cannot miss it.
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopRequested.store(on, std::memory_order_release);
    }
    if (on)
        m_wake.notify_all();
}

bool CThread::IsSuspended() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_suspended;
}

bool CThread::IsStarted() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_started;
}

void CThread::Terminate()
{
    RequestStop(true);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_started) {
            // Never started: it never will, and it ran no hook to end.
            m_started = true;
            m_exited.store(true, std::memory_order_release);
            return;
        }
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void CThread::ThreadProc()
{
    // A worker created parked that is woken only to stop never begins.
    if (!WaitWhileSuspended()) {
        try {
            OnBegin();
            for (;;) {
                if (m_interval > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_interval));
                if (IsStopRequested()) {
                    OnEnd();
                    break;
                }
                try {
                    OnRun();
                } catch (...) {
                    // A failing step must not end the worker; the next step follows.
                }
            }
        } catch (...) {
            // An exception from OnBegin or OnEnd ends the worker.
        }
    }
    // The last touch of the object: the owner may destroy it once this is seen.
    m_exited.store(true, std::memory_order_release);
}

} // namespace Vant
