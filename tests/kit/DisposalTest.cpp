#include "kit/Disposal.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Holds the thread that destroys a gated value until the test opens it.
struct Gate {
    std::promise<void> reached;
    std::promise<void> open;
};

// Who destroyed what, in which order.
struct Journal {
    std::mutex lock;
    std::vector<std::pair<int, std::thread::id>> destroyed;
};

struct Tracked {
    Journal *journal;
    int id;
    Gate *gate;

    Tracked(Journal *j, int i, Gate *g = nullptr) : journal(j), id(i), gate(g) {}
    Tracked(Tracked &&o) noexcept : journal(o.journal), id(o.id), gate(o.gate) { o.journal = nullptr; }
    ~Tracked()
    {
        if (!journal)
            return; // moved from
        if (gate) {
            gate->reached.set_value();
            gate->open.get_future().wait();
        }
        std::lock_guard<std::mutex> guard(journal->lock);
        journal->destroyed.emplace_back(id, std::this_thread::get_id());
    }
};

TEST(Disposal, DestroysOnOneWorkerInOrderAndBeyondTheBoundOnTheCaller)
{
    Journal journal;
    Gate gate;
    const auto caller = std::this_thread::get_id();
    const int bound = static_cast<int>(Vant::Disposal::kMaxPendingDisposals);
    {
        Vant::Disposal disposal;
        disposal.Dispose(Tracked(&journal, 0));
        disposal.Wait();
        ASSERT_EQ(journal.destroyed.size(), 1u) << "Wait returns once it is gone";
        EXPECT_NE(journal.destroyed[0].second, caller);

        disposal.Dispose(Tracked(&journal, 1, &gate));
        gate.reached.get_future().wait(); // the worker is held in value 1
        for (int id = 2; id < 2 + bound; ++id)
            disposal.Dispose(Tracked(&journal, id)); // these wait
        disposal.Dispose(Tracked(&journal, 99));     // one too many
        {
            std::lock_guard<std::mutex> guard(journal.lock);
            ASSERT_EQ(journal.destroyed.size(), 2u);
            EXPECT_EQ(journal.destroyed[1].first, 99);
            EXPECT_EQ(journal.destroyed[1].second, caller);
        }
        gate.open.set_value();
        // The destructor finishes what waits.
    }
    ASSERT_EQ(journal.destroyed.size(), 3u + bound) << "nothing lost";
    for (int id = 1; id < 2 + bound; ++id) {
        EXPECT_EQ(journal.destroyed[id + 1].first, id) << "in the order handed over";
        EXPECT_EQ(journal.destroyed[id + 1].second, journal.destroyed[0].second) << "on the one worker";
    }
}

} // namespace
