// The on-link probe in the sandbox: addresses held in the device namespace answer,
// free ones do not, in the workstation's subnet and in a foreign one alike.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "SandboxFixture.h"
#include "transport/LinuxNeighbourProbe.h"

namespace {

uint32_t A(const char *text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return ntohl(address.s_addr);
}

class NeighbourProbeTest : public SandboxTest {};

TEST_F(NeighbourProbeTest, FindsTheAddressesThatAnswerOnTheLink)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.7/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.1.5/24"));
    const std::vector<LocalSubnet> local = ReadLocalSubnets();
    ASSERT_EQ(local.size(), 1u); // brw0 only: loopback is left out
    EXPECT_EQ(local[0].address, A("10.77.0.1"));
    EXPECT_EQ(local[0].mask, A("255.255.255.0"));

    const std::vector<uint32_t> candidates{A("10.77.0.2"), A("10.77.0.7"), A("10.77.0.9"), A("10.77.1.5"),
                                           A("10.77.1.6")};
    const std::unordered_set<uint32_t> used =
        ProbeNeighbours(candidates, ProbeInterfacesFor(A("10.77.0.0"), A("255.255.255.0"), local), 500);
    EXPECT_EQ(used, (std::unordered_set<uint32_t>{A("10.77.0.2"), A("10.77.0.7"), A("10.77.1.5")}));
}

} // namespace
