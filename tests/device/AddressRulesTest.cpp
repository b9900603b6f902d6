// The rules for new network settings: what takes a device off the network or puts it
// in another host's place is found, in field order, and said plainly.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "device/AddressRules.h"
#include "device/DeviceCommand.h"

namespace {

NetworkSettings Settings(const char *address, const char *mask = "255.255.255.0", const char *gateway = "10.77.0.254",
                         const char *dns = "10.77.0.253")
{
    NetworkSettings s;
    s.address = address;
    s.subnetMask = mask;
    s.gateway = gateway;
    s.dns = dns;
    return s;
}

// The first issue's text, or "" when the settings pass.
std::string First(const NetworkSettings &settings)
{
    InterfaceAddress own;
    own.address = "10.77.0.1";
    const std::vector<SettingIssue> issues = CheckNewSettings(settings, {own});
    return issues.empty() ? std::string() : IssueText(settings, issues.front()).toStdString();
}

TEST(AddressRules, UnusableSettingsAreFoundAndNamed)
{
    EXPECT_EQ(First(Settings("10.77.0.7")), "");
    EXPECT_EQ(First(Settings("10.77.0.5", "255.255.255.252", "10.77.0.6")), ""); // a /30 has two hosts
    EXPECT_EQ(First(Settings("0.0.0.0")), "0.0.0.0 is the unspecified address");
    EXPECT_EQ(First(Settings("127.3.0.1")), "127.3.0.1 is a loopback address");
    EXPECT_EQ(First(Settings("224.0.0.9")), "224.0.0.9 is a multicast or reserved address");
    EXPECT_EQ(First(Settings("250.1.1.1")), "250.1.1.1 is a multicast or reserved address");
    EXPECT_EQ(First(Settings("255.255.255.255")), "255.255.255.255 is the broadcast address");
    EXPECT_EQ(First(Settings("10.77.0.0")), "10.77.0.0 is the network address of 10.77.0.0/24");
    EXPECT_EQ(First(Settings("10.77.0.255")), "10.77.0.255 is the broadcast address of 10.77.0.0/24");
    EXPECT_EQ(First(Settings("10.77.0.127", "255.255.255.128", "10.77.0.1")),
              "10.77.0.127 is the broadcast address of 10.77.0.0/25");
    EXPECT_EQ(First(Settings("10.77.0.1")), "10.77.0.1 is an address of this machine");
    EXPECT_EQ(First(Settings("10.77.0.7", "255.0.255.0")),
              "255.0.255.0 is not a subnet mask (its one bits must be contiguous, and there must be some)");
    EXPECT_EQ(First(Settings("10.77.0.7", "0.0.0.0")),
              "0.0.0.0 is not a subnet mask (its one bits must be contiguous, and there must be some)");
    EXPECT_EQ(First(Settings("10.77.0.7", "255.255.255.0", "10.77.1.1")), "gateway 10.77.1.1 lies outside 10.77.0.0/24");
    EXPECT_EQ(First(Settings("10.77.0.7", "255.255.255.0", "0.0.0.0")), "gateway 0.0.0.0 lies outside 10.77.0.0/24");
    EXPECT_EQ(First(Settings("10.77.0.7", "255.255.255.0", "10.77.0.254", "239.1.1.1")),
              "239.1.1.1 is a multicast or reserved address");

    // Every problem is found, in field order.
    InterfaceAddress own;
    own.address = "10.77.0.1";
    const std::vector<SettingIssue> all = CheckNewSettings(Settings("0.0.0.0", "255.0.255.0", "127.0.0.1", "0.0.0.0"), {own});
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].field, AddressField::Address);
    EXPECT_EQ(all[1].field, AddressField::SubnetMask);
    EXPECT_EQ(all[2].problem, SettingProblem::Loopback);
    EXPECT_EQ(all[3].field, AddressField::Dns);
}

} // namespace

TEST(DestinationProblem, OnlyAStrictUnicastLiteralTakesACommand)
{
    InterfaceAddress local;
    local.address = "10.77.0.1";
    local.device = "brw0";
    local.netmask = inet_addr("255.255.255.0");
    const LocalSubnets subnets{local};
    for (const char *good : {"10.77.0.2", "10.77.1.0", "192.168.1.255", "223.255.255.254"})
        EXPECT_EQ(DestinationProblem(good, subnets), QString()) << good;
    // Names (never resolved), loose literals, and addresses that reach no single host.
    for (const char *bad : {"localhost", "device.example", "", "10.77.0.02", "0x0a.1.1.1", "10.77.0.2 ", "0.1.2.3",
                            "127.0.0.1", "224.0.0.1", "240.0.0.1", "255.255.255.255", "10.77.0.0", "10.77.0.255"})
        EXPECT_NE(DestinationProblem(bad, subnets), QString()) << bad;
    // Without the subnet, its network address is an ordinary host of somewhere else.
    EXPECT_EQ(DestinationProblem("10.77.0.0", {}), QString());
}
