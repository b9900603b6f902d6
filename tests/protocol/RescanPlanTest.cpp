// How the search reads interface entries (label, subnet broadcast) and how a rescan
// pairs running searchers with the addresses the machine has now.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/RescanPlan.h"
#include "transport/InterfaceEntry.h"

namespace {

sockaddr_in V4(const char *text)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

std::string Text(in_addr_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// The subnet broadcast of one entry: its address, mask, ifa_broadaddr and flags.
std::string Broadcast(const char *address, const char *mask, const char *broadaddr,
                      unsigned flags = IFF_UP | IFF_BROADCAST)
{
    sockaddr_in a = V4(address), m = V4(mask), b = V4(broadaddr ? broadaddr : "0.0.0.0");
    ifaddrs entry{};
    entry.ifa_name = const_cast<char *>("eth0");
    entry.ifa_flags = flags;
    entry.ifa_addr = reinterpret_cast<sockaddr *>(&a);
    entry.ifa_netmask = reinterpret_cast<sockaddr *>(&m);
    entry.ifa_broadaddr = broadaddr ? reinterpret_cast<sockaddr *>(&b) : nullptr;
    const in_addr_t found = SubnetBroadcastOf(entry);
    return found == 0 ? "none" : Text(found);
}

InterfaceAddress At(const std::string &address, const std::string &device = "eth0")
{
    return InterfaceAddress{address, device, 0};
}

} // namespace

TEST(InterfaceEntry, DeviceAndSubnetBroadcastOfAnEntry)
{
    EXPECT_EQ(InterfaceOfLabel("eth0:1"), "eth0");
    EXPECT_EQ(InterfaceOfLabel("eth0:office:2"), "eth0");
    EXPECT_EQ(InterfaceOfLabel("enp0s31f6"), "enp0s31f6");

    // A configured broadcast address is taken as it is.
    EXPECT_EQ(Broadcast("10.1.2.3", "255.255.255.0", "10.1.2.255"), "10.1.2.255");
    EXPECT_EQ(Broadcast("10.1.2.3", "255.255.0.0", "10.1.2.127"), "10.1.2.127");
    // None configured (getifaddrs repeats the address, or gives nothing): the last
    // address of the subnet, which the kernel treats as its broadcast address.
    EXPECT_EQ(Broadcast("10.1.2.3", "255.255.255.0", "10.1.2.3"), "10.1.2.255");
    EXPECT_EQ(Broadcast("172.16.9.1", "255.255.240.0", nullptr), "172.16.15.255");
    EXPECT_EQ(Broadcast("10.1.2.3", "255.255.255.0", "255.255.255.255"), "10.1.2.255");
    // /30 still has one; /31 and /32 have none.
    EXPECT_EQ(Broadcast("10.1.2.5", "255.255.255.252", "10.1.2.5"), "10.1.2.7");
    EXPECT_EQ(Broadcast("10.1.2.4", "255.255.255.254", "10.1.2.4"), "none");
    EXPECT_EQ(Broadcast("10.1.2.4", "255.255.255.255", "10.1.2.4"), "none");
    // A point-to-point link reports its peer there, not a broadcast address.
    EXPECT_EQ(Broadcast("10.8.0.1", "255.255.255.255", "10.8.0.2", IFF_UP | IFF_POINTOPOINT), "none");
    EXPECT_EQ(Broadcast("10.8.0.1", "255.255.255.0", "10.8.0.2", IFF_UP | IFF_POINTOPOINT), "10.8.0.255");
}

TEST(RescanPlan, KeepsWhatStaysPairsDuplicatesInOrderAndRemovesWhatWent)
{
    const std::vector<InterfaceAddress> running{At("10.0.0.5"), At("10.0.0.6"), At("10.0.0.5"), At("10.0.0.7")};

    RescanPlan same = PlanRescan(running, running);
    EXPECT_EQ(same.kept, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(same.removed.empty());

    // 10.0.0.6 went, one 10.0.0.5 of two went, 10.0.0.9 came between the others.
    RescanPlan changed = PlanRescan(running, {At("10.0.0.5"), At("10.0.0.9"), At("10.0.0.7")});
    EXPECT_EQ(changed.kept, (std::vector<int>{0, -1, 3}));
    EXPECT_EQ(changed.removed, (std::vector<int>{1, 2}));

    // An address that moved to another interface, or whose subnet changed, is a new
    // one: its broadcast receivers belong to the old interface and subnet.
    InterfaceAddress otherSubnet = At("10.0.0.7");
    otherSubnet.broadcast = inet_addr("10.0.0.255");
    RescanPlan moved = PlanRescan(running, {At("10.0.0.5"), At("10.0.0.6", "eth1"), At("10.0.0.5"), otherSubnet});
    EXPECT_EQ(moved.kept, (std::vector<int>{0, -1, 2, -1}));
    EXPECT_EQ(moved.removed, (std::vector<int>{1, 3}));

    RescanPlan none = PlanRescan(running, {});
    EXPECT_TRUE(none.kept.empty());
    EXPECT_EQ(none.removed, (std::vector<int>{0, 1, 2, 3}));
}

// Which entries are searched, and how they make searchers: one per address and
// interface index, with every broadcast address its prefixes there have; none on a
// point-to-point link; an interface re-created under its name is another index.
TEST(SearchTargets, OnePerAddressAndInterfaceWithEveryPrefixBroadcast)
{
    const unsigned lan = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    auto entry = [](const char *address, const char *device, unsigned index, const char *broadcast, unsigned flags) {
        InterfaceAddress a{address, device, broadcast ? inet_addr(broadcast) : 0};
        a.index = index;
        a.flags = flags;
        return a;
    };
    EXPECT_EQ(UnsearchedReason(entry("10.0.0.5", "eth0", 2, nullptr, lan)), nullptr);
    EXPECT_STREQ(UnsearchedReason(entry("10.0.0.5", "eth0", 2, nullptr, lan & ~IFF_UP)), "interface down");
    EXPECT_STREQ(UnsearchedReason(entry("10.0.0.5", "eth0", 2, nullptr, lan & ~IFF_RUNNING)), "no link");
    EXPECT_STREQ(UnsearchedReason(entry("127.0.0.1", "lo", 1, nullptr, IFF_UP | IFF_RUNNING | IFF_LOOPBACK)),
                 "loopback");
    EXPECT_STREQ(UnsearchedReason(entry("10.0.0.5", "eth0", 2, nullptr, IFF_UP | IFF_RUNNING)), "no broadcast");
    EXPECT_STREQ(UnsearchedReason(entry("10.0.0.5", "eth0", 0, nullptr, lan)), "interface gone");

    const std::vector<SearchTarget> targets = SearchTargets(
        {entry("10.0.0.5", "br0", 2, "10.0.0.255", lan), entry("10.0.0.5", "br0", 2, "10.0.255.255", lan),
         entry("10.0.0.5", "eth1", 3, "10.0.0.255", lan), entry("10.8.0.1", "wg0", 4, nullptr, IFF_UP | IFF_POINTOPOINT),
         entry("10.0.0.5", "br0", 2, "10.0.0.255", lan)});
    const in_addr_t all = htonl(INADDR_BROADCAST);
    ASSERT_EQ(targets.size(), 3u);
    EXPECT_EQ(targets[0], (SearchTarget{"10.0.0.5", "br0", 2, {all, inet_addr("10.0.0.255"), inet_addr("10.0.255.255")}}));
    EXPECT_EQ(targets[1], (SearchTarget{"10.0.0.5", "eth1", 3, {all, inet_addr("10.0.0.255")}}));
    EXPECT_EQ(targets[2], (SearchTarget{"10.8.0.1", "wg0", 4, {}}));

    // The same name and address on a new index is a new searcher.
    const RescanPlan recreated = PlanRescan(targets, {SearchTarget{"10.0.0.5", "br0", 5, targets[0].broadcasts}});
    EXPECT_EQ(recreated.kept, (std::vector<int>{-1}));
    EXPECT_EQ(recreated.removed, (std::vector<int>{0, 1, 2}));
}
