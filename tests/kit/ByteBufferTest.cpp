#include "kit/ByteBuffer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRENU_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BRENU_SANITIZED 1
#endif
#endif

namespace {

std::string Content(const ByteBuffer &buffer) {
    return buffer.Data() ? std::string(buffer.Data(), buffer.Length()) : std::string();
}

bool IsEmpty(const ByteBuffer &buffer) {
    return buffer.Data() == nullptr && buffer.Length() == 0 && buffer.Capacity() == 0;
}

TEST(ByteBuffer, ResetAllocatesExactlyAndZeroFillsOnRequest) {
    ByteBuffer buffer;
    EXPECT_TRUE(IsEmpty(buffer));

    ASSERT_TRUE(buffer.Append("abc", 3));
    ASSERT_TRUE(buffer.Reset(5, true));
    EXPECT_EQ(buffer.Length(), 5u);
    EXPECT_EQ(buffer.Capacity(), 5u);
    EXPECT_EQ(Content(buffer), std::string(5, '\0'));

    ASSERT_TRUE(buffer.Reset(0, false));
    EXPECT_TRUE(IsEmpty(buffer));
}

TEST(ByteBuffer, AppendGrowsToTheExactLengthAndKeepsOrder) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("KTRW", 4));
    EXPECT_EQ(buffer.Capacity(), 4u);
    ASSERT_TRUE(buffer.Append("0001", 4));
    EXPECT_EQ(buffer.Capacity(), 8u);
    EXPECT_EQ(Content(buffer), "KTRW0001");

    // Nothing to copy is fine even without a source; a missing source is refused
    // without touching the content.
    EXPECT_TRUE(buffer.Append(nullptr, 0));
    EXPECT_FALSE(buffer.Append(nullptr, 3));
    EXPECT_EQ(Content(buffer), "KTRW0001");

    // Space left by Discard is reused without growing.
    buffer.Discard(4);
    ASSERT_TRUE(buffer.Append("xy", 2));
    EXPECT_EQ(buffer.Capacity(), 8u);
    EXPECT_EQ(Content(buffer), "0001xy");
}

TEST(ByteBuffer, AppendFromItsOwnContentSurvivesTheReallocation) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("0123456789", 10));
    // The source lies in the block that must grow; the copy must read the moved bytes.
    ASSERT_TRUE(buffer.Append(buffer.Data() + 2, 8));
    EXPECT_EQ(Content(buffer), "012345678923456789");
    ASSERT_TRUE(buffer.Append(buffer.Data(), buffer.Length()));
    EXPECT_EQ(Content(buffer), "012345678923456789012345678923456789");
}

TEST(ByteBuffer, DiscardKeepsTheTailInOrder) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("garbageKTRW0001", 15));
    buffer.Discard(7);
    EXPECT_EQ(Content(buffer), "KTRW0001");
    EXPECT_EQ(buffer.Capacity(), 15u);
    buffer.Discard(0);
    EXPECT_EQ(Content(buffer), "KTRW0001");
    buffer.Discard(100);
    EXPECT_EQ(buffer.Length(), 0u);
    EXPECT_EQ(buffer.Capacity(), 15u) << "a small block is kept for the next datagram";
}

TEST(ByteBuffer, DiscardGivesBackALargeMostlyUnusedBlock) {
    const std::uint32_t big = 4 * ByteBuffer::kKeptCapacity;
    std::string bytes(big, 'x');
    bytes[big - 2] = 'y';

    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append(bytes.data(), big));
    buffer.Discard(big / 2);  // half used: kept
    EXPECT_EQ(buffer.Capacity(), big);
    buffer.Discard(big / 2 - 3);  // three bytes left of a large block: shrunk, content kept
    EXPECT_EQ(Content(buffer), "xyx");
    EXPECT_EQ(buffer.Capacity(), 3u);

    ASSERT_TRUE(buffer.Append(bytes.data(), big));
    buffer.Discard(UINT32_MAX);
    EXPECT_TRUE(IsEmpty(buffer));
}

TEST(ByteBuffer, MoveLeavesTheSourceEmpty) {
    ByteBuffer first;
    ASSERT_TRUE(first.Append("abc", 3));
    ByteBuffer second(std::move(first));
    EXPECT_TRUE(IsEmpty(first));
    EXPECT_EQ(Content(second), "abc");

    ByteBuffer third;
    ASSERT_TRUE(third.Append("zz", 2));
    third = std::move(second);
    EXPECT_TRUE(IsEmpty(second));
    EXPECT_EQ(Content(third), "abc");
}

#ifndef BRENU_SANITIZED
// Runs in a child process whose address space is capped, so that large
// allocations really fail. The sanitizers need their own huge reservations and
// abort on allocation failure, so these run only in the plain build.
TEST(ByteBufferDeathTest, FailedAllocationsLeaveTheBufferEmpty) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ByteBuffer buffer;
            bool ok = buffer.Append("kept?", 5);
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = 1024ull * 1024 * 1024;  // 1 GiB: far below the requests below
            ok = ok && setrlimit(RLIMIT_AS, &limit) == 0;
            ok = ok && !buffer.Append(std::string(16, 'x').data(), UINT32_MAX - 10) && IsEmpty(buffer);
            ok = ok && buffer.Append("again", 5) && Content(buffer) == "again";
            ok = ok && !buffer.Reset(3u * 1024 * 1024 * 1024, false) && IsEmpty(buffer);
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ByteBuffer, AppendPastFourGibibytesFailsInsteadOfWrapping) {
    ByteBuffer buffer;
    // Reserved lazily; the pages are never touched.
    if (!buffer.Reset(UINT32_MAX - 4, false))
        GTEST_SKIP() << "cannot reserve 4 GiB here";
    EXPECT_FALSE(buffer.Append("12345678", 8));
    EXPECT_TRUE(IsEmpty(buffer));
}
#endif

}  // namespace
