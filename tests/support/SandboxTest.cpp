#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "SandboxFixture.h"

namespace {

std::set<std::string> InterfaceNames()
{
    std::set<std::string> names;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *i = list; i; i = i->ifa_next)
            names.insert(i->ifa_name);
        freeifaddrs(list);
    }
    return names;
}

} // namespace

TEST_F(SandboxTest, OnlyLoopbackAndTheVethLinkExist)
{
    EXPECT_EQ(InterfaceNames(), (std::set<std::string>{"lo", sandbox::kWorkstationLink}));
    std::set<std::string> device;
    net->RunInDevice([&] { device = InterfaceNames(); });
    EXPECT_EQ(device, (std::set<std::string>{"lo", sandbox::kDeviceLink}));
}

TEST_F(SandboxTest, LimitedBroadcastFromWorkstationReachesDeviceNamespace)
{
    int listener = sandbox::DeviceUdpSocket(*net);
    ASSERT_GE(listener, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any = sandbox::Ipv4("0.0.0.0", 19010);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&any), sizeof any), 0) << std::strerror(errno);

    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    ASSERT_EQ(setsockopt(sender, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    sockaddr_in local = sandbox::Ipv4(sandbox::kWorkstationAddress, 19009);
    ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr *>(&local), sizeof local), 0) << std::strerror(errno);
    sockaddr_in all = sandbox::Ipv4("255.255.255.255", 19010);
    const char payload[] = "hello devices";
    ASSERT_EQ(sendto(sender, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&all), sizeof all),
              static_cast<ssize_t>(sizeof payload))
        << std::strerror(errno);

    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char got[64];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(listener, got, sizeof got, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof payload));
    EXPECT_EQ(std::memcmp(got, payload, sizeof payload), 0);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    EXPECT_STREQ(text, sandbox::kWorkstationAddress);
    EXPECT_EQ(ntohs(from.sin_port), 19009);
    close(sender);
    close(listener);
}

TEST_F(SandboxTest, ExtraDeviceAddressesAnswerByUnicast)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    int device = -1;
    net->RunInDevice([&] {
        device = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = sandbox::Ipv4("10.77.0.3", 5000);
        if (bind(device, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(device);
            device = -1;
        }
    });
    ASSERT_GE(device, 0);
    int ws = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = sandbox::Ipv4("10.77.0.3", 5000);
    ASSERT_EQ(sendto(ws, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 1);
    pollfd p{device, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 2000), 1);
    close(ws);
    close(device);
}
