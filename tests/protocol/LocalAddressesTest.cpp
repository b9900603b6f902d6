#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "SandboxFixture.h"
#include "protocol/Json.h"
#include "protocol/LocalAddresses.h"
#include "protocol/UdpCastGroup.h"

namespace {

std::vector<std::string> Recorded(Vant::CProtocalJson &result)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < result.GetDataCount(); ++i)
        addresses.push_back(Vant::ValueToString(result.GetDataValue(static_cast<unsigned>(i), "IPAddr")));
    return addresses;
}

// A hand-made interface list: "" for an entry without address, "link" for a
// link-layer entry, an IPv4 or IPv6 literal otherwise.
struct FakeList {
    explicit FakeList(const std::vector<std::string> &addresses) : storage(addresses.size()), entries(addresses.size())
    {
        for (size_t i = 0; i < addresses.size(); ++i) {
            const std::string &a = addresses[i];
            sockaddr_storage &s = storage[i];
            if (a == "link") {
                s.ss_family = AF_PACKET;
            } else if (a.find(':') != std::string::npos) {
                auto *v6 = reinterpret_cast<sockaddr_in6 *>(&s);
                v6->sin6_family = AF_INET6;
                inet_pton(AF_INET6, a.c_str(), &v6->sin6_addr);
            } else {
                auto *v4 = reinterpret_cast<sockaddr_in *>(&s);
                v4->sin_family = AF_INET;
                inet_pton(AF_INET, a.c_str(), &v4->sin_addr);
            }
            entries[i].ifa_name = const_cast<char *>("eth0");
            entries[i].ifa_addr = a.empty() ? nullptr : reinterpret_cast<sockaddr *>(&s);
            entries[i].ifa_next = i + 1 < addresses.size() ? &entries[i + 1] : nullptr;
        }
    }
    std::vector<sockaddr_storage> storage;
    std::vector<ifaddrs> entries;
};

FakeList *g_list = nullptr;
int g_error = 0;
int g_released = 0;

int FakeGet(ifaddrs **list)
{
    if (g_error != 0) {
        errno = g_error;
        return -1;
    }
    *list = g_list->entries.empty() ? nullptr : g_list->entries.data();
    return 0;
}

void FakeRelease(ifaddrs *)
{
    ++g_released;
}

// Reads the fake list into a document that already holds a record, to see that
// every call starts afresh.
bool Read(FakeList &list, int error, Vant::CProtocalJson &result)
{
    g_list = &list;
    g_error = error;
    g_released = 0;
    result.SetDataString(0, "IPAddr", "192.0.2.99");
    return ReadLocalAddresses(result, InterfaceListCalls{FakeGet, FakeRelease});
}

} // namespace

TEST(LocalAddresses, KeepsIpv4AddressesInOrderSkippingUnassignedAndOtherFamilies)
{
    FakeList list({"link", "127.0.0.1", "link", "", "10.0.0.5", "fe80::1", "192.168.1.7", "0.0.0.0", "10.0.0.5"});
    Vant::CProtocalJson result;
    ASSERT_TRUE(Read(list, 0, result));
    // Loopback and the duplicate are kept; the group skips 127.0.0.1 itself.
    EXPECT_EQ(Recorded(result), (std::vector<std::string>{"127.0.0.1", "10.0.0.5", "192.168.1.7", "10.0.0.5"}));
    EXPECT_EQ(g_released, 1);
    EXPECT_EQ(result.ToString(), "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"params\":{\"data\":["
                                 "{\"IPAddr\":\"127.0.0.1\"},{\"IPAddr\":\"10.0.0.5\"},"
                                 "{\"IPAddr\":\"192.168.1.7\"},{\"IPAddr\":\"10.0.0.5\"}]}}");

    FakeList none({"link", "::1", "0.0.0.0"});
    ASSERT_TRUE(Read(none, 0, result));
    EXPECT_EQ(result.GetDataCount(), 0);
}

TEST(LocalAddresses, FailuresPrintTheirMessageAndLeaveOnlyTheEnvelope)
{
    FakeList list({"10.0.0.5"});
    FakeList empty({});
    struct Case {
        FakeList *list;
        int error;
        std::string printed;
    };
    const Case cases[] = {
        {&list, EACCES, "GetAdaptersInfo failed with error " + std::to_string(EACCES) + "\n"},
        {&list, ENOMEM, "Memory allocation error\n"},
        {&empty, 0, "GetAdaptersInfo sizing failed with error " + std::to_string(ENODATA) + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.printed);
        Vant::CProtocalJson result;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(Read(*c.list, c.error, result));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(result.ToString(), "{\"version\":0,\"kind\":0,\"sessionId\":\"0\"}");
        EXPECT_EQ(g_released, 0);
    }
}

class LocalAddressesSandbox : public SandboxTest {};

TEST_F(LocalAddressesSandbox, ListsLoopbackAndEveryAddressOfTheLinkInOrder)
{
    // Each in a subnet of its own: the kernel lists further addresses of one subnet
    // (secondaries) after all first addresses of the link.
    ASSERT_TRUE(net->AddWorkstationAddress("10.77.3.1/24"));
    ASSERT_TRUE(net->AddWorkstationAddress("10.77.4.1/24"));
    Vant::CProtocalJson result;
    ASSERT_TRUE(QUdpCastGroup::GetLocalAddresses(result));
    EXPECT_EQ(Recorded(result), (std::vector<std::string>{"127.0.0.1", "10.77.0.1", "10.77.3.1", "10.77.4.1"}));
}
