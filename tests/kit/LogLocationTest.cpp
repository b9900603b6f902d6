// The log folder rule shared by every program of the tool: beside the executable
// unless it is installed in the system hierarchy or the folder cannot be written,
// otherwise the XDG state directory.
#include "kit/LogLocation.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "KitTestUtil.h"
#include "kit/FileUtil.h"

namespace {

using kittest::TempDir;
using kittest::WriteFile;

unsigned Mode(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
}

TEST(LogLocation, CandidatesFollowTheExecutableAndTheStateHome)
{
    Vant::LogLocations l = Vant::LogLocationsFor("/srv/brenu/", "/var/tmp/state", "/home/op");
    EXPECT_EQ(l.besideExecutable, "/srv/brenu/log/");
    EXPECT_EQ(l.stateDirectory, "/var/tmp/state/BrenuSearchTools/log/");

    // XDG_STATE_HOME counts only when absolute; unset, empty or relative falls back
    // to ~/.local/state.
    for (const char *xdg : {static_cast<const char *>(nullptr), "", "state", "./state"}) {
        l = Vant::LogLocationsFor("/opt/brenu/", xdg, "/home/op/");
        EXPECT_EQ(l.stateDirectory, "/home/op/.local/state/BrenuSearchTools/log/") << (xdg ? xdg : "(unset)");
    }
    l = Vant::LogLocationsFor("/opt/brenu/", nullptr, nullptr);
    EXPECT_EQ(l.stateDirectory, "") << "no home: no state directory";
    l = Vant::LogLocationsFor("/opt/brenu/", "", "relative/home");
    EXPECT_EQ(l.stateDirectory, "");
}

TEST(LogLocation, AnInstalledProgramNeverLogsBesideItself)
{
    for (const char *dir : {"/usr/bin/", "/usr/local/bin/", "/bin/", "/sbin/", "/usr/lib/brenu/", "/opt/brenu/bin/"})
        EXPECT_EQ(Vant::LogLocationsFor(dir, "/s", "/h").besideExecutable, "") << dir;
    for (const char *dir : {"/usrdata/bin/", "/home/op/bin/", "/optional/bin/", "/tmp/x/usr/bin/"})
        EXPECT_EQ(Vant::LogLocationsFor(dir, "/s", "/h").besideExecutable, std::string(dir) + "log/") << dir;
    EXPECT_EQ(Vant::LogLocationsFor("", "/s", "/h").besideExecutable, "") << "unknown executable directory";

    // Outside those hierarchies only a folder of the user's own is a portable copy.
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    EXPECT_TRUE(Vant::IsOwnProgramFolder(tmp.dir(), geteuid()));
    EXPECT_FALSE(Vant::IsOwnProgramFolder(tmp.dir(), geteuid() + 1)) << "someone else's folder";
    EXPECT_FALSE(Vant::IsOwnProgramFolder(tmp.dir() + "missing/", geteuid()));
}

TEST(LogLocation, ChoosesTheFirstFolderThatCanBeMadeAndWritten)
{
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    Vant::LogLocations l;
    l.besideExecutable = tmp.dir() + "app/log/";
    l.stateDirectory = tmp.dir() + "state/BrenuSearchTools/log/";

    EXPECT_EQ(Vant::ChooseLogDirectory(l), l.besideExecutable);
    EXPECT_TRUE(Vant::IsDirectoryPath(l.besideExecutable));
    EXPECT_FALSE(Vant::IsDirectoryPath(tmp.dir() + "state")) << "the second choice is not made in advance";

    // A file where the folder would go blocks it for every user, root included.
    const std::string blockedApp = tmp.dir() + "blocked-app";
    ASSERT_TRUE(WriteFile(blockedApp, "x"));
    l.besideExecutable = blockedApp + "/log/";
    EXPECT_EQ(Vant::ChooseLogDirectory(l), l.stateDirectory);
    EXPECT_TRUE(Vant::IsDirectoryPath(l.stateDirectory)) << "missing parents are created";

    l.stateDirectory = blockedApp + "/state/log/";
    EXPECT_EQ(Vant::ChooseLogDirectory(l), "") << "neither can be made";
    l.besideExecutable.clear();
    EXPECT_EQ(Vant::ChooseLogDirectory(l), "") << "an unused candidate is skipped, not tried";
    l.stateDirectory.clear();
    EXPECT_EQ(Vant::ChooseLogDirectory(l), "");
}

// In the state folder everything the log makes is the user's alone; beside a portable
// program the umask decides. A folder an older version left open is closed.
TEST(LogLocation, StateFolderIsPrivateAndPortableFolderKeepsTheUmask)
{
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    const mode_t oldMask = umask(022);
    Vant::LogLocations l;
    l.stateDirectory = tmp.dir() + "state/BrenuSearchTools/log/";
    ASSERT_EQ(Vant::ChooseLogDirectory(l), l.stateDirectory);
    EXPECT_EQ(Mode(tmp.dir() + "state"), 0700u) << "a missing base folder is made 0700 too";
    EXPECT_EQ(Mode(l.stateDirectory), 0700u);
    ASSERT_TRUE(Vant::CreateDirectoryPath(l.stateDirectory + "20200513/"));
    ASSERT_TRUE(Vant::CreateEmptyFile(l.stateDirectory + "20200513/LOG.log"));
    EXPECT_EQ(Mode(l.stateDirectory + "20200513"), 0700u);
    EXPECT_EQ(Mode(l.stateDirectory + "20200513/LOG.log"), 0600u);

    ASSERT_EQ(chmod((tmp.dir() + "state/BrenuSearchTools").c_str(), 0755), 0);
    ASSERT_EQ(chmod(l.stateDirectory.c_str(), 0755), 0);
    ASSERT_EQ(Vant::ChooseLogDirectory(l), l.stateDirectory);
    EXPECT_EQ(Mode(tmp.dir() + "state/BrenuSearchTools"), 0700u) << "an open folder of the tool is closed";
    EXPECT_EQ(Mode(l.stateDirectory), 0700u);

    l.besideExecutable = tmp.dir() + "app/log/";
    ASSERT_EQ(Vant::ChooseLogDirectory(l), l.besideExecutable);
    ASSERT_TRUE(Vant::CreateDirectoryPath(l.besideExecutable + "20200513/"));
    ASSERT_TRUE(Vant::CreateEmptyFile(l.besideExecutable + "20200513/LOG.log"));
    EXPECT_EQ(Mode(l.besideExecutable + "20200513"), 0755u);
    EXPECT_EQ(Mode(l.besideExecutable + "20200513/LOG.log"), 0644u);
    umask(oldMask);
}

// A home below a parent that others may enter but not list (/home at 0711): the
// folders are made all the same. Root reads every folder, so an ordinary user runs it.
TEST(LogLocation, StateFolderIsMadeBelowAParentThatCannotBeListed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a home to an ordinary user";
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    constexpr uid_t kNobody = 65534;
    const std::string home = tmp.dir() + "home/op";
    ASSERT_EQ(chmod(tmp.path().c_str(), 0711), 0);
    ASSERT_EQ(mkdir((tmp.dir() + "home").c_str(), 0711), 0);
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), kNobody, kNobody), 0);

    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(77);
        if (access((tmp.dir() + "home").c_str(), R_OK) == 0)
            _exit(78); // the parent is readable after all: nothing to show
        const Vant::LogLocations l = Vant::LogLocationsFor("", nullptr, home.c_str());
        _exit(Vant::ChooseLogDirectory(l) == home + "/.local/state/BrenuSearchTools/log/" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 78)
        GTEST_SKIP() << "cannot act as an ordinary user here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Mode(home + "/.local"), 0700u);
}

} // namespace
