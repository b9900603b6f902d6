#include "kit/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "KitTestUtil.h"

using kittest::WaitFor;
using namespace std::chrono_literals;

namespace {

// Counts the hooks and remembers on which thread they ran.
class CountingWorker : public Vant::CThread {
public:
    explicit CountingWorker(bool startSuspended) : CThread(startSuspended) {}
    ~CountingWorker() override { Terminate(); }

    void OnBegin() override
    {
        beginThread = std::this_thread::get_id();
        ++begins;
    }
    void OnEnd() override
    {
        endThread = std::this_thread::get_id();
        runsAtEnd = runs.load();
        ++ends;
    }
    void OnRun() override
    {
        runThread = std::this_thread::get_id();
        ++runs;
    }

    std::atomic<int> begins{0}, runs{0}, ends{0}, runsAtEnd{-1};
    std::thread::id beginThread, runThread, endThread;
};

TEST(Thread, SuspendedWorkerRunsNoHookUntilResumeThenLoopsAndEndsOnce)
{
    CountingWorker w(true);
    ASSERT_TRUE(w.Start());
    EXPECT_FALSE(w.Start()) << "a worker is started once";
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(w.begins, 0);
    EXPECT_EQ(w.runs, 0);
    EXPECT_TRUE(w.IsSuspended());

    w.Resume();
    ASSERT_TRUE(WaitFor([&] { return w.runs >= 3; }));
    EXPECT_EQ(w.begins, 1);
    EXPECT_FALSE(w.HasExited());

    w.RequestStop(true);
    EXPECT_TRUE(w.IsStopRequested());
    ASSERT_TRUE(WaitFor([&] { return w.HasExited(); }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(w.ends, 1);
    EXPECT_EQ(w.runsAtEnd, w.runs) << "OnEnd comes after the last OnRun";
    EXPECT_NE(w.beginThread, std::this_thread::get_id());
    EXPECT_EQ(w.beginThread, w.runThread);
    EXPECT_EQ(w.beginThread, w.endThread);

    w.Terminate(); // after the exit: joins, no second OnEnd
    EXPECT_EQ(w.ends, 1);
}

// A derived object whose constructor does real work after the base is built: the
// worker must see every member initialised. ThreadSanitizer reports a race if the
// worker could reach the hooks before construction ends.
class SlowlyBuiltWorker : public Vant::CThread {
public:
    SlowlyBuiltWorker() : CThread(false)
    {
        std::this_thread::sleep_for(20ms);
        for (int i = 0; i < 64; ++i)
            table[i] = i * 3;
        ready = 42;
    }
    ~SlowlyBuiltWorker() override { Terminate(); }
    void OnBegin() override { seenAtBegin = ready; }
    void OnRun() override
    {
        int sum = 0;
        for (int v : table)
            sum += v;
        lastSum = sum;
    }
    int table[64] = {};
    int ready = 0;
    std::atomic<int> seenAtBegin{-1};
    std::atomic<int> lastSum{-1};
};

TEST(Thread, HooksSeeTheCompleteObjectAndWaitForStart)
{
    for (int round = 0; round < 3; ++round) {
        SlowlyBuiltWorker w;
        std::this_thread::sleep_for(10ms);
        EXPECT_EQ(w.seenAtBegin, -1) << "the constructor starts no thread";
        EXPECT_FALSE(w.IsStarted());
        ASSERT_TRUE(w.Start());
        ASSERT_TRUE(WaitFor([&] { return w.lastSum >= 0; }));
        EXPECT_EQ(w.seenAtBegin, 42);
        EXPECT_EQ(w.lastSum, 3 * 63 * 64 / 2);
    }
}

class ThrowingWorker : public Vant::CThread {
public:
    enum Where { kRun, kBegin, kEnd };
    explicit ThrowingWorker(Where where) : CThread(false), m_where(where) {}
    ~ThrowingWorker() override { Terminate(); }
    void OnBegin() override
    {
        if (m_where == kBegin)
            throw std::runtime_error("begin");
    }
    void OnRun() override
    {
        ++runs;
        if (m_where == kRun)
            throw std::runtime_error("run");
    }
    void OnEnd() override
    {
        ++ends;
        if (m_where == kEnd)
            throw 7;
    }
    std::atomic<int> runs{0}, ends{0};

private:
    Where m_where;
};

TEST(Thread, ThrowingWorkHookKeepsBeingCalledAboutEveryInterval)
{
    ThrowingWorker w(ThrowingWorker::kRun);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitFor([&] { return w.runs >= 5; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5 * 10ms) << "paced by the 10 ms interval";
    EXPECT_FALSE(w.HasExited());
    w.RequestStop(true);
    ASSERT_TRUE(WaitFor([&] { return w.HasExited(); }));
    EXPECT_EQ(w.ends, 1);
}

TEST(Thread, ThrowingBeginOrEndHookEndsTheWorkerAndSetsExited)
{
    ThrowingWorker begin(ThrowingWorker::kBegin);
    ASSERT_TRUE(begin.Start());
    ASSERT_TRUE(WaitFor([&] { return begin.HasExited(); }));
    EXPECT_EQ(begin.runs, 0);
    EXPECT_EQ(begin.ends, 0);

    ThrowingWorker end(ThrowingWorker::kEnd);
    ASSERT_TRUE(end.Start());
    ASSERT_TRUE(WaitFor([&] { return end.runs >= 1; }));
    end.RequestStop(true);
    ASSERT_TRUE(WaitFor([&] { return end.HasExited(); }));
    EXPECT_EQ(end.ends, 1);
}

// Parks itself at the end of every step, like the log deleter.
class ParkingWorker : public Vant::CThread {
public:
    ParkingWorker() : CThread(true) {}
    ~ParkingWorker() override { Terminate(); }
    void OnRun() override
    {
        ++runs;
        while (holdInRun.load())
            std::this_thread::yield();
        Suspend();
    }
    void OnEnd() override { ++ends; }
    std::atomic<int> runs{0}, ends{0};
    std::atomic<bool> holdInRun{false};
};

TEST(Thread, ParkedWorkerRunsExactlyOneStepPerResume)
{
    ParkingWorker w;
    ASSERT_TRUE(w.Start());
    constexpr int kResumes = 100;
    for (int i = 0; i < kResumes; ++i) {
        // Resume as soon as the flag is set: this often lands between the worker
        // setting suspended and actually waiting, a wake that must not be lost.
        ASSERT_TRUE(WaitFor([&] { return w.IsSuspended(); })) << "resume " << i;
        ASSERT_EQ(w.runs, i);
        w.Resume();
        ASSERT_TRUE(WaitFor([&] { return w.runs == i + 1; })) << "resume " << i << " was lost";
    }
    ASSERT_TRUE(WaitFor([&] { return w.IsSuspended(); }));
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(w.runs, kResumes);
}

TEST(Thread, ResumeOfARunningWorkerDoesNothing)
{
    ParkingWorker w;
    w.holdInRun = true;
    ASSERT_TRUE(w.Start());
    w.Resume();
    ASSERT_TRUE(WaitFor([&] { return w.runs == 1; }));
    EXPECT_FALSE(w.IsSuspended());
    w.Resume(); // during the step: not remembered
    w.Resume();
    w.holdInRun = false;
    ASSERT_TRUE(WaitFor([&] { return w.IsSuspended(); }));
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(w.runs, 1) << "a wake during a step gives no second step";
    EXPECT_TRUE(w.IsSuspended());
}

TEST(Thread, TerminateOrAStopRequestEndsAWorkerParkedByItself)
{
    ParkingWorker terminated, stopped;
    for (ParkingWorker *w : {&terminated, &stopped}) {
        ASSERT_TRUE(w->Start());
        w->Resume();
        ASSERT_TRUE(WaitFor([&] { return w->runs == 1 && w->IsSuspended(); }));
    }
    terminated.Terminate();
    EXPECT_TRUE(terminated.HasExited());
    // The owner's usual way: request, then poll HasExited.
    stopped.RequestStop(true);
    ASSERT_TRUE(WaitFor([&] { return stopped.HasExited(); }));
    for (ParkingWorker *w : {&terminated, &stopped}) {
        w->Terminate(); // again: no second end hook
        EXPECT_EQ(w->ends, 1);
        EXPECT_EQ(w->runs, 1) << "the stop is seen before another step";
    }
}

TEST(Thread, WorkerThatNeverBeganEndsWithoutHooks)
{
    CountingWorker parked(true);
    ASSERT_TRUE(parked.Start());
    std::this_thread::sleep_for(20ms);
    parked.Terminate();
    EXPECT_TRUE(parked.HasExited());
    EXPECT_EQ(parked.begins, 0);
    EXPECT_EQ(parked.ends, 0);

    CountingWorker neverStarted(false);
    EXPECT_FALSE(neverStarted.HasExited());
    neverStarted.Terminate();
    EXPECT_TRUE(neverStarted.HasExited()) << "an owner polling HasExited must not wait for ever";
    EXPECT_FALSE(neverStarted.Start());
    EXPECT_EQ(neverStarted.begins + neverStarted.ends, 0);
}

// Destroying the base alone (no Terminate in the derived destructor) after the
// worker has exited: the destructor joins a finished thread.
class PlainWorker : public Vant::CThread {
public:
    PlainWorker() : CThread(false) {}
    void OnRun() override { ++runs; }
    std::atomic<int> runs{0};
};

TEST(Thread, OwnerStopsByPollingThenDestroys)
{
    for (int i = 0; i < 5; ++i) {
        auto *w = new PlainWorker;
        ASSERT_TRUE(w->Start());
        ASSERT_TRUE(WaitFor([&] { return w->runs >= 1; }));
        if (!w->IsStopRequested())
            w->RequestStop(true);
        while (!w->HasExited())
            std::this_thread::sleep_for(10ms);
        delete w;
    }
}

} // namespace
