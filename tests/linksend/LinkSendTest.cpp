#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LinkSend.h"
#include "SandboxFixture.h"

extern char **environ;

namespace {

using namespace linksend;

// Runs the helper with `payload` on its standard input; its exit status.
int RunLinkSend(const std::vector<std::string> &arguments, const std::string &payload)
{
    // Written before the start, as the program does: a helper that refuses before
    // reading cannot make the write meet a closed pipe.
    int input[2];
    if (pipe(input) != 0)
        return -1;
    const bool whole = write(input[1], payload.data(), payload.size()) == static_cast<ssize_t>(payload.size());
    close(input[1]);
    if (!whole) {
        close(input[0]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    std::vector<std::string> all{LINK_SEND_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int BoundUdp(const char *address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = sandbox::Ipv4(address, port);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string Receive(int fd, int timeoutMs, sockaddr_in *from = nullptr)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return {};
    char buffer[2048];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&sender), &length);
    if (from)
        *from = sender;
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

TEST(LinkSendParts, PortHeldOnlyBySocketsOfTheUser)
{
    // 10.77.0.1 is 0A4D0001, printed as the host-order number 01004D0A; 0x9C40 = 40000.
    const std::string table =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 01004D0A:9C40 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 11\n"
        "   1: 00000000:9C41 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 12\n"
        "   2: 01004D0A:9C42 00000000:0000 07 00000000:00000000 00:00000000 00000000  1001        0 13\n"
        "   3: 02004D0A:9C43 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 14\n";
    EXPECT_TRUE(PortHeldBy(table, 0x0a4d0001, 40000, 1000));
    EXPECT_TRUE(PortHeldBy(table, 0x0a4d0001, 40001, 1000));  // bound to the wildcard address
    EXPECT_FALSE(PortHeldBy(table, 0x0a4d0001, 40002, 1000)); // another user's socket
    EXPECT_FALSE(PortHeldBy(table, 0x0a4d0001, 40003, 1000)); // bound to another address
    EXPECT_FALSE(PortHeldBy(table, 0x0a4d0001, 40004, 1000)); // held by nobody
}

TEST(LinkSendParts, ArgumentsOutsideTheContractAreRefused)
{
    auto parse = [](std::vector<const char *> argv) {
        Request request;
        std::string error;
        return ParseArguments(static_cast<int>(argv.size()), argv.data(), request, error);
    };
    EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", "10.77.0.10", "8000", "10.77.0.1", "40000"}), kSent);
    EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", "10.77.0.10", "8000", "10.77.0.1"}), kUsage);
    EXPECT_EQ(parse({"-3", "02:77:b0:00:00:01", "10.77.0.10", "8000", "10.77.0.1", "40000"}), kUsage);
    EXPECT_EQ(parse({"3", "ff:ff:ff:ff:ff:ff", "10.77.0.10", "8000", "10.77.0.1", "40000"}), kBadMac);
    EXPECT_EQ(parse({"3", "00:00:00:00:00:00", "10.77.0.10", "8000", "10.77.0.1", "40000"}), kBadMac);
    EXPECT_EQ(parse({"3", "02:77:b0:00:00", "10.77.0.10", "8000", "10.77.0.1", "40000"}), kBadMac);
    for (const char *destination : {"255.255.255.255", "127.0.0.1", "224.0.0.1", "0.1.2.3", "10.77.0", "host"})
        EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", destination, "8000", "10.77.0.1", "40000"}), kBadDestination)
            << destination;
    EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", "10.77.0.10", "65536", "10.77.0.1", "40000"}), kBadDestination);
}

class LinkSendTest : public SwitchedLanTest {};

TEST_F(LinkSendTest, FrameReachesOnlyTheBoxOfTheMacAndItsAnswerTheCallersSocket)
{
    const int first = net->AddBox("10.77.0.10/24"), second = net->AddBox("10.77.0.10/24");
    ASSERT_TRUE(first && second);
    int boxSocket[2] = {-1, -1};
    net->RunInBox(first, [&] { boxSocket[0] = BoundUdp("10.77.0.10", 8000); });
    net->RunInBox(second, [&] { boxSocket[1] = BoundUdp("10.77.0.10", 8000); });
    const int own = BoundUdp("10.77.0.1", 40000);
    ASSERT_TRUE(boxSocket[0] >= 0 && boxSocket[1] >= 0 && own >= 0);
    const std::string index = std::to_string(if_nametoindex(sandbox::kWorkstationLink));

    ASSERT_EQ(RunLinkSend({index, sandbox::BoxMac(second), "10.77.0.10", "8000", "10.77.0.1", "40000"}, "ping"),
              kSent);
    sockaddr_in from{};
    EXPECT_EQ(Receive(boxSocket[1], 2000, &from), "ping");
    EXPECT_EQ(from.sin_addr.s_addr, sandbox::Ipv4("10.77.0.1", 0).sin_addr.s_addr);
    EXPECT_EQ(ntohs(from.sin_port), 40000);
    EXPECT_EQ(Receive(boxSocket[0], 200), ""); // the other box at the address heard nothing
    sendto(boxSocket[1], "pong", 4, 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
    EXPECT_EQ(Receive(own, 2000), "pong");

    // Refusals: a source address of another host, a port no socket of ours holds, more
    // than one datagram, a MAC that is no unicast MAC. Nothing reaches either box.
    EXPECT_EQ(RunLinkSend({index, sandbox::BoxMac(first), "10.77.0.10", "8000", "10.77.0.2", "40000"}, "x"),
              kForeignSource);
    EXPECT_EQ(RunLinkSend({index, sandbox::BoxMac(first), "10.77.0.10", "8000", "10.77.0.1", "40001"}, "x"),
              kForeignPort);
    EXPECT_EQ(RunLinkSend({index, sandbox::BoxMac(first), "10.77.0.10", "8000", "10.77.0.1", "40000"},
                          std::string(kMaxPayload + 1, 'x')),
              kBadPayload);
    EXPECT_EQ(RunLinkSend({index, sandbox::BoxMac(first), "10.77.0.10", "8000", "10.77.0.1", "40000"}, ""),
              kBadPayload);
    EXPECT_EQ(RunLinkSend({index, "ff:ff:ff:ff:ff:ff", "10.77.0.10", "8000", "10.77.0.1", "40000"}, "x"), kBadMac);
    EXPECT_EQ(RunLinkSend({"1", sandbox::BoxMac(first), "10.77.0.10", "8000", "127.0.0.1", "40000"}, "x"),
              kForeignSource); // loopback is no source for a device
    EXPECT_EQ(Receive(boxSocket[0], 200) + Receive(boxSocket[1], 200), "");
    for (int fd : {boxSocket[0], boxSocket[1], own})
        close(fd);
}

} // namespace
