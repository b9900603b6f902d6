#include "kit/Disposal.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// What the tests hand over: records on which thread, and in which order, it was
// destroyed; a gated one holds its destroying thread until the gate opens.
struct Journal {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<int, std::thread::id>> destroyed;
    bool gateOpen = true;
    bool gateReached = false;

    void Open()
    {
        std::lock_guard<std::mutex> guard(lock);
        gateOpen = true;
        changed.notify_all();
    }
    void WaitReached()
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [this] { return gateReached; });
    }
};

class Tracked {
public:
    Tracked(Journal *journal, int id, bool gated = false) : m_journal(journal), m_id(id), m_gated(gated) {}
    Tracked(Tracked &&other) noexcept : m_journal(other.m_journal), m_id(other.m_id), m_gated(other.m_gated)
    {
        other.m_journal = nullptr;
    }
    Tracked(const Tracked &) = delete;
    ~Tracked()
    {
        if (!m_journal)
            return; // moved from
        std::unique_lock<std::mutex> guard(m_journal->lock);
        if (m_gated) {
            m_journal->gateReached = true;
            m_journal->changed.notify_all();
            m_journal->changed.wait(guard, [this] { return m_journal->gateOpen; });
        }
        m_journal->destroyed.emplace_back(m_id, std::this_thread::get_id());
    }

private:
    Journal *m_journal;
    int m_id;
    bool m_gated;
};

TEST(Disposal, DestroysOnItsWorkerInOrderAndWaitSeesItDone)
{
    Journal journal;
    Vant::Disposal disposal;
    disposal.Dispose(Tracked(&journal, 0));
    disposal.Wait();
    disposal.Dispose(Tracked(&journal, 1));
    disposal.Wait();
    std::lock_guard<std::mutex> guard(journal.lock);
    ASSERT_EQ(journal.destroyed.size(), 2u);
    EXPECT_EQ(journal.destroyed[0].first, 0);
    EXPECT_EQ(journal.destroyed[1].first, 1);
    EXPECT_NE(journal.destroyed[0].second, std::this_thread::get_id());
    EXPECT_EQ(journal.destroyed[0].second, journal.destroyed[1].second) << "one worker";
}

TEST(Disposal, BeyondTheBoundTheCallerDestroysAndNothingIsLost)
{
    Journal journal;
    journal.gateOpen = false;
    {
        Vant::Disposal disposal;
        disposal.Dispose(Tracked(&journal, 0, true));
        journal.WaitReached(); // the worker is stuck in value 0
        for (int id = 1; id <= static_cast<int>(Vant::Disposal::kMaxPendingDisposals); ++id)
            disposal.Dispose(Tracked(&journal, id)); // these wait
        disposal.Dispose(Tracked(&journal, 99));     // one too many: gone at once, here
        {
            std::lock_guard<std::mutex> guard(journal.lock);
            ASSERT_EQ(journal.destroyed.size(), 1u);
            EXPECT_EQ(journal.destroyed[0].first, 99);
            EXPECT_EQ(journal.destroyed[0].second, std::this_thread::get_id());
        }
        journal.Open();
        // The destructor finishes what waits.
    }
    std::lock_guard<std::mutex> guard(journal.lock);
    EXPECT_EQ(journal.destroyed.size(), Vant::Disposal::kMaxPendingDisposals + 2);
    EXPECT_EQ(journal.destroyed.back().first, static_cast<int>(Vant::Disposal::kMaxPendingDisposals));
}

} // namespace
