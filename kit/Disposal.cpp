#include "kit/Disposal.h"

#include <system_error>

namespace Vant {

Disposal::~Disposal()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    // The worker destroys what still waits before it ends.
    if (m_worker.joinable())
        m_worker.join();
}

void Disposal::Post(std::unique_ptr<Held> held)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_worker.joinable() && !m_noWorker) {
            try {
                m_worker = std::thread(&Disposal::Run, this);
            } catch (const std::system_error &) {
                m_noWorker = true;
            }
        }
        if (!m_noWorker && m_pending.size() < kMaxPendingDisposals) {
            m_pending.push_back(std::move(held));
            held = nullptr;
        }
    }
    if (held) {
        held.reset(); // on the caller: no worker, or it is too far behind
        return;
    }
    m_wake.notify_one();
}

void Disposal::Wait()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_done.wait(guard, [this] { return m_pending.empty() && !m_busy; });
}

void Disposal::Run()
{
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_wake.wait(guard, [this] { return m_stop || !m_pending.empty(); });
        if (m_pending.empty())
            return; // stopped, and nothing left
        std::unique_ptr<Held> held = std::move(m_pending.front());
        m_pending.pop_front();
        m_busy = true;
        guard.unlock();
        held.reset();
        guard.lock();
        m_busy = false;
        if (m_pending.empty())
            m_done.notify_all();
    }
}

} // namespace Vant
