#include "kit/FileUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitTestUtil.h"

namespace {

using kittest::Exists;
using kittest::ReadFile;
using kittest::TempDir;
using kittest::WriteFile;

bool IsDir(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(FileUtil, AddBackslashAppendsTheSeparatorOnce)
{
    EXPECT_EQ(Vant::AddBackslash("/var/log"), "/var/log/");
    EXPECT_EQ(Vant::AddBackslash("/var/log/"), "/var/log/");
    EXPECT_EQ(Vant::AddBackslash(""), "/");
    EXPECT_EQ(Vant::AddBackslash("/"), "//"); // one character: always appended
    EXPECT_EQ(Vant::AddBackslash("a"), "a/");
}

TEST(FileUtil, ModuleDirectoryHoldsTheRunningProgram)
{
    std::string dir = Vant::GetModuleDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(Vant::FileExists(dir + "test_file_util"));
}

TEST(FileUtil, CreateDirectoryPathMakesEveryMissingLevel)
{
    TempDir tmp;
    const std::string nested = tmp.dir() + "log/20200513/deep";
    EXPECT_TRUE(Vant::CreateDirectoryPath(nested));
    EXPECT_TRUE(IsDir(tmp.dir() + "log"));
    EXPECT_TRUE(IsDir(nested));
    EXPECT_TRUE(Vant::CreateDirectoryPath(nested + "/")) << "all present: still true";
    EXPECT_TRUE(Vant::CreateDirectoryPath("/")) << "the root exists";

    // A level that cannot be made: the levels before it stay, the result is false.
    EXPECT_FALSE(Vant::CreateDirectoryPath(tmp.dir() + "made/" + std::string(300, 'n') + "/below"));
    EXPECT_TRUE(IsDir(tmp.dir() + "made"));
    // A file in the way.
    ASSERT_TRUE(WriteFile(tmp.dir() + "file", "x"));
    EXPECT_FALSE(Vant::CreateDirectoryPath(tmp.dir() + "file/below"));
}

TEST(FileUtil, PathOnVolumeNeedsAnExistingDirectoryOfSaneLength)
{
    TempDir tmp;
    ASSERT_TRUE(WriteFile(tmp.dir() + "f", ""));
    EXPECT_TRUE(Vant::IsPathOnVolume(tmp.path()));
    EXPECT_TRUE(Vant::IsPathOnVolume(tmp.dir()));
    EXPECT_FALSE(Vant::IsPathOnVolume(tmp.dir() + "f"));
    EXPECT_FALSE(Vant::IsPathOnVolume(tmp.dir() + "missing"));
    EXPECT_FALSE(Vant::IsPathOnVolume("/")) << "shorter than 2 characters";
    std::string longPath = tmp.dir();
    while (longPath.size() < 260)
        longPath += "d";
    EXPECT_FALSE(Vant::IsPathOnVolume(longPath));
}

TEST(FileUtil, FileQueriesOnMissingEmptyAndFullFiles)
{
    TempDir tmp;
    const std::string f = tmp.dir() + "a.log";
    EXPECT_FALSE(Vant::FileExists(f));
    EXPECT_EQ(Vant::GetFileLength(f), 0);
    EXPECT_FALSE(Vant::DeleteFilePath(f));

    ASSERT_TRUE(Vant::CreateEmptyFile(f));
    EXPECT_TRUE(Vant::FileExists(f));
    EXPECT_EQ(Vant::GetFileLength(f), 0);

    ASSERT_TRUE(WriteFile(f, "hello"));
    EXPECT_EQ(Vant::GetFileLength(f), 5);
    ASSERT_TRUE(Vant::CreateEmptyFile(f)) << "cuts an existing file";
    EXPECT_EQ(ReadFile(f), "");
    EXPECT_TRUE(Vant::DeleteFilePath(f));
    EXPECT_FALSE(Vant::FileExists(f));

    // A directory is not a file, though Linux lets fopen open it for reading.
    EXPECT_FALSE(Vant::FileExists(tmp.path()));
    EXPECT_EQ(Vant::GetFileLength(tmp.path()), 0);
    EXPECT_FALSE(Vant::CreateEmptyFile(tmp.dir() + "missing/x.log"));

    // Nor is a FIFO, and asking about one must not wait for a writer to appear.
    const std::string fifo = tmp.dir() + "fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    bool exists = true;
    int32_t length = -1;
    EXPECT_TRUE(kittest::ReturnsDespiteFifo(fifo, [&] { exists = Vant::FileExists(fifo); }));
    EXPECT_TRUE(kittest::ReturnsDespiteFifo(fifo, [&] { length = Vant::GetFileLength(fifo); }));
    EXPECT_FALSE(exists);
    EXPECT_EQ(length, 0);
}

TEST(FileUtil, LengthOfAHugeFileIsCappedNotWrapped)
{
    TempDir tmp;
    const std::string f = tmp.dir() + "huge.log";
    int fd = open(f.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    // Sparse: takes no space. 3 GiB would wrap to a negative 32-bit length.
    int rc = ftruncate(fd, 3LL * 1024 * 1024 * 1024);
    close(fd);
    if (rc != 0)
        GTEST_SKIP() << "no sparse files here";
    EXPECT_EQ(Vant::GetFileLength(f), INT32_MAX);
}

TEST(FileUtil, RemoveDirectoryFilesDeletesFilesThenTheDirectory)
{
    TempDir tmp;
    const std::string day = tmp.dir() + "20200401";
    ASSERT_EQ(mkdir(day.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(day + "/a.log", "a"));
    ASSERT_TRUE(WriteFile(day + "/_a-120000.log.gz", "b"));
    EXPECT_TRUE(Vant::RemoveDirectoryFiles(day));
    EXPECT_FALSE(Exists(day));
    EXPECT_FALSE(Vant::RemoveDirectoryFiles(day)) << "gone";
    EXPECT_FALSE(Vant::RemoveDirectoryFiles(tmp.dir() + "never"));
}

TEST(FileUtil, RemoveDirectoryFilesLeavesSubdirectoriesAndLinks)
{
    TempDir tmp;
    const std::string day = tmp.dir() + "day";
    ASSERT_EQ(mkdir(day.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((day + "/sub").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(day + "/sub/inner.log", "keep"));
    ASSERT_TRUE(WriteFile(day + "/a.log", "a"));
    EXPECT_FALSE(Vant::RemoveDirectoryFiles(day)) << "the directory cannot go while it holds sub/";
    EXPECT_FALSE(Exists(day + "/a.log"));
    EXPECT_EQ(ReadFile(day + "/sub/inner.log"), "keep");

    // A link is not followed: its target survives, and so does the link.
    const std::string other = tmp.dir() + "other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(other + "/precious", "p"));
    const std::string linked = tmp.dir() + "linked";
    ASSERT_EQ(mkdir(linked.c_str(), 0755), 0);
    ASSERT_EQ(symlink((other + "/precious").c_str(), (linked + "/to-file").c_str()), 0);
    ASSERT_EQ(symlink(other.c_str(), (linked + "/to-dir").c_str()), 0);
    EXPECT_FALSE(Vant::RemoveDirectoryFiles(linked));
    EXPECT_EQ(ReadFile(other + "/precious"), "p");
    EXPECT_TRUE(Exists(linked + "/to-file"));

    // Nor is a link given as the directory itself, with or without a final "/".
    const std::string alias = tmp.dir() + "alias";
    ASSERT_EQ(symlink(other.c_str(), alias.c_str()), 0);
    EXPECT_FALSE(Vant::RemoveDirectoryFiles(alias));
    EXPECT_FALSE(Vant::RemoveDirectoryFiles(alias + "/"));
    EXPECT_EQ(ReadFile(other + "/precious"), "p");
    EXPECT_TRUE(Exists(alias));
}

} // namespace
