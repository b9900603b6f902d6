#include "kit/LogDelete.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FakeClock.h"
#include "KitTestUtil.h"
#include "kit/DateTime.h"

namespace {

using kittest::Exists;
using kittest::FakeClock;
using kittest::TempDir;
using kittest::WaitFor;
using kittest::WriteFile;
using namespace std::chrono_literals;

class LogDeleteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        clock = std::make_shared<FakeClock>();
        clock->now = Local(2020, 5, 13, 10, 0);
        ASSERT_FALSE(tmp.path().empty());
    }

    static int64_t Local(int y, int mo, int d, int h, int mi)
    {
        Vant::CDateTime day;
        day.SetDate(y, mo, d);
        return day.Time() + h * 3600 + mi * 60;
    }

    // A directory whose "creation" (modification) time is the given instant.
    std::string MakeDir(const std::string &name, int64_t when)
    {
        std::string path = tmp.dir() + name;
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
        EXPECT_TRUE(WriteFile(path + "/BrenuSearchTools_UdpCast.log", "[x] y\r\n"));
        Age(path, when);
        return path;
    }
    static void Age(const std::string &path, int64_t when)
    {
        timeval times[2] = {{static_cast<time_t>(when), 0}, {static_cast<time_t>(when), 0}};
        EXPECT_EQ(utimes(path.c_str(), times), 0);
    }

    TempDir tmp;
    std::shared_ptr<FakeClock> clock;
};

TEST_F(LogDeleteTest, RetentionIsCountedInCalendarDaysNotHours)
{
    const std::string old = MakeDir("20200413", Local(2020, 4, 13, 23, 30));
    const std::string young = MakeDir("20200414", Local(2020, 4, 14, 0, 10));
    const std::string ancient = MakeDir("20190101", Local(2019, 1, 1, 12, 0));
    // Not the logger's day directories: kept whatever their age.
    std::vector<std::string> foreign;
    for (const char *name : {"whatever-name", "2019010", "201901011", "2019o101"})
        foreign.push_back(MakeDir(name, Local(2019, 1, 1, 12, 0)));
    const std::string future = MakeDir("20200620", Local(2020, 6, 20, 8, 0)); // clock set back
    const std::string nearFuture = MakeDir("20200601", Local(2020, 6, 1, 8, 0));

    Vant::CLogDelete deleter(clock);
    deleter.SetRetention(30);
    deleter.SetDirectory(tmp.dir());
    deleter.DeleteOldLogs();

    EXPECT_FALSE(Exists(old)) << "30 days old on 13 May, whatever the hour";
    EXPECT_TRUE(Exists(young)) << "29 days old";
    EXPECT_FALSE(Exists(ancient));
    for (const std::string &path : foreign)
        EXPECT_TRUE(Exists(path + "/BrenuSearchTools_UdpCast.log")) << "only YYYYMMDD names are candidates: " << path;
    EXPECT_FALSE(Exists(future)) << "the age is an absolute difference";
    EXPECT_TRUE(Exists(nearFuture));
    EXPECT_EQ(deleter.CandidateCount(), 3u);
}

TEST_F(LogDeleteTest, HiddenEntriesLinksAndLooseFilesAreNeverDeleted)
{
    const int64_t longAgo = Local(2019, 1, 1, 12, 0);
    const std::string hidden = MakeDir(".hidden", longAgo);
    const std::string loose = tmp.dir() + "loose.log";
    ASSERT_TRUE(WriteFile(loose, "keep"));
    Age(loose, longAgo);
    const std::string target = MakeDir("target-of-link", Local(2020, 5, 13, 9, 0));
    const std::string link = tmp.dir() + "20190101"; // a day name, but a link
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

    Vant::CLogDelete deleter(clock);
    deleter.SetRetention(1);
    deleter.SetDirectory(tmp.dir());
    deleter.DeleteOldLogs();

    EXPECT_TRUE(Exists(hidden + "/BrenuSearchTools_UdpCast.log"));
    EXPECT_TRUE(Exists(loose));
    EXPECT_TRUE(Exists(link));
    EXPECT_TRUE(Exists(target + "/BrenuSearchTools_UdpCast.log"));
    EXPECT_EQ(deleter.CandidateCount(), 0u);
}

TEST_F(LogDeleteTest, MissingOrUnsetDirectoryGivesAnEmptyPass)
{
    Vant::CLogDelete deleter(clock);
    deleter.SetRetention(1);
    deleter.DeleteOldLogs(); // no directory set: never the working directory
    EXPECT_EQ(deleter.CandidateCount(), 0u);
    deleter.SetDirectory(tmp.dir() + "missing/");
    deleter.DeleteOldLogs();
    EXPECT_EQ(deleter.CandidateCount(), 0u);
    EXPECT_EQ(deleter.PassCount(), 2u);
}

TEST_F(LogDeleteTest, DirectoryThatCannotBeRemovedIsTriedAgainNextPass)
{
    const std::string day = MakeDir("20200101", Local(2020, 1, 1, 12, 0));
    const std::string sub = day + "/kept";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    Age(day, Local(2020, 1, 1, 12, 0));

    Vant::CLogDelete deleter(clock);
    deleter.SetRetention(30);
    deleter.SetDirectory(tmp.dir());
    deleter.DeleteOldLogs();
    EXPECT_TRUE(Exists(sub));
    EXPECT_FALSE(Exists(day + "/BrenuSearchTools_UdpCast.log")) << "emptied of its files";
    EXPECT_EQ(deleter.CandidateCount(), 1u);
    struct stat st;
    ASSERT_EQ(stat(day.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, Local(2020, 1, 1, 12, 0)) << "the files deleted do not make it young again";

    // The next pass tries again, with no help from outside.
    ASSERT_EQ(rmdir(sub.c_str()), 0);
    deleter.DeleteOldLogs();
    EXPECT_FALSE(Exists(day));
    EXPECT_EQ(deleter.CandidateCount(), 1u) << "each pass starts a fresh list";
}

// A file that cannot be deleted (on Windows: held open by a reader) keeps its
// directory and the files not yet reached. Here: a day directory the deleting
// user may not write. Root may write anything, so the pass runs as "nobody".
TEST_F(LogDeleteTest, FileThatCannotBeDeletedKeepsItsDirectoryForTheNextPass)
{
    const std::string day = MakeDir("20200101", Local(2020, 1, 1, 12, 0));
    ASSERT_TRUE(WriteFile(day + "/second.log", "2"));
    Age(day, Local(2020, 1, 1, 12, 0));

    const bool root = geteuid() == 0;
    constexpr uid_t kNobody = 65534;
    if (root && (chown(tmp.path().c_str(), kNobody, kNobody) != 0 || chown(day.c_str(), kNobody, kNobody) != 0))
        GTEST_SKIP() << "cannot hand the directory to an ordinary user";
    ASSERT_EQ(chmod(day.c_str(), 0555), 0);

    auto pass = [&] {
        pid_t pid = fork();
        if (pid == 0) {
            if (root && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
                _exit(77);
            Vant::CLogDelete deleter(clock);
            deleter.SetRetention(30);
            deleter.SetDirectory(tmp.dir());
            deleter.DeleteOldLogs();
            _exit(deleter.CandidateCount() == 1 ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    int rc = pass();
    if (rc == 77)
        GTEST_SKIP() << "cannot become an ordinary user here";
    ASSERT_EQ(rc, 0);
    if (Exists(day + "/second.log") == false && Exists(day + "/BrenuSearchTools_UdpCast.log") == false)
        GTEST_SKIP() << "this user can delete in a read-only directory";
    EXPECT_TRUE(Exists(day));

    ASSERT_EQ(chmod(day.c_str(), 0755), 0); // released
    ASSERT_EQ(pass(), 0);
    EXPECT_FALSE(Exists(day));
}

TEST_F(LogDeleteTest, EveryWakeGivesOnePassAndAWakeDuringAPassGivesNone)
{
    const std::string old = MakeDir("20200101", Local(2020, 1, 1, 12, 0));
    std::atomic<bool> holdPass{false};
    std::atomic<bool> inPass{false};
    clock->onNow = [&] {
        inPass = true;
        while (holdPass)
            std::this_thread::sleep_for(1ms);
    };
    Vant::CLogDelete deleter(clock);
    deleter.SetRetention(30);
    deleter.SetDirectory(tmp.dir());
    ASSERT_TRUE(deleter.Start());
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(deleter.PassCount(), 0u) << "parked until the first wake";

    holdPass = true;
    deleter.Resume();
    ASSERT_TRUE(WaitFor([&] { return inPass.load(); }));
    EXPECT_FALSE(deleter.IsSuspended());
    deleter.Resume(); // the daily request while the start pass runs: dropped
    holdPass = false;
    ASSERT_TRUE(WaitFor([&] { return deleter.IsSuspended(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(deleter.PassCount(), 1u);
    EXPECT_FALSE(Exists(old));

    deleter.Resume();
    ASSERT_TRUE(WaitFor([&] { return deleter.PassCount() == 2 && deleter.IsSuspended(); }));
    deleter.Terminate();
    EXPECT_TRUE(deleter.HasExited());
    EXPECT_EQ(deleter.PassCount(), 2u);
}

} // namespace
