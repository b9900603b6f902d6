// The on-link probe in the sandbox: addresses held in the device namespace answer,
// free ones do not, in the workstation's subnet and in a foreign one alike.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

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
    const ProbeInterface workstation{A("10.77.0.1"), static_cast<int>(if_nametoindex("brw0"))};
    ASSERT_GT(workstation.ifindex, 0);

    const std::vector<uint32_t> candidates{A("10.77.0.2"), A("10.77.0.7"), A("10.77.0.9"), A("10.77.1.5"),
                                           A("10.77.1.6")};
    const kit::KeyedSet<uint32_t> used =
        ProbeNeighbours(candidates, {workstation}, 500);
    EXPECT_EQ(used, (kit::KeyedSet<uint32_t>{A("10.77.0.2"), A("10.77.0.7"), A("10.77.1.5")}));
}

} // namespace
