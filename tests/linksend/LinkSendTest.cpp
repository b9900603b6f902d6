#include <arpa/inet.h>
#include <sys/stat.h>
#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "LinkSend.h"
#include "SandboxFixture.h"

extern char **environ;

namespace {

using namespace linksend;

// Runs the helper with `payload` on its standard input and `socket` (when not -1) on
// descriptor 3; its exit status.
int RunLinkSend(const std::vector<std::string> &arguments, const std::string &payload, int socket)
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
    if (socket >= 0)
        posix_spawn_file_actions_adddup2(&actions, socket, kSocketDescriptor);
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

TEST(LinkSendParts, OnlyHostsOfTheInterfacesSubnetsAreDestinations)
{
    const uint32_t own = 0x0a4d0001, slash24 = 0xffffff00; // 10.77.0.1/24
    EXPECT_TRUE(HostOfSubnet(0x0a4d000a, own, slash24));
    EXPECT_FALSE(HostOfSubnet(0x0a4d00ff, own, slash24)); // the subnet's broadcast address
    EXPECT_FALSE(HostOfSubnet(0x0a4d0000, own, slash24)); // its network address
    EXPECT_FALSE(HostOfSubnet(own, own, slash24));        // the interface itself
    EXPECT_FALSE(HostOfSubnet(0x08080808, own, slash24)); // off the link
    EXPECT_FALSE(HostOfSubnet(0x0a4d0105, own, slash24)); // a neighbouring subnet
    EXPECT_TRUE(HostOfSubnet(0x0a4d0000, 0x0a4d0001, 0xfffffffe)); // /31: both are hosts
}

TEST(LinkSendParts, ArgumentsOutsideTheContractAreRefused)
{
    auto parse = [](std::vector<const char *> argv) {
        Request request;
        std::string error;
        return ParseArguments(static_cast<int>(argv.size()), argv.data(), request, error);
    };
    EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", "10.77.0.10", "8000"}), kSent);
    // The source is the handed-over socket's, never an argument.
    EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", "10.77.0.10", "8000", "10.77.0.1", "40000"}), kUsage);
    EXPECT_EQ(parse({"-3", "02:77:b0:00:00:01", "10.77.0.10", "8000"}), kUsage);
    EXPECT_EQ(parse({"3", "ff:ff:ff:ff:ff:ff", "10.77.0.10", "8000"}), kBadMac);
    EXPECT_EQ(parse({"3", "00:00:00:00:00:00", "10.77.0.10", "8000"}), kBadMac);
    EXPECT_EQ(parse({"3", "02:77:b0:00:00", "10.77.0.10", "8000"}), kBadMac);
    for (const char *destination : {"255.255.255.255", "127.0.0.1", "224.0.0.1", "0.1.2.3", "10.77.0", "host"})
        EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", destination, "8000"}), kBadDestination) << destination;
    EXPECT_EQ(parse({"3", "02:77:b0:00:00:01", "10.77.0.10", "65536"}), kBadDestination);
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

    ASSERT_EQ(RunLinkSend({index, sandbox::BoxMac(second), "10.77.0.10", "8000"}, "ping", own), kSent);
    sockaddr_in from{};
    EXPECT_EQ(Receive(boxSocket[1], 2000, &from), "ping");
    EXPECT_EQ(from.sin_addr.s_addr, sandbox::Ipv4("10.77.0.1", 0).sin_addr.s_addr);
    EXPECT_EQ(ntohs(from.sin_port), 40000); // the handed-over socket's port
    EXPECT_EQ(Receive(boxSocket[0], 200), ""); // the other box at the address heard nothing
    sendto(boxSocket[1], "pong", 4, 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
    EXPECT_EQ(Receive(own, 2000), "pong");

    // Refusals: no socket, a socket bound to no one address, a socket that is no UDP
    // socket, a socket of an address of another interface, destinations that are no
    // host of the interface's subnet (its broadcast and network address, an off-link
    // address), more than one datagram, a MAC that is no unicast MAC. Nothing reaches
    // either box.
    const int wildcard = BoundUdp("0.0.0.0", 40001);
    const int stream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int loopback = BoundUdp("127.0.0.1", 40002);
    ASSERT_TRUE(wildcard >= 0 && stream >= 0 && loopback >= 0);
    const std::string mac = sandbox::BoxMac(first);
    EXPECT_EQ(RunLinkSend({index, mac, "10.77.0.10", "8000"}, "x", -1), kBadSocket);
    EXPECT_EQ(RunLinkSend({index, mac, "10.77.0.10", "8000"}, "x", wildcard), kBadSocket);
    EXPECT_EQ(RunLinkSend({index, mac, "10.77.0.10", "8000"}, "x", stream), kBadSocket);
    EXPECT_EQ(RunLinkSend({index, mac, "10.77.0.10", "8000"}, "x", loopback), kForeignSource);
    for (const char *destination : {"10.77.0.255", "10.77.0.0", "8.8.8.8", "10.77.1.5"})
        EXPECT_EQ(RunLinkSend({index, mac, destination, "8000"}, "x", own), kBadDestination) << destination;
    EXPECT_EQ(RunLinkSend({index, mac, "10.77.0.10", "8000"}, std::string(kMaxPayload + 1, 'x'), own), kBadPayload);
    EXPECT_EQ(RunLinkSend({index, mac, "10.77.0.10", "8000"}, "", own), kBadPayload);
    EXPECT_EQ(RunLinkSend({index, "ff:ff:ff:ff:ff:ff", "10.77.0.10", "8000"}, "x", own), kBadMac);
    EXPECT_EQ(Receive(boxSocket[0], 200) + Receive(boxSocket[1], 200), "");
    for (int fd : {wildcard, stream, loopback})
        close(fd);
    for (int fd : {boxSocket[0], boxSocket[1], own})
        close(fd);
}

void RemoveFolder(const std::string &folder)
{
    EXPECT_EQ(std::system(("rm -rf " + folder).c_str()), 0);
}

// The helper as the package installs it, run by an operator: a copy with the file
// capability, executable by one group, started through setpriv as an unprivileged
// user of that group. It holds the capability only to open its packet socket (none
// is left once it waits for the payload), a copy without the capability refuses with
// kNoPermission, and the socket it was handed stays bound in its hands: another user
// cannot take the port between the check and the send, whatever the caller does with
// its own descriptor meanwhile.
TEST_F(LinkSendTest, AnUnprivilegedGroupMemberSpeaksOnlyForItsOwnSocket)
{
    constexpr gid_t kGroup = 4242;
    char folder[] = "/tmp/link-send-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    chmod(folder, 0755);
    const std::string granted = std::string(folder) + "/granted", plain = std::string(folder) + "/plain";
    for (const std::string &copy : {granted, plain}) {
        ASSERT_EQ(std::system(("cp " + std::string(LINK_SEND_PATH) + " " + copy).c_str()), 0);
        ASSERT_EQ(chown(copy.c_str(), 0, kGroup), 0);
        ASSERT_EQ(chmod(copy.c_str(), 0750), 0);
    }
    if (std::system(("setcap cap_net_raw+ep " + granted + " 2>/dev/null").c_str()) != 0 ||
        std::system("setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null") != 0) {
        RemoveFolder(folder);
        GTEST_SKIP() << "no file capabilities or no other user here (not root in the initial user namespace)";
    }
    const int box = net->AddBox("10.77.0.10/24");
    ASSERT_TRUE(box);
    int boxSocket = -1;
    net->RunInBox(box, [&] { boxSocket = BoundUdp("10.77.0.10", 8000); });
    const int own = BoundUdp("10.77.0.1", 40010);
    ASSERT_TRUE(boxSocket >= 0 && own >= 0);
    const std::string index = std::to_string(if_nametoindex(sandbox::kWorkstationLink));

    // Starts `helper` as the operator with stdin from a pipe kept open (so that it
    // waits for the payload) and `own` as descriptor 3.
    struct Run {
        pid_t pid = -1;
        int input = -1;
    };
    const auto start = [&](const std::string &helper, int socket) {
        Run run;
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0)
            return run;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
        posix_spawn_file_actions_adddup2(&actions, socket, kSocketDescriptor);
        std::vector<std::string> all{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--groups=" + std::to_string(kGroup), helper, index, sandbox::BoxMac(box),
                                     "10.77.0.10", "8000"};
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&run.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            run.pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(pipeEnds[0]);
        run.input = pipeEnds[1];
        return run;
    };
    const auto finish = [](Run &run, const std::string &payload) {
        if (!payload.empty() && write(run.input, payload.data(), payload.size()) != ssize_t(payload.size()))
            return -1;
        close(run.input);
        int status = 0;
        if (waitpid(run.pid, &status, 0) != run.pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    // The capabilities of `pid` from /proc once it waits for its payload.
    const auto capabilities = [](pid_t pid) {
        std::string effective, permitted;
        for (int attempt = 0; attempt < 200 && (effective.empty() || permitted.empty()); ++attempt) {
            usleep(10000);
            FILE *status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
            char line[256];
            bool waiting = false;
            while (status && std::fgets(line, sizeof line, status)) {
                const std::string text = line;
                if (text.rfind("Uid:", 0) == 0)
                    waiting = text.find("65534") != std::string::npos;
                if (waiting && text.rfind("CapEff:", 0) == 0)
                    effective = text.substr(7);
                if (waiting && text.rfind("CapPrm:", 0) == 0)
                    permitted = text.substr(7);
            }
            if (status)
                std::fclose(status);
        }
        return effective + permitted;
    };

    Run run = start(granted, own);
    ASSERT_GT(run.pid, 0);
    // Give it time to pass its checks and block on the payload.
    usleep(300000);
    EXPECT_EQ(capabilities(run.pid), "\t0000000000000000\n\t0000000000000000\n");
    // The caller closes its socket; another user tries to take the port meanwhile.
    close(own);
    const pid_t thief = fork();
    if (thief == 0) {
        if (setgid(1) != 0 || setuid(1) != 0)
            _exit(2);
        _exit(BoundUdp("10.77.0.1", 40010) >= 0 ? 0 : 1);
    }
    int thiefStatus = 0;
    waitpid(thief, &thiefStatus, 0);
    const bool taken = WIFEXITED(thiefStatus) && WEXITSTATUS(thiefStatus) == 0;
    EXPECT_FALSE(taken) << "another user bound the port the helper was handed";
    EXPECT_EQ(finish(run, "ping"), kSent);
    sockaddr_in from{};
    EXPECT_EQ(Receive(boxSocket, 2000, &from), "ping");
    EXPECT_EQ(ntohs(from.sin_port), 40010);

    // Without the capability: refused before anything else.
    const int again = BoundUdp("10.77.0.1", 40011);
    ASSERT_GE(again, 0);
    Run plainRun = start(plain, again);
    ASSERT_GT(plainRun.pid, 0);
    EXPECT_EQ(finish(plainRun, "x"), kNoPermission);
    close(again);
    close(boxSocket);
    RemoveFolder(folder);
}

} // namespace
