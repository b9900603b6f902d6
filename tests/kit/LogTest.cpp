#include "kit/Log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "FakeClock.h"
#include "KitTestUtil.h"
#include "kit/DateTime.h"
#include "kit/FileUtil.h"
#include "kit/Zip.h"

namespace {

using kittest::Exists;
using kittest::FakeClock;
using kittest::Gunzip;
using kittest::ReadFile;
using kittest::TempDir;
using kittest::WaitFor;
using kittest::WriteFile;

// The logger driven step by step on the test thread: its worker is never started.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        ASSERT_FALSE(tmp.path().empty());
        clock = std::make_shared<FakeClock>();
        clock->now = Local(2020, 5, 13, 15, 30, 12);
        log = std::make_unique<Vant::CLog>(tmp.dir() + "log/", clock);
    }
    void TearDown() override { log.reset(); }

    static int64_t Local(int y, int mo, int d, int h, int mi, int s)
    {
        Vant::CDateTime day;
        day.SetDate(y, mo, d);
        return day.Time() + h * 3600 + mi * 60 + s;
    }
    std::string DayDir(const std::string &yyyymmdd) const { return tmp.dir() + "log/" + yyyymmdd + "/"; }
    std::string FileOf(const std::string &yyyymmdd, const std::string &context) const
    {
        return DayDir(yyyymmdd) + context + ".log";
    }
    static std::size_t Lines(const std::string &text)
    {
        std::size_t n = 0;
        for (std::size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2))
            ++n;
        return n;
    }
    void WriteMany(const char *name, int count, const std::string &stem = "record ")
    {
        for (int i = 0; i < count; ++i)
            log->Write(name, stem + std::to_string(i));
    }
    // Runs worker steps until one finds nothing to do (at most max); answers how
    // many served a context.
    int Steps(int max = 1000)
    {
        int served = 0;
        while (served < max && log->Step())
            ++served;
        return served;
    }

    TempDir tmp;
    std::shared_ptr<FakeClock> clock;
    std::unique_ptr<Vant::CLog> log;
};

TEST_F(LogTest, RecordLineAndFilePathAreExact)
{
    log->SetPrefix("BrenuSearchTools_");
    const std::string text = std::string("{\"api\":\"/search\"} 中文\nsecond line\0with nul", 46);
    log->WriteTagged("UdpCast", text);
    log->Write("Plain", "no prefix here");
    EXPECT_EQ(log->ContextCount(), 2u);
    EXPECT_FALSE(Exists(tmp.dir() + "log")) << "nothing is created before the first batch";

    EXPECT_EQ(Steps(), 2);
    EXPECT_EQ(ReadFile(FileOf("20200513", "BrenuSearchTools_UdpCast")), "[2020-05-13 15:30:12] " + text + "\r\n");
    EXPECT_EQ(ReadFile(FileOf("20200513", "Plain")), "[2020-05-13 15:30:12] no prefix here\r\n");

    clock->now = Local(2020, 5, 13, 15, 30, 13);
    log->WriteTagged("UdpCast", "again");
    Steps();
    EXPECT_EQ(ReadFile(FileOf("20200513", "BrenuSearchTools_UdpCast")),
              "[2020-05-13 15:30:12] " + text + "\r\n[2020-05-13 15:30:13] again\r\n")
        << "appended, never rewritten";
}

TEST_F(LogTest, OneContextIsWrittenInBatchesOfAHundred)
{
    WriteMany("Ctx", 250);
    const std::string file = FileOf("20200513", "Ctx");
    std::vector<std::size_t> afterEachStep;
    for (int step = 0; step < 4; ++step) {
        log->Step();
        afterEachStep.push_back(Lines(ReadFile(file)));
    }
    EXPECT_EQ(afterEachStep, (std::vector<std::size_t>{100, 200, 250, 250}));
    EXPECT_FALSE(log->Step()) << "idle";
    const std::string all = ReadFile(file);
    EXPECT_EQ(all.find("record 0\r\n"), std::string("[2020-05-13 15:30:12] ").size());
    EXPECT_NE(all.find("] record 249\r\n"), std::string::npos);
    EXPECT_LT(all.find("] record 99\r\n"), all.find("] record 100\r\n"));
}

TEST_F(LogTest, EachContextIsServedOncePerCycleInNameOrder)
{
    WriteMany("B", 250);
    WriteMany("A", 150);
    std::vector<std::string> order;
    for (int call = 0; call < 8; ++call) {
        Vant::CLogContextHandle *handle = log->NextPendingContext();
        order.push_back(handle ? handle->Name() : "-");
        if (handle)
            handle->Flush(log->LogDirectory(), *clock);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "-", "A", "B", "-", "B", "-"}));
}

TEST_F(LogTest, BusyContextsAlternateAndEveryStepWritesABatch)
{
    WriteMany("A", 300);
    WriteMany("B", 300);
    std::vector<std::pair<std::size_t, std::size_t>> seen;
    for (int step = 0; step < 6; ++step) {
        EXPECT_TRUE(log->Step()) << "the end of a cycle is no idle step";
        seen.emplace_back(log->QueueLength("A"), log->QueueLength("B"));
    }
    EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::size_t>>{
                        {200, 300}, {200, 200}, {100, 200}, {100, 100}, {0, 100}, {0, 0}}));
    EXPECT_FALSE(log->Step());
}

TEST_F(LogTest, RecordsAcrossMidnightGoToTwoDayDirectories)
{
    clock->now = Local(2020, 5, 13, 23, 59, 59);
    WriteMany("Ctx", 3, "late ");
    clock->now = Local(2020, 5, 14, 0, 0, 0);
    WriteMany("Ctx", 2, "early ");
    EXPECT_TRUE(log->Step());
    EXPECT_EQ(Lines(ReadFile(FileOf("20200513", "Ctx"))), 3u) << "the batch stops at the new day";
    EXPECT_EQ(log->QueueLength("Ctx"), 2u);
    EXPECT_EQ(Steps(), 1);
    EXPECT_EQ(ReadFile(FileOf("20200514", "Ctx")),
              "[2020-05-14 00:00:00] early 0\r\n[2020-05-14 00:00:00] early 1\r\n");
}

TEST_F(LogTest, FileLongerThanTenMebibytesIsRolledOverIntoGzipNamedByTheBatchTime)
{
    ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir("20200513")));
    const std::string file = FileOf("20200513", "Ctx");
    // Exactly 10485760 bytes: appended to.
    ASSERT_TRUE(WriteFile(file, std::string(10485760, 'x')));
    log->Write("Ctx", "one more");
    Steps();
    EXPECT_EQ(Vant::GetFileLength(file), 10485760 + 32);
    EXPECT_FALSE(Exists(DayDir("20200513") + "_Ctx-153012.log.gz"));

    std::string old;
    while (old.size() <= 10485760)
        old += "[2020-05-13 15:00:00] an older line " + std::to_string(old.size()) + "\r\n";
    ASSERT_TRUE(WriteFile(file, old));

    clock->now = Local(2020, 5, 13, 15, 30, 12);
    log->Write("Ctx", "first of the batch");
    clock->now = Local(2020, 5, 13, 15, 30, 14);
    log->Write("Ctx", "second of the batch");
    Steps();

    const std::string gz = DayDir("20200513") + "_Ctx-153012.log.gz";
    std::string back;
    ASSERT_TRUE(Gunzip(gz, &back)) << gz;
    EXPECT_EQ(back, old);
    EXPECT_TRUE(kittest::GzipTestPasses(gz));
    EXPECT_EQ(ReadFile(file),
              "[2020-05-13 15:30:12] first of the batch\r\n[2020-05-13 15:30:14] second of the batch\r\n");

    // Another roll-over within the same second keeps the first file.
    ASSERT_TRUE(WriteFile(file, old + "more\r\n"));
    clock->now = Local(2020, 5, 13, 15, 30, 12);
    log->Write("Ctx", "third");
    Steps();
    std::string second;
    ASSERT_TRUE(Gunzip(DayDir("20200513") + "_Ctx-153012-2.log.gz", &second));
    EXPECT_EQ(second, old + "more\r\n");
    ASSERT_TRUE(Gunzip(gz, &back));
    EXPECT_EQ(back, old);
}

// A roll-over cut off at each of its steps (a crash or a kill) leaves, after the next
// start, every record in exactly one whole archive or in the plain file.
TEST_F(LogTest, InterruptedRollOverLeavesNoBrokenOrRepeatedArchive)
{
    ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir("20200513")));
    const std::string file = FileOf("20200513", "Ctx");
    std::string old;
    while (old.size() <= 10485760)
        old += "[2020-05-13 15:00:00] an older line " + std::to_string(old.size()) + "\r\n";
    const std::string archive = DayDir("20200513") + "_Ctx-153012.log.gz";
    const auto archives = [&] {
        std::vector<std::string> names;
        for (const char *name : {"_Ctx-150000.log.gz", "_Ctx-153012.log.gz", "_Ctx-153012-2.log.gz"})
            if (Exists(DayDir("20200513") + name))
                names.push_back(name);
        return names;
    };

    // Killed while compressing (or before the rename): a cut temporary copy.
    ASSERT_TRUE(WriteFile(file, old));
    const std::string partial = DayDir("20200513") + "_Ctx-150000.log.gz.partial";
    ASSERT_TRUE(Vant::CZip().CompressFile(file, partial));
    ASSERT_TRUE(WriteFile(partial, ReadFile(partial).substr(0, 5000)));
    log->Write("Ctx", "after the crash");
    Steps();
    EXPECT_FALSE(Exists(partial));
    EXPECT_EQ(archives(), std::vector<std::string>{"_Ctx-153012.log.gz"});
    std::string back;
    ASSERT_TRUE(Gunzip(archive, &back));
    EXPECT_EQ(back, old);
    EXPECT_EQ(ReadFile(file), "[2020-05-13 15:30:12] after the crash\r\n");

    // Killed after the rename, before the plain file was emptied: the archive holds it
    // already, so it is only emptied, not archived a second time.
    ASSERT_TRUE(WriteFile(file, old));
    log = std::make_unique<Vant::CLog>(tmp.dir() + "log/", clock); // the restart
    log->Write("Ctx", "after the second crash");
    Steps();
    EXPECT_EQ(archives(), std::vector<std::string>{"_Ctx-153012.log.gz"});
    EXPECT_EQ(ReadFile(file), "[2020-05-13 15:30:12] after the second crash\r\n");

    // A plain file of the same length whose records differ is archived anew.
    std::string other = old;
    other[100] = 'y';
    ASSERT_TRUE(WriteFile(file, other));
    log->Write("Ctx", "third");
    Steps();
    ASSERT_TRUE(Gunzip(DayDir("20200513") + "_Ctx-153012-2.log.gz", &back));
    EXPECT_EQ(back, other);
}

// Limits the size of files this process may write; writes beyond fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_ok = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    bool ok() const { return m_ok; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = SIG_DFL;
    bool m_ok = false;
};

// Two loggers of one folder (two processes of the product: a window and the command
// line) writing one context's file while one of them rolls it over: every record
// ends up once in an archive or in the plain file, and no roll-over is undone.
TEST_F(LogTest, TwoLoggersOfOneFolderLoseNothingWhileOneRollsTheFileOver)
{
    ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir("20200513")));
    const std::string file = FileOf("20200513", "Ctx");
    std::string old;
    while (old.size() <= 10485760)
        old += "[2020-05-13 15:00:00] an older line " + std::to_string(old.size()) + "\r\n";
    ASSERT_TRUE(WriteFile(file, old));
    auto other = std::make_unique<Vant::CLog>(tmp.dir() + "log/", clock);
    constexpr int kOthers = 300;
    std::thread second([&] {
        for (int i = 0; i < kOthers; ++i) {
            other->Write("Ctx", "from the other " + std::to_string(i));
            while (other->Step()) {
            }
        }
    });
    log->Write("Ctx", "rolls it over");
    Steps();
    second.join();

    std::size_t lines = Lines(ReadFile(file));
    int archives = 0;
    for (const char *name : {"_Ctx-153012.log.gz", "_Ctx-153012-2.log.gz", "_Ctx-153012-3.log.gz"}) {
        std::string back;
        if (!Exists(DayDir("20200513") + name))
            continue;
        ++archives;
        ASSERT_TRUE(Gunzip(DayDir("20200513") + name, &back));
        lines += Lines(back);
    }
    EXPECT_EQ(archives, 1);
    EXPECT_FALSE(Exists(DayDir("20200513") + "_Ctx-153012.log.gz.partial"));
    EXPECT_EQ(lines, Lines(old) + 1 + kOthers);
}

TEST_F(LogTest, FailedCompressionKeepsAppendingAndRetriesNextBatch)
{
    ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir("20200513")));
    const std::string file = FileOf("20200513", "Ctx");
    // Incompressible content: its gzip copy is a little larger than the file itself.
    std::string old(10485761 + 5000, '\0');
    std::mt19937 rng(1);
    for (char &c : old)
        c = static_cast<char>(rng());
    ASSERT_TRUE(WriteFile(file, old));
    const std::string line = "[2020-05-13 15:30:12] kept\r\n";
    {
        FileSizeLimit limit(old.size() + 1000); // room for the batch, not for the copy
        ASSERT_TRUE(limit.ok());
        log->Write("Ctx", "kept");
        Steps();
    }
    EXPECT_EQ(Vant::GetFileLength(file), static_cast<int32_t>(old.size() + line.size())) << "not truncated";
    EXPECT_FALSE(Exists(DayDir("20200513") + "_Ctx-153012.log.gz")) << "no broken copy left";
    EXPECT_EQ(log->QueueLength("Ctx"), 0u);

    clock->now = Local(2020, 5, 13, 15, 31, 0);
    log->Write("Ctx", "next");
    Steps();
    std::string back;
    ASSERT_TRUE(Gunzip(DayDir("20200513") + "_Ctx-153100.log.gz", &back));
    EXPECT_EQ(back, old + line);
    EXPECT_EQ(ReadFile(file), "[2020-05-13 15:31:00] next\r\n");
}

TEST_F(LogTest, RecordsStayQueuedUntilTheyAreInTheFile)
{
    ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir("20200513")));
    const std::string file = FileOf("20200513", "Ctx");
    const std::string before = "[2020-05-13 15:00:00] earlier\r\n";
    ASSERT_TRUE(WriteFile(file, before));
    WriteMany("Ctx", 5);
    {
        // The file may grow by a few bytes only: the batch cannot be written whole.
        FileSizeLimit limit(before.size() + 40);
        ASSERT_TRUE(limit.ok());
        for (int attempt = 1; attempt <= 3; ++attempt) {
            EXPECT_TRUE(log->Step());
            EXPECT_EQ(log->QueueLength("Ctx"), 5u) << "nothing lost";
            EXPECT_EQ(ReadFile(file), before) << "no half batch left behind";
        }
    }
    Steps();
    EXPECT_EQ(log->QueueLength("Ctx"), 0u);
    const std::string all = ReadFile(file);
    EXPECT_EQ(Lines(all), 6u) << "each record exactly once";
    EXPECT_EQ(all.substr(0, before.size()), before);
}

TEST_F(LogTest, LogPathThatIsADirectoryDiscardsTheQueueAtTheTenthFailure)
{
    ASSERT_TRUE(Vant::CreateDirectoryPath(FileOf("20200513", "Ctx")));
    WriteMany("Ctx", 3);
    Vant::CLogContextHandle *handle = log->NextPendingContext();
    ASSERT_NE(handle, nullptr);
    handle->Flush(log->LogDirectory(), *clock);
    EXPECT_EQ(handle->FailureCount(), 1);
    for (int attempt = 2; attempt <= 10; ++attempt) {
        EXPECT_TRUE(log->Step());
        if (attempt < 10) {
            EXPECT_EQ(handle->FailureCount(), attempt);
            EXPECT_EQ(log->QueueLength("Ctx"), 3u);
        }
    }
    EXPECT_EQ(log->QueueLength("Ctx"), 0u);
    EXPECT_EQ(handle->FailureCount(), 0) << "counting starts again";
    EXPECT_EQ(handle->DroppedCount(), 3u) << "discarded, but not without a trace";
    WriteMany("Ctx", 1, "refused ");
    EXPECT_EQ(log->QueueLength("Ctx"), 0u) << "nothing is accepted while the note is due";
    EXPECT_TRUE(log->Step()) << "the note is queued and tried";
    EXPECT_EQ(handle->FailureCount(), 1);

    ASSERT_EQ(rmdir(FileOf("20200513", "Ctx").c_str()), 0); // the path works again
    WriteMany("Ctx", 1, "accepted ");
    Steps();
    EXPECT_EQ(ReadFile(FileOf("20200513", "Ctx")),
              "[2020-05-13 15:30:12] -------------------- 4 records dropped\r\n"
              "[2020-05-13 15:30:12] accepted 0\r\n");
}

// A FIFO where the ".log" file belongs: no step may wait for a peer to open it
// (that would stop every context), and every attempt fails like a bad path.
TEST_F(LogTest, LogPathThatIsAFifoNeverBlocksTheWorker)
{
    ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir("20200513")));
    const std::string fifo = FileOf("20200513", "Ctx");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    WriteMany("Ctx", 3);
    for (int attempt = 1; attempt <= Vant::CLogContextHandle::kMaxFailures; ++attempt) {
        ASSERT_TRUE(kittest::ReturnsDespiteFifo(fifo, [&] { log->Step(); })) << "attempt " << attempt;
        EXPECT_EQ(log->QueueLength("Ctx"), attempt < Vant::CLogContextHandle::kMaxFailures ? 3u : 0u);
    }
}

TEST_F(LogTest, DisabledWritingQueuesNothingButQueuedRecordsAreStillWritten)
{
    log->Write("Ctx", "queued while on");
    log->SetEnabled(false);
    log->Write("Ctx", "dropped");
    log->Write("Other", "dropped");
    log->WriteFormat("LOG", "%s", "dropped");
    EXPECT_EQ(log->ContextCount(), 1u);
    EXPECT_EQ(log->QueueLength("Ctx"), 1u);
    Steps();
    EXPECT_EQ(ReadFile(FileOf("20200513", "Ctx")), "[2020-05-13 15:30:12] queued while on\r\n");
}

TEST_F(LogTest, FormattedTextIsCutAt2047Characters)
{
    log->WriteFormat("Ctx", "%s-%d", std::string(3000, 'a').c_str(), 7);
    log->WriteFormat("Ctx", nullptr);
    Steps();
    EXPECT_EQ(ReadFile(FileOf("20200513", "Ctx")), "[2020-05-13 15:30:12] " + std::string(2047, 'a') + "\r\n");
}

TEST_F(LogTest, KeepDaysIsStoredAsGivenAndRetentionIsBounded)
{
    EXPECT_EQ(log->GetKeepDays(), 5);
    EXPECT_EQ(log->Deleter().GetRetention(), 5);
    const std::vector<std::pair<int32_t, int32_t>> cases = {{0, 5}, {60, 60}, {61, 5}, {1, 1}, {-3, 5}, {30, 30}};
    for (auto [keep, retention] : cases) {
        log->SetKeepDays(keep);
        EXPECT_EQ(log->GetKeepDays(), keep);
        EXPECT_EQ(log->Deleter().GetRetention(), retention) << keep;
    }
}

TEST_F(LogTest, StatisticsBlockEveryMinute)
{
    log->SetPrefix("BrenuSearchTools_");
    log->OnBegin();
    log->WriteTagged("UdpCast", "a message");
    Steps();
    const std::string banner = "[2020-05-13 15:30:12] ======================= Begin =======================\r\n";
    ASSERT_EQ(ReadFile(FileOf("20200513", "LOG")), banner);

    clock->now = Local(2020, 5, 13, 15, 31, 12);
    clock->tick += 60000; // not yet: more than 60000 ms must have passed
    Steps();
    EXPECT_EQ(log->QueueLength("LOG"), 0u);
    EXPECT_EQ(ReadFile(FileOf("20200513", "LOG")), banner);

    clock->tick += 1;
    Steps();
    EXPECT_EQ(ReadFile(FileOf("20200513", "LOG")), banner +
                                                       "[2020-05-13 15:31:12] -------------------- LOG::Num: 2\r\n"
                                                       "[2020-05-13 15:31:12] BrenuSearchTools_UdpCast: 0\r\n"
                                                       "[2020-05-13 15:31:12] LOG: 1\r\n"
                                                       "[2020-05-13 15:31:12] -------------------- END\r\n");
}

TEST_F(LogTest, StatisticsCountQueuedRecordsAndSurviveTickWrap)
{
    log->SetEnabled(true);
    WriteMany("Busy", 7);
    clock->tick = 0xFFFFFFF0u; // 0xFFFFFFF0 - 1000: far more than a minute, modulo 2^32 it is not
    EXPECT_TRUE(log->Step());
    EXPECT_EQ(log->QueueLength("LOG"), 4u) << "the first check came because 4294966000 ms > 60000";
    Steps();
    // 60001 ms later across the wrap.
    clock->tick = 0xFFFFFFF0u + 60001u;
    WriteMany("Busy", 3);
    Steps();
    Steps();
    const std::string text = ReadFile(FileOf("20200513", "LOG"));
    // The first count is taken before its own line creates the LOG context.
    const std::size_t first = text.find("] -------------------- LOG::Num: 1\r\n");
    const std::size_t second = text.find("] -------------------- LOG::Num: 2\r\n");
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, text.find("] Busy: 7\r\n")) << text;
    EXPECT_LT(text.find("] Busy: 7\r\n"), second) << text;
    EXPECT_LT(second, text.find("] Busy: 3\r\n")) << text;
}

TEST_F(LogTest, ExitFlushWritesEverythingQueuedWithinItsLimit)
{
    WriteMany("A", 250);
    WriteMany("B", 5);
    log->OnEnd();
    EXPECT_EQ(ReadFile(FileOf("20200513", "LOG")),
              "[2020-05-13 15:30:12] ======================= End =======================\r\n");
    EXPECT_EQ(Lines(ReadFile(FileOf("20200513", "A"))), 250u);
    EXPECT_EQ(Lines(ReadFile(FileOf("20200513", "B"))), 5u);

    // Past its limit the flush starts no further batch, and what is left is counted
    // in one note per context (the End banner in LOG too).
    WriteMany("A", 150);
    log->SetExitFlushLimit(0);
    log->OnEnd();
    EXPECT_EQ(log->QueueLength("A"), 0u);
    EXPECT_EQ(Lines(ReadFile(FileOf("20200513", "A"))), 251u);
    EXPECT_NE(ReadFile(FileOf("20200513", "A")).find("] -------------------- 150 records dropped\r\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(FileOf("20200513", "LOG")).find("] -------------------- 1 records dropped\r\n"),
              std::string::npos);

    WriteMany("A", 50);
    log->SetExitFlush(false);
    log->SetExitFlushLimit(Vant::CLog::kExitFlushLimit);
    log->OnEnd();
    EXPECT_EQ(log->QueueLength("A"), 50u);

    // An over-long file is appended to on the way out, not compressed.
    log->SetExitFlush(true);
    ASSERT_TRUE(WriteFile(FileOf("20200513", "Long"), std::string(10485761, 'x')));
    log->Write("Long", "last");
    log->OnEnd();
    EXPECT_EQ(Vant::GetFileLength(FileOf("20200513", "Long")), 10485761 + 28);
    EXPECT_FALSE(Exists(DayDir("20200513") + "_Long-153012.log.gz"));

    // A worker stopped before it began runs no hook: Shutdown flushes in its place.
    Vant::CLog parked(tmp.dir() + "parked/", clock);
    ASSERT_TRUE(parked.Start()); // parked until a Resume that never comes
    parked.Write("P", "last words");
    parked.Shutdown();
    EXPECT_EQ(ReadFile(tmp.dir() + "parked/20200513/P.log"), "[2020-05-13 15:30:12] last words\r\n");
}

// A flood beyond the queue's bound: records are refused and counted until the worker
// has written the queue down to half, then one line tells how many are missing, at
// the place where they are missing.
TEST_F(LogTest, FullQueueCountsWhatItDropsAndSaysSoOnceRoomReturns)
{
    constexpr std::size_t kMax = Vant::CLogContextHandle::kMaxQueuedRecords;
    WriteMany("Ctx", static_cast<int>(kMax) + 5, "r");
    EXPECT_EQ(log->QueueLength("Ctx"), kMax);
    std::size_t refused = 5;
    while (log->QueueLength("Ctx") >= kMax / 2) {
        ASSERT_TRUE(log->Step());
        log->Write("Ctx", "refused");
        ++refused;
    }
    EXPECT_EQ(log->QueueLength("Ctx"), kMax / 2 - Vant::CLogContextHandle::kBatch)
        << "no room while more than half is queued";
    ASSERT_TRUE(log->Step()); // room now: the note is queued first
    log->Write("Ctx", "accepted");
    Steps(1000);
    EXPECT_EQ(log->QueueLength("Ctx"), 0u);

    const std::string text = ReadFile(FileOf("20200513", "Ctx"));
    EXPECT_EQ(Lines(text), kMax + 2);
    const std::string tail = "[2020-05-13 15:30:12] r" + std::to_string(kMax - 1) +
                             "\r\n[2020-05-13 15:30:12] -------------------- " + std::to_string(refused) +
                             " records dropped\r\n[2020-05-13 15:30:12] accepted\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find("refused"), std::string::npos);

    // Long texts meet the byte bound first: 1 MiB each, the sixteenth no longer fits.
    const std::string big(1u << 20, 'x');
    for (int i = 0; i < 20; ++i)
        log->Write("Big", big);
    EXPECT_EQ(log->QueueLength("Big"), 15u);
}

// Writers on two threads outrun the running worker by far: every record is either in
// the file, in order, or counted by a note; the exit flush writes what is left.
TEST_F(LogTest, FloodWithTheRunningWorkerLosesNothingWithoutATrace)
{
    ASSERT_TRUE(log->Start());
    log->Resume();
    constexpr int kThreads = 2, kEach = 30000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i)
                log->Write("Flood", "t" + std::to_string(t) + " n" + std::to_string(i));
        });
    for (auto &w : writers)
        w.join();
    log.reset(); // exit flush
    const std::string text = ReadFile(FileOf("20200513", "Flood"));
    std::size_t records = 0, noted = 0;
    int last[kThreads] = {-1, -1};
    const std::string notePrefix = "] -------------------- ";
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = text.substr(at, end - at);
        const std::size_t note = line.find(notePrefix);
        if (note != std::string::npos) {
            noted += std::stoul(line.substr(note + notePrefix.size()));
            continue;
        }
        int t = -1, n = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[2020-05-13 15:30:12] t%d n%d", &t, &n), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        ASSERT_GT(n, last[t]) << "out of order or twice: " << line;
        last[t] = n;
        ++records;
    }
    EXPECT_EQ(records + noted, static_cast<std::size_t>(kThreads * kEach));
    EXPECT_GT(noted, 0u) << "the flood did outrun the worker";
}

TEST_F(LogTest, DeletionPassAtTheFirstCheckAndDailyAtSixteen)
{
    // An old day directory that a pass removes.
    const std::string old = DayDir("20200101");
    ASSERT_TRUE(Vant::CreateDirectoryPath(old));
    ASSERT_TRUE(WriteFile(old + "Ctx.log", "x"));
    timeval times[2] = {{static_cast<time_t>(Local(2020, 1, 1, 12, 0, 0)), 0},
                        {static_cast<time_t>(Local(2020, 1, 1, 12, 0, 0)), 0}};
    ASSERT_EQ(utimes(old.c_str(), times), 0);
    log->SetKeepDays(30);
    Vant::CLogDelete &deleter = log->Deleter();
    auto check = [&](int64_t when) {
        clock->now = when;
        clock->tick += 60001;
        log->Step();
    };
    auto settle = [&](uint32_t passes) {
        EXPECT_TRUE(WaitFor([&] { return deleter.PassCount() >= passes && deleter.IsSuspended(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        EXPECT_EQ(deleter.PassCount(), passes);
    };

    check(Local(2020, 5, 13, 16, 5, 0));
    settle(0); // deletion not enabled
    EXPECT_TRUE(Exists(old));

    log->SetDeleteEnabled(true);
    // The first check falls between 16:00 and 16:59: the start pass and the daily
    // request come together; the deleter is already awake for the second.
    check(Local(2020, 5, 13, 16, 6, 0));
    settle(1);
    EXPECT_FALSE(Exists(old));
    EXPECT_EQ(deleter.GetDirectory(), tmp.dir() + "log/");
    EXPECT_EQ(deleter.GetRetention(), 30);

    check(Local(2020, 5, 13, 16, 7, 0));
    settle(1); // disarmed for today
    check(Local(2020, 5, 13, 17, 30, 0));
    settle(1); // re-armed
    log->SetKeepDays(90);
    check(Local(2020, 5, 14, 16, 0, 0));
    settle(2);
    EXPECT_EQ(deleter.GetRetention(), 5) << "keep days beyond 60 give 5";
    check(Local(2020, 5, 14, 16, 59, 0));
    settle(2);
}

// The worker running for real: writers on several threads, nothing lost or doubled.
TEST_F(LogTest, ConcurrentWritersWithTheRunningWorker)
{
    ASSERT_TRUE(log->Start());
    log->Resume();
    constexpr int kThreads = 4, kEach = 400;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                log->Write(t % 2 ? "Odd" : "Even", "t" + std::to_string(t) + " n" + std::to_string(i));
                if (i % 50 == 0)
                    log->WriteFormat("LOG", "thread %d at %d", t, i);
            }
        });
    for (auto &w : writers)
        w.join();
    ASSERT_TRUE(WaitFor([&] { return log->QueueLength("Odd") + log->QueueLength("Even") == 0; },
                        std::chrono::seconds(60)));
    log.reset(); // stops the worker: exit flush, then the deleter ends

    for (const char *name : {"Odd", "Even"}) {
        const std::string text = ReadFile(FileOf("20200513", name));
        EXPECT_EQ(Lines(text), static_cast<std::size_t>(kThreads / 2 * kEach)) << name;
        for (int t = (name[0] == 'O'); t < kThreads; t += 2) {
            std::size_t last = 0;
            for (int i = 0; i < kEach; ++i) {
                const std::string needle = "] t" + std::to_string(t) + " n" + std::to_string(i) + "\r\n";
                std::size_t at = text.find(needle);
                ASSERT_NE(at, std::string::npos) << needle;
                ASSERT_EQ(text.find(needle, at + 1), std::string::npos) << "twice: " << needle;
                ASSERT_GE(at, last) << "out of order: " << needle;
                last = at;
            }
        }
    }
    const std::string logText = ReadFile(FileOf("20200513", "LOG"));
    EXPECT_NE(logText.find("] ======================= End =======================\r\n"), std::string::npos);
}

} // namespace

// A context's lines go to disk at most kMaxWriteBytesPerSecond a second; the rest wait.
TEST_F(LogTest, WritingIsBoundedInBytesPerSecondPerContext)
{
    constexpr std::size_t kRate = Vant::CLogContextHandle::kMaxWriteBytesPerSecond;
    const std::string text(64 * 1024 - 24, 'r'); // 64 KiB lines
    const std::size_t perSecond = kRate / (64 * 1024);
    WriteMany("Fast", static_cast<int>(perSecond * 2), text);
    log->Write("Slow", "not held up");
    Steps(1000);
    EXPECT_EQ(ReadFile(FileOf("20200513", "Slow")), "[2020-05-13 15:30:12] not held up\r\n");
    const std::size_t first = Lines(ReadFile(FileOf("20200513", "Fast")));
    EXPECT_GE(first, perSecond);
    EXPECT_LE(first, perSecond + Vant::CLogContextHandle::kBatch);
    EXPECT_GT(log->QueueLength("Fast"), 0u);
    clock->tick += 1000;
    Steps(1000);
    EXPECT_EQ(log->QueueLength("Fast"), 0u);
}

// Past the folder's budget the oldest files go first, the current day's plain files
// last, and one LOG line tells what went and why.
TEST_F(LogTest, FolderBudgetDeletesTheOldestFilesFirstAndSaysSo)
{
    const auto put = [&](const std::string &day, const std::string &name, std::size_t bytes, time_t age) {
        ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir(day)));
        const std::string path = DayDir(day) + name;
        ASSERT_TRUE(WriteFile(path, std::string(bytes, 'x')));
        const timeval times[2] = {{clock->now - age, 0}, {clock->now - age, 0}};
        ASSERT_EQ(utimes(path.c_str(), times), 0);
    };
    put("20200513", "Ctx.log", 300000, 10);              // current day, plain: last
    put("20200513", "_Ctx-120000.log.gz", 200000, 3000); // today's compressed
    put("20200512", "Ctx.log", 200000, 90000);           // yesterday's plain
    put("20200511", "_Ctx-100000.log.gz", 200000, 170000);
    ASSERT_TRUE(WriteFile(tmp.dir() + "log/notes.txt", std::string(500000, 'n'))); // not a day: left alone
    ASSERT_EQ(symlink((DayDir("20200512") + "Ctx.log").c_str(), (DayDir("20200513") + "Link.log").c_str()), 0);
    const timeval dayTimes[2] = {{clock->now - 170000, 0}, {clock->now - 170000, 0}};
    ASSERT_EQ(utimes(DayDir("20200511").c_str(), dayTimes), 0);

    // A budget this small keeps half of it free for a roll-over under way: at 900000
    // bytes in day directories the folder is brought down to 300000.
    log->SetFolderCap(800000);
    log->Write("LOG", "first step");
    Steps();
    EXPECT_EQ(log->FolderBudget(), 800000u);
    EXPECT_FALSE(Exists(DayDir("20200511") + "_Ctx-100000.log.gz"));
    EXPECT_FALSE(Exists(DayDir("20200512") + "Ctx.log"));
    EXPECT_FALSE(Exists(DayDir("20200513") + "_Ctx-120000.log.gz"));
    EXPECT_TRUE(Exists(DayDir("20200513") + "Ctx.log"));
    EXPECT_TRUE(Exists(tmp.dir() + "log/notes.txt"));
    struct stat day;
    ASSERT_EQ(stat(DayDir("20200511").c_str(), &day), 0);
    EXPECT_EQ(day.st_mtime, clock->now - 170000) << "a trimmed day keeps its age for the deleter";
    struct stat link;
    EXPECT_EQ(lstat((DayDir("20200513") + "Link.log").c_str(), &link), 0) << "a link is neither counted nor deleted";
    const std::string text = ReadFile(FileOf("20200513", "LOG"));
    EXPECT_NE(text.find("] -------------------- log folder above its limit of 800000 bytes (900000): removed 3 files, "
                        "600000 bytes, oldest first: 20200511/_Ctx-100000.log.gz 20200512/Ctx.log "
                        "20200513/_Ctx-120000.log.gz\r\n"),
              std::string::npos)
        << text;

    // Bytes written count towards the budget (a look waits for a megabyte at least):
    // a batch past it looks again, and the current day's plain files go oldest first.
    log->Write("Big", std::string(1100000, 'b'));
    Steps();
    EXPECT_FALSE(Exists(DayDir("20200513") + "Ctx.log"));
    EXPECT_NE(ReadFile(FileOf("20200513", "LOG"))
                  .find(" bytes, oldest first: 20200513/Ctx.log 20200513/LOG.log 20200513/Big.log\r\n"),
              std::string::npos)
        << ReadFile(FileOf("20200513", "LOG"));
}

// The log's write side never follows a symbolic link in a file's place.
TEST_F(LogTest, LogFilesThatAreSymbolicLinksAreNeverWrittenThrough)
{
    const std::string target = tmp.dir() + "precious";
    ASSERT_TRUE(WriteFile(target, "keep me"));
    ASSERT_TRUE(Vant::CreateDirectoryPath(DayDir("20200513")));
    ASSERT_EQ(symlink(target.c_str(), FileOf("20200513", "Ctx").c_str()), 0);
    log->Write("Ctx", "into the link?");
    Steps(3);
    EXPECT_EQ(ReadFile(target), "keep me");

    EXPECT_FALSE(Vant::CreateEmptyFile(FileOf("20200513", "Ctx")));
    EXPECT_EQ(ReadFile(target), "keep me");

    ASSERT_TRUE(WriteFile(tmp.dir() + "source", "text"));
    const std::string gz = tmp.dir() + "link.gz";
    ASSERT_EQ(symlink(target.c_str(), gz.c_str()), 0);
    EXPECT_FALSE(Vant::CZip().CompressFile(tmp.dir() + "source", gz));
    EXPECT_EQ(ReadFile(target), "keep me");
}
