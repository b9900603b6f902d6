#include "kit/ByteBuffer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string Content(const ByteBuffer &b) { return b.Data() ? std::string(b.Data(), b.Length()) : std::string(); }
bool IsEmpty(const ByteBuffer &b) { return b.Data() == nullptr && b.Length() == 0 && b.Capacity() == 0; }

TEST(ByteBuffer, ResetAndAppendAllocateExactly) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("KTRW", 4));
    ASSERT_TRUE(buffer.Append("0001", 4));
    EXPECT_EQ(Content(buffer), "KTRW0001");
    EXPECT_EQ(buffer.Capacity(), 8u);
    EXPECT_FALSE(buffer.Append(nullptr, 3));
    EXPECT_EQ(Content(buffer), "KTRW0001") << "a missing source changes nothing";

    ASSERT_TRUE(buffer.Reset(5, true));
    EXPECT_EQ(Content(buffer), std::string(5, '\0'));
    EXPECT_EQ(buffer.Capacity(), 5u);
    ASSERT_TRUE(buffer.Reset(0, false));
    EXPECT_TRUE(IsEmpty(buffer));
}

TEST(ByteBuffer, AppendFromItsOwnContentSurvivesTheReallocation) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("0123456789", 10));
    ASSERT_TRUE(buffer.Append(buffer.Data() + 2, 8));
    EXPECT_EQ(Content(buffer), "012345678923456789");
}

TEST(ByteBuffer, DiscardKeepsTheTailAndGivesBackOnlyLargeIdleBlocks) {
    ByteBuffer small;
    ASSERT_TRUE(small.Append("garbageKTRW0001", 15));
    small.Discard(7);
    EXPECT_EQ(Content(small), "KTRW0001");
    small.Discard(100);
    EXPECT_EQ(small.Capacity(), 15u) << "a small block stays for the next datagram";
    ASSERT_TRUE(small.Append("xy", 2));
    EXPECT_EQ(small.Capacity(), 15u);

    const std::uint32_t big = 4 * ByteBuffer::kKeptCapacity;
    std::string bytes(big, 'x');
    bytes[big - 2] = 'y';
    ByteBuffer large;
    ASSERT_TRUE(large.Append(bytes.data(), big));
    large.Discard(big / 2);
    EXPECT_EQ(large.Capacity(), big) << "half used: kept";
    large.Discard(big / 2 - 3);
    EXPECT_EQ(Content(large), "xyx");
    EXPECT_EQ(large.Capacity(), 3u);
    ASSERT_TRUE(large.Append(bytes.data(), big));
    large.Discard(UINT32_MAX);
    EXPECT_TRUE(IsEmpty(large));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SANITIZED_BUILD 1
#endif
#endif

#ifndef SANITIZED_BUILD
// In a child whose address space is capped, so that large allocations really
// fail (the sanitizers abort on allocation failure instead, so plain build only).
TEST(ByteBufferDeathTest, FailedAllocationLeavesTheBufferEmpty) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ByteBuffer buffer;
            bool ok = buffer.Append("kept?", 5);
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = 1024ull * 1024 * 1024;
            ok = ok && setrlimit(RLIMIT_AS, &limit) == 0;
            ok = ok && !buffer.Append(std::string(16, 'x').data(), UINT32_MAX - 10) && IsEmpty(buffer);
            ok = ok && buffer.Append("again", 5) && Content(buffer) == "again";
            ok = ok && !buffer.Reset(3u * 1024 * 1024 * 1024, false) && IsEmpty(buffer);
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
