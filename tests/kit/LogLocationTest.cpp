// The log folder rule shared by every program of the tool: beside the executable
// unless it is installed in the system hierarchy or the folder cannot be written,
// otherwise the XDG state directory.
#include "kit/LogLocation.h"

#include <gtest/gtest.h>

#include <string>

#include "KitTestUtil.h"
#include "kit/FileUtil.h"

namespace {

using kittest::TempDir;
using kittest::WriteFile;

TEST(LogLocation, CandidatesFollowTheExecutableAndTheStateHome)
{
    Vant::LogLocations l = Vant::LogLocationsFor("/opt/brenu/", "/var/tmp/state", "/home/op");
    EXPECT_EQ(l.besideExecutable, "/opt/brenu/log/");
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
    for (const char *dir : {"/usr/bin/", "/usr/local/bin/", "/bin/", "/sbin/", "/usr/lib/brenu/"})
        EXPECT_EQ(Vant::LogLocationsFor(dir, "/s", "/h").besideExecutable, "") << dir;
    for (const char *dir : {"/usrdata/bin/", "/home/op/bin/", "/opt/usr/bin/", "/tmp/x/usr/bin/"})
        EXPECT_EQ(Vant::LogLocationsFor(dir, "/s", "/h").besideExecutable, std::string(dir) + "log/") << dir;
    EXPECT_EQ(Vant::LogLocationsFor("", "/s", "/h").besideExecutable, "") << "unknown executable directory";
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

} // namespace
