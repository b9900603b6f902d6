#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
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

// A hand-made interface list, handed out by FakeGet.
struct FakeList {
    std::deque<sockaddr_in> v4;
    std::deque<sockaddr_in6> v6;
    std::deque<sockaddr> other;
    std::deque<ifaddrs> entries;

    void Add(const char *name, const sockaddr *address)
    {
        ifaddrs entry{};
        entry.ifa_name = const_cast<char *>(name);
        entry.ifa_addr = const_cast<sockaddr *>(address);
        if (!entries.empty())
            entries.back().ifa_next = nullptr;
        entries.push_back(entry);
        for (size_t i = 0; i + 1 < entries.size(); ++i)
            entries[i].ifa_next = &entries[i + 1];
    }
    void AddV4(const char *name, const char *ip)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &a.sin_addr);
        v4.push_back(a);
        Add(name, reinterpret_cast<const sockaddr *>(&v4.back()));
    }
    void AddV6(const char *name, const char *ip)
    {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, ip, &a.sin6_addr);
        v6.push_back(a);
        Add(name, reinterpret_cast<const sockaddr *>(&v6.back()));
    }
    void AddLink(const char *name)
    {
        sockaddr a{};
        a.sa_family = AF_PACKET;
        other.push_back(a);
        Add(name, &other.back());
    }
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
    *list = g_list && !g_list->entries.empty() ? &g_list->entries.front() : nullptr;
    return 0;
}

void FakeRelease(ifaddrs *)
{
    ++g_released;
}

const InterfaceListCalls kFake{FakeGet, FakeRelease};

class LocalAddressesFake : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_list = &list;
        g_error = 0;
        g_released = 0;
    }
    void TearDown() override { g_list = nullptr; }

    // A document that already holds records, to see that a call starts afresh.
    void PreFill() { result.SetDataString(0, "IPAddr", "192.0.2.99"); }

    FakeList list;
    Vant::CProtocalJson result;
};

} // namespace

TEST_F(LocalAddressesFake, KeepsIpv4AddressesInOrderSkippingUnassignedAndOtherFamilies)
{
    list.AddLink("lo");
    list.AddV4("lo", "127.0.0.1");
    list.AddLink("eth0");
    list.Add("eth0", nullptr); // an interface without any address
    list.AddV4("eth0", "10.0.0.5");
    list.AddV6("eth0", "fe80::1");
    list.AddV4("eth0", "192.168.1.7");
    list.AddV4("eth1", "0.0.0.0"); // no address assigned
    list.AddV4("eth2", "10.0.0.5"); // the same address twice is kept twice
    PreFill();

    ASSERT_TRUE(ReadLocalAddresses(result, kFake));
    EXPECT_EQ(Recorded(result), (std::vector<std::string>{"127.0.0.1", "10.0.0.5", "192.168.1.7", "10.0.0.5"}));
    EXPECT_EQ(g_released, 1);
    // The list is an envelope with the records; it is never sent.
    EXPECT_EQ(result.ToString(), "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"params\":{\"data\":["
                                 "{\"IPAddr\":\"127.0.0.1\"},{\"IPAddr\":\"10.0.0.5\"},"
                                 "{\"IPAddr\":\"192.168.1.7\"},{\"IPAddr\":\"10.0.0.5\"}]}}");
}

TEST_F(LocalAddressesFake, AListWithoutIpv4AddressesGivesTrueAndNoRecord)
{
    list.AddLink("lo");
    list.AddV6("lo", "::1");
    list.AddV4("eth1", "0.0.0.0");
    PreFill();
    ASSERT_TRUE(ReadLocalAddresses(result, kFake));
    EXPECT_EQ(result.GetDataCount(), 0);
}

TEST_F(LocalAddressesFake, FailuresPrintTheirMessageAndLeaveOnlyTheEnvelope)
{
    struct Case {
        int error;
        bool emptyList;
        std::string printed;
    };
    const std::vector<Case> cases{
        {EACCES, false, "GetAdaptersInfo failed with error " + std::to_string(EACCES) + "\n"},
        {ENOMEM, false, "Memory allocation error\n"},
        {0, true, "GetAdaptersInfo sizing failed with error " + std::to_string(ENODATA) + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.printed);
        g_error = c.error;
        FakeList empty;
        g_list = c.emptyList ? &empty : &list;
        list.AddV4("eth0", "10.0.0.5");
        PreFill();
        testing::internal::CaptureStdout();
        EXPECT_FALSE(ReadLocalAddresses(result, kFake));
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
