// The set-up interface works on the one logger of the process, so the cases here
// build on each other and run in declaration order (each also in its own process
// when CTest runs them).
#include "kit/Log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeClock.h"
#include "KitTestUtil.h"
#include "kit/DateTime.h"

namespace {

using kittest::FakeClock;
using kittest::ReadFile;
using kittest::TempDir;
using kittest::WaitFor;

// A fake clock at 2020-05-13 15:30:12, local time in Berlin (TZ is set for it).
std::shared_ptr<FakeClock> BerlinClockAt20200513()
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    auto clock = std::make_shared<FakeClock>();
    Vant::CDateTime day;
    day.SetDate(2020, 5, 13);
    clock->now = day.Time() + 15 * 3600 + 30 * 60 + 12;
    return clock;
}

TEST(LogSetup, EverythingBeforeLogInitDoesNothing)
{
    if (Vant::LogInstance())
        GTEST_SKIP() << "a logger exists already in this process";
    Vant::LogEnable(true);
    Vant::LogEnableDelete(true);
    Vant::LogEnableExitFlush(false);
    Vant::LogSetPrefix("X_");
    Vant::LogSetKeepDays(7);
    Vant::LogWrite("UdpCast", "nowhere");
    Vant::LogWrite(nullptr, "nowhere");
    EXPECT_EQ(Vant::LogInstance(), nullptr);
}

TEST(LogSetup, StartUpSequenceWritesTaggedRecordsBesideTheBanners)
{
    TempDir tmp;
    auto clock = BerlinClockAt20200513();

    if (Vant::LogInstance())
        GTEST_SKIP() << "a logger exists already in this process";
    ASSERT_TRUE(Vant::LogInit(tmp.dir() + "log/", clock));
    Vant::CLog *log = Vant::LogInstance();
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(Vant::LogInit(tmp.dir() + "elsewhere/", clock)) << "a second call changes nothing";
    EXPECT_EQ(Vant::LogInstance(), log);
    EXPECT_EQ(log->LogDirectory(), tmp.dir() + "log/");
    EXPECT_FALSE(log->IsEnabled());
    EXPECT_TRUE(log->IsExitFlush());
    EXPECT_FALSE(log->IsDeleteEnabled());
    EXPECT_EQ(log->GetKeepDays(), 30);
    EXPECT_EQ(log->Deleter().GetRetention(), 30);

    Vant::LogWrite("UdpCast", "dropped: writing is still off");
    EXPECT_EQ(log->QueueLength("UdpCast"), 0u);

    Vant::LogEnableExitFlush(true);
    Vant::LogEnable(true);
    Vant::LogEnableDelete(true);
    Vant::LogSetPrefix("BrenuSearchTools_");
    Vant::LogSetKeepDays(30);
    EXPECT_TRUE(log->IsEnabled());
    EXPECT_TRUE(log->IsDeleteEnabled());
    EXPECT_EQ(log->GetPrefix(), "BrenuSearchTools_");

    const std::string text = "{\"api\":\"/device/search\",\"params\":{\"data\":[]}}";
    Vant::LogWrite("UdpCast", text);
    const std::string file = tmp.dir() + "log/20200513/BrenuSearchTools_UdpCast.log";
    ASSERT_TRUE(WaitFor([&] { return ReadFile(file).size() > 0; })) << "the worker writes within ~0.1 s";
    EXPECT_EQ(ReadFile(file), "[2020-05-13 15:30:12] " + text + "\r\n");

    Vant::LogSetKeepDays(61);
    EXPECT_EQ(log->GetKeepDays(), 61);
    EXPECT_EQ(log->Deleter().GetRetention(), 5);
    Vant::LogEnableDelete(false);
    Vant::LogEnableExitFlush(false);
    EXPECT_FALSE(log->IsDeleteEnabled());
    EXPECT_FALSE(log->IsExitFlush());

    // The logger outlives this test: stop it from writing into the directory that
    // is about to go.
    Vant::LogEnable(false);
    ASSERT_TRUE(WaitFor([&] { return log->QueueLength("BrenuSearchTools_UdpCast") + log->QueueLength("LOG") == 0; }));
}

// The end of the program: records still queued are written at once, not lost.
TEST(LogSetup, ShutdownWritesEveryQueuedRecordThenStopsLogging)
{
    TempDir tmp;
    auto clock = BerlinClockAt20200513();

    if (Vant::LogInstance())
        GTEST_SKIP() << "a logger exists already in this process";
    ASSERT_TRUE(Vant::LogInit(tmp.dir() + "log/", clock));
    Vant::LogEnable(true);
    Vant::LogSetPrefix("P_");
    constexpr int kRecords = 3000; // far more than the worker writes in the time this takes
    for (int i = 0; i < kRecords; ++i)
        Vant::LogWrite("Last", "answer " + std::to_string(i));
    Vant::LogShutdown();

    const std::string text = ReadFile(tmp.dir() + "log/20200513/P_Last.log");
    std::size_t lines = 0;
    for (std::size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2))
        ++lines;
    EXPECT_EQ(lines, static_cast<std::size_t>(kRecords));
    const std::string last = "[2020-05-13 15:30:12] answer " + std::to_string(kRecords - 1) + "\r\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_NE(ReadFile(tmp.dir() + "log/20200513/LOG.log").find("] ======================= End ="), std::string::npos);

    Vant::CLog *log = Vant::LogInstance();
    EXPECT_TRUE(log->HasExited());
    Vant::LogWrite("Last", "too late");
    EXPECT_EQ(log->QueueLength("P_Last"), 0u) << "nothing piles up once the worker is gone";
    Vant::LogShutdown(); // a second call does nothing
}

} // namespace
