// Address plans: what the walk from the start address skips and what it keeps.
#include <gtest/gtest.h>

#include "device/AddressPlan.h"

namespace {

Ipv4 A(const char *text)
{
    Ipv4 address = 0;
    EXPECT_TRUE(ParseIpv4(QString::fromLatin1(text), address)) << text;
    return address;
}

TEST(AddressPlan, SkipsAddressesOfListedDevicesThisMachineAndAnsweringHosts)
{
    AddressPlanInput input;
    input.start = A("10.77.0.1");
    input.mask = A("255.255.255.0");
    // Three devices on one factory address, one more listed device on .3.
    input.devices = {A("192.168.1.10"), A("192.168.1.10"), A("192.168.1.10")};
    input.listed = {A("192.168.1.10"), A("192.168.1.10"), A("192.168.1.10"), A("10.77.0.3")};
    input.local = {A("10.77.0.1")};
    input.answering = {A("10.77.0.4")};
    const std::vector<Ipv4> planned = PlanAddresses(input);
    EXPECT_EQ(planned, (std::vector<Ipv4>{A("10.77.0.2"), A("10.77.0.5"), A("10.77.0.6")}));
}

TEST(AddressPlan, DevicesAlreadyInPlaceKeepTheirAddresses)
{
    AddressPlanInput input;
    input.start = A("10.77.0.2");
    input.mask = A("255.255.255.0");
    input.devices = {A("10.77.0.2"), A("10.77.0.3")};
    input.listed = input.devices;
    // The devices answer the probe for their own addresses.
    input.answering = {A("10.77.0.2"), A("10.77.0.3")};
    EXPECT_EQ(PlanAddresses(input), input.devices);

    // Two devices that share an address: only the first may keep it.
    input.devices = {A("10.77.0.2"), A("10.77.0.2")};
    input.listed = input.devices;
    input.answering.clear();
    EXPECT_EQ(PlanAddresses(input), (std::vector<Ipv4>{A("10.77.0.3"), A("10.77.0.4")}));
}

TEST(AddressPlan, StopsAtTheEndOfTheSubnetAndSkipsItsBroadcastAddress)
{
    AddressPlanInput input;
    input.start = A("10.77.0.253");
    input.mask = A("255.255.255.0");
    input.devices = {0, 0, 0};
    EXPECT_EQ(PlanAddresses(input), (std::vector<Ipv4>{A("10.77.0.253"), A("10.77.0.254"), 0}));

    input.start = A("255.255.255.254");
    input.mask = A("255.255.255.255");
    EXPECT_EQ(PlanAddresses(input), (std::vector<Ipv4>{A("255.255.255.254"), 0, 0}));
}

TEST(AddressPlan, AddressTextAndMasks)
{
    Ipv4 address = 0;
    EXPECT_FALSE(ParseIpv4("300.1.1.1", address));
    EXPECT_FALSE(ParseIpv4("1.2.3", address));
    // Device text with a NUL after a valid address is not that address.
    EXPECT_FALSE(ParseIpv4(QString::fromLatin1("10.77.0.2\0x", 11), address));
    EXPECT_EQ(Ipv4Text(A("10.77.4.255")), "10.77.4.255");
    EXPECT_TRUE(IsContiguousMask(A("255.255.252.0")));
    EXPECT_FALSE(IsContiguousMask(A("255.0.255.0")));
}

} // namespace
