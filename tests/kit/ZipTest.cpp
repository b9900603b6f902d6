#include "kit/Zip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/stat.h>

#include "KitTestUtil.h"

namespace {

using kittest::Exists;
using kittest::Gunzip;
using kittest::GzipTestPasses;
using kittest::ReadFile;
using kittest::TempDir;
using kittest::WriteFile;

std::string LogLikeText(std::size_t bytes)
{
    std::string text;
    unsigned seed = 7;
    while (text.size() < bytes) {
        seed = seed * 1103515245u + 12345u;
        text += "[2020-05-13 15:30:12] {\"api\":\"/search\",\"serial\":" + std::to_string(seed % 100000) + "}\r\n";
    }
    text.resize(bytes);
    return text;
}

TEST(Zip, CompressesAcrossManyPiecesIntoValidGzip)
{
    TempDir tmp;
    const std::string src = tmp.dir() + "a.log", dst = tmp.dir() + "a.log.gz";
    const std::string text = LogLikeText(16384 * 5 + 123);
    ASSERT_TRUE(WriteFile(src, text));
    Vant::CZip zip;
    ASSERT_TRUE(zip.CompressFile(src, dst));
    std::string back;
    ASSERT_TRUE(Gunzip(dst, &back));
    EXPECT_EQ(back, text);
    EXPECT_TRUE(GzipTestPasses(dst));
    EXPECT_LT(ReadFile(dst).size(), text.size() / 2);
    EXPECT_EQ(ReadFile(src), text) << "the source is never changed";
}

TEST(Zip, EmptySourceGivesAnEmptyValidGzip)
{
    TempDir tmp;
    const std::string src = tmp.dir() + "empty.log", dst = tmp.dir() + "empty.log.gz";
    ASSERT_TRUE(WriteFile(src, ""));
    ASSERT_TRUE(Vant::CZip().CompressFile(src, dst));
    std::string back = "not cleared";
    ASSERT_TRUE(Gunzip(dst, &back));
    EXPECT_EQ(back, "");
    EXPECT_TRUE(GzipTestPasses(dst));
    const std::string raw = ReadFile(dst);
    ASSERT_GE(raw.size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(raw[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(raw[1]), 0x8b);
}

TEST(Zip, ExistingTargetIsReplaced)
{
    TempDir tmp;
    const std::string src = tmp.dir() + "a.log", dst = tmp.dir() + "a.gz";
    ASSERT_TRUE(WriteFile(src, "new content\r\n"));
    ASSERT_TRUE(WriteFile(dst, std::string(100000, 'z')));
    ASSERT_TRUE(Vant::CZip().CompressFile(src, dst));
    std::string back;
    ASSERT_TRUE(Gunzip(dst, &back));
    EXPECT_EQ(back, "new content\r\n");
    EXPECT_TRUE(GzipTestPasses(dst));
}

TEST(Zip, FailuresAreReportedAndAMissingSourceMakesNoTarget)
{
    TempDir tmp;
    Vant::CZip zip;
    const std::string dst = tmp.dir() + "x.gz";
    EXPECT_FALSE(zip.CompressFile(tmp.dir() + "missing.log", dst));
    EXPECT_FALSE(Exists(dst));
    EXPECT_FALSE(zip.CompressFile(tmp.path(), dst)) << "a directory is no source";
    EXPECT_FALSE(Exists(dst));
    const std::string fifo = tmp.dir() + "fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    bool compressed = true;
    EXPECT_TRUE(kittest::ReturnsDespiteFifo(fifo, [&] { compressed = zip.CompressFile(fifo, dst); }))
        << "a FIFO is no source, and opening it must not wait for a writer";
    EXPECT_FALSE(compressed);
    EXPECT_FALSE(Exists(dst));

    const std::string src = tmp.dir() + "a.log";
    ASSERT_TRUE(WriteFile(src, "abc"));
    EXPECT_FALSE(zip.CompressFile(src, tmp.dir() + "no/such/dir/a.gz"));
    EXPECT_EQ(ReadFile(src), "abc");
}

TEST(Zip, FullDiskIsAFailureNotATruncatedSuccess)
{
    // /dev/full accepts the open and refuses every write: the final flush in
    // gzclose fails, which must not be reported as a good copy.
    struct stat st;
    if (stat("/dev/full", &st) != 0)
        GTEST_SKIP() << "no /dev/full";
    TempDir tmp;
    const std::string src = tmp.dir() + "a.log";
    ASSERT_TRUE(WriteFile(src, "short text that fits in one piece\r\n"));
    EXPECT_FALSE(Vant::CZip().CompressFile(src, "/dev/full"));
}

} // namespace
