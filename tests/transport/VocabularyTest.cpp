// Socket vocabulary: error texts, address conversion, remote-host copy, connection
// ids, the state lock and the Send/SendBuffers argument rules.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "transport/Address.h"
#include "transport/ClientOperations.h"
#include "transport/ConnectionId.h"
#include "transport/SocketTypes.h"
#include "transport/StateLock.h"

TEST(SocketErrorText, KnownAndUnknownCodes)
{
    EXPECT_STREQ(SocketErrorText(SocketError::Ok), "SUCCESS");
    EXPECT_STREQ(SocketErrorText(SocketError::IllegalState), "Illegal State");
    EXPECT_STREQ(SocketErrorText(SocketError::WorkerThreadCreateFailed), "Create Worker Thread Fail");
    EXPECT_STREQ(SocketErrorText(SocketError::SendFailed), "Send Data Fail");
    EXPECT_STREQ(SocketErrorText(SocketError::SslNotReady), "SSL environment not ready");
    EXPECT_STREQ(SocketErrorText(static_cast<SocketError>(15)), "UNKNOWN ERROR");
    EXPECT_STREQ(SocketErrorText(static_cast<SocketError>(-1)), "UNKNOWN ERROR");
    EXPECT_STREQ(SocketErrorText(static_cast<SocketError>(100)), "UNKNOWN ERROR");
}

TEST(GuessAddressFamily, RecognisesOnlyWellFormedLiterals)
{
    EXPECT_EQ(GuessAddressFamily("192.168.1.10"), AF_INET);
    EXPECT_EQ(GuessAddressFamily("0.0.0.0"), AF_INET);
    EXPECT_EQ(GuessAddressFamily("255.255.255.255"), AF_INET);
    EXPECT_EQ(GuessAddressFamily("192.168.1.256"), AF_UNSPEC);
    EXPECT_EQ(GuessAddressFamily("1.2.3.4x"), AF_UNSPEC);
    EXPECT_EQ(GuessAddressFamily("1.2.3.4 "), AF_UNSPEC); // anything after the fourth number
    EXPECT_EQ(GuessAddressFamily("1.2.3"), AF_UNSPEC);
    EXPECT_EQ(GuessAddressFamily("1.-2.3.4"), AF_UNSPEC);
    EXPECT_EQ(GuessAddressFamily("99999999999999999999.1.1.1"), AF_UNSPEC); // overflow is no wrap-around
    EXPECT_EQ(GuessAddressFamily("fe80::1"), AF_INET6);
    EXPECT_EQ(GuessAddressFamily("::"), AF_INET6);
    EXPECT_EQ(GuessAddressFamily(""), AF_UNSPEC);
    EXPECT_EQ(GuessAddressFamily(nullptr), AF_UNSPEC);
    EXPECT_EQ(GuessAddressFamily("device.local"), AF_UNSPEC);
}

TEST(ParseAddressLiteral, NeedsAFamilyAndAMatchingText)
{
    SockAddr a{};
    errno = 0;
    EXPECT_FALSE(ParseAddressLiteral("10.77.0.1", 19009, a)); // no family stored
    EXPECT_EQ(errno, SysError::AddressNotAvailable);

    a.addr.sa_family = AF_INET;
    ASSERT_TRUE(ParseAddressLiteral("10.77.0.1", 19009, a));
    EXPECT_EQ(a.Family(), AF_INET);
    EXPECT_EQ(a.Port(), 19009);
    EXPECT_EQ(a.v4.sin_addr.s_addr, inet_addr("10.77.0.1"));

    a.Clear();
    a.addr.sa_family = AF_INET;
    EXPECT_FALSE(ParseAddressLiteral("fe80::1", 1, a));
    a.addr.sa_family = AF_INET;
    EXPECT_FALSE(ParseAddressLiteral(" 10.77.0.1", 1, a));

    a.Clear();
    a.addr.sa_family = AF_INET6;
    ASSERT_TRUE(ParseAddressLiteral("fe80::1%1", 0, a));
    EXPECT_EQ(a.Family(), AF_INET6);
    EXPECT_EQ(a.Port(), 0);
    EXPECT_EQ(a.v6.sin6_scope_id, 1u);
}

TEST(ResolveAddress, LiteralsNamesAndFailures)
{
    SockAddr a{};
    ASSERT_TRUE(ResolveAddress("10.77.0.2", 19010, a));
    EXPECT_EQ(a.Family(), AF_INET);
    EXPECT_EQ(a.Port(), 19010);

    ASSERT_TRUE(ResolveAddress("::1", 7, a));
    EXPECT_EQ(a.Family(), AF_INET6);
    EXPECT_EQ(a.Port(), 7);

    // Resolved from the hosts file; the port is stored with the first result.
    ASSERT_TRUE(ResolveAddress("localhost", 19010, a));
    EXPECT_TRUE(a.Family() == AF_INET || a.Family() == AF_INET6);
    EXPECT_EQ(a.Port(), 19010);

    errno = 0;
    EXPECT_FALSE(ResolveAddress("no-such-host.invalid", 1, a));
    EXPECT_EQ(errno, SysError::HostNotFound);
    EXPECT_TRUE(a.IsZero());
    EXPECT_FALSE(ResolveAddress("", 1, a));
    EXPECT_EQ(errno, SysError::HostNotFound);
    EXPECT_FALSE(ResolveAddress(nullptr, 1, a));
}

TEST(AddressToText, LengthsCountTheTerminator)
{
    SockAddr a{};
    a.addr.sa_family = AF_INET;
    ASSERT_TRUE(ParseAddressLiteral("10.77.0.1", 19009, a));

    char text[64];
    int32_t length = sizeof text;
    uint16_t port = 0;
    ASSERT_TRUE(AddressToText(a, text, length, port));
    EXPECT_STREQ(text, "10.77.0.1");
    EXPECT_EQ(length, 10);
    EXPECT_EQ(port, 19009);

    char small[4];
    length = sizeof small;
    port = 0;
    EXPECT_FALSE(AddressToText(a, small, length, port));
    EXPECT_EQ(length, 16);
    EXPECT_EQ(port, 19009); // written anyway

    SockAddr v6{};
    v6.addr.sa_family = AF_INET6;
    ASSERT_TRUE(ParseAddressLiteral("fe80::1", 5, v6));
    length = sizeof small;
    EXPECT_FALSE(AddressToText(v6, small, length, port));
    EXPECT_EQ(length, 46);
    length = sizeof text;
    ASSERT_TRUE(AddressToText(v6, text, length, port));
    EXPECT_STREQ(text, "fe80::1");
    EXPECT_EQ(length, 8);

    SockAddr none{};
    length = sizeof text;
    EXPECT_FALSE(AddressToText(none, text, length, port));
}

TEST(CopyRemoteHost, ExactLengthAndOneShort)
{
    char buffer[32];
    int32_t length = 10; // "10.77.0.2" needs 10
    uint16_t port = 0;
    EXPECT_FALSE(CopyRemoteHost("", 5, buffer, length, port));

    length = 9;
    EXPECT_FALSE(CopyRemoteHost("10.77.0.2", 19010, buffer, length, port));
    EXPECT_EQ(length, 10);
    EXPECT_EQ(port, 0);

    length = 10;
    ASSERT_TRUE(CopyRemoteHost("10.77.0.2", 19010, buffer, length, port));
    EXPECT_STREQ(buffer, "10.77.0.2");
    EXPECT_EQ(length, 10);
    EXPECT_EQ(port, 19010);
}

TEST(SendArguments, LimitsAndGatherTotals)
{
    const uint8_t bytes[2000] = {};
    EXPECT_EQ(CheckSendArguments(nullptr, 10, 1472), SysError::InvalidParameter);
    EXPECT_EQ(CheckSendArguments(bytes, 0, 1472), SysError::InvalidParameter);
    EXPECT_EQ(CheckSendArguments(bytes, -1, 1472), SysError::InvalidParameter);
    EXPECT_EQ(CheckSendArguments(bytes, 1473, 1472), SysError::InvalidParameter);
    EXPECT_EQ(CheckSendArguments(bytes, 1472, 1472), 0);

    int32_t total = -1;
    const GatherBuffer twoBig[] = {{1000, bytes}, {1000, bytes}};
    EXPECT_EQ(GatherTotal(twoBig, 2, 1472, total), SysError::IncorrectSize);
    const GatherBuffer empty[] = {{0, bytes}, {0, bytes}};
    EXPECT_EQ(GatherTotal(empty, 2, 1472, total), SysError::IncorrectSize);
    EXPECT_EQ(GatherTotal(nullptr, 2, 1472, total), SysError::InvalidParameter);
    EXPECT_EQ(GatherTotal(twoBig, 0, 1472, total), SysError::InvalidParameter);

    // Lengths are read as signed: "negative" pieces are skipped, not added.
    const GatherBuffer mixed[] = {{100, bytes}, {0xFFFFFFFFu, bytes}, {0, nullptr}, {372, bytes}};
    ASSERT_EQ(GatherTotal(mixed, 4, 1472, total), 0);
    EXPECT_EQ(total, 472);
    const GatherBuffer exact[] = {{1000, bytes}, {472, bytes}};
    ASSERT_EQ(GatherTotal(exact, 2, 1472, total), 0);
    EXPECT_EQ(total, 1472);
    // Huge pieces cannot overflow the running total into an accepted size.
    const GatherBuffer huge[] = {{0x7FFFFFFFu, bytes}, {0x7FFFFFFFu, bytes}, {10, bytes}};
    EXPECT_EQ(GatherTotal(huge, 3, 0x7FFFFFFF, total), SysError::IncorrectSize);
}

TEST(ConnectionId, StartsAtOneAndSkipsZeroOnWrap)
{
    std::atomic<uint32_t> counter{0};
    EXPECT_EQ(NextConnectionIdFrom(counter), 1u);
    EXPECT_EQ(NextConnectionIdFrom(counter), 2u);
    counter = std::numeric_limits<uint32_t>::max() - 1;
    EXPECT_EQ(NextConnectionIdFrom(counter), std::numeric_limits<uint32_t>::max());
    EXPECT_EQ(NextConnectionIdFrom(counter), 1u);

    const uint32_t a = NextConnectionId();
    const uint32_t b = NextConnectionId();
    EXPECT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
}

TEST(ConnectionId, UniqueAcrossThreads)
{
    std::vector<std::vector<uint32_t>> seen(4);
    std::vector<std::thread> threads;
    for (auto &ids : seen)
        threads.emplace_back([&ids] {
            for (int i = 0; i < 10000; ++i)
                ids.push_back(NextConnectionId());
        });
    for (auto &t : threads)
        t.join();
    std::vector<uint32_t> all;
    for (auto &ids : seen)
        all.insert(all.end(), ids.begin(), ids.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST(StateLock, ExcludesUnderContention)
{
    StateLock lock;
    long counter = 0; // guarded by the lock only
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                StateLockGuard guard(lock);
                ++counter;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_FALSE(lock.IsHeld());
}
