// An interface deleted and re-created under the same name, in the network sandbox:
//
//   scripts/private-network build/bin/bench_interface_recreation [ROUNDS]
//
// The host address 10.77.0.1/24 sits on a bridge "brx" whose port is the sandbox
// link; a device on the other side answers every search request by broadcast (to
// 255.255.255.255 and the request's source port), so only the group's broadcast
// receivers hear it. Each round deletes the bridge, makes it again with the same
// name and address (a new interface index) and times how long until the device is
// heard again, from the moment the new bridge has its link. Target: every round
// within 5500 ms (one search period plus the answer), and the process's open file
// descriptors and threads the same after the last round as after the first.
// Prints one summary line: rounds, heard, worst/median ms, fds and threads.
#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "HostBridge.h"
#include "Sandbox.h"
#include "bench/BenchTools.h"
#include "protocol/Frame.h"
#include "protocol/LocalAddresses.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"

namespace {

int CountEntries(const char *folder)
{
    int count = 0;
    if (DIR *dir = opendir(folder)) {
        while (const dirent *entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

struct Heard {
    static void Callback(const char *, int, void *user) { ++static_cast<Heard *>(user)->count; }
    std::atomic<long> count{0};
};

// In the device namespace: answers every search request by broadcast.
void AnswerByBroadcast(const std::atomic<bool> &quit)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // The device namespace has no route for 255.255.255.255: the link says where.
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, sandbox::kDeviceLink, sizeof "brd0");
    sockaddr_in local = sandbox::Ipv4("0.0.0.0", QUdpCast::kDestinationPort);
    bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    const std::string frame = BuildFrame("{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":"
                                         "\"/brenu/model/searchbrenu.htm\",\"params\":{\"data\":[{\"serialNo\":\"BR1\"}]}}");
    char buffer[2048];
    while (!quit.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length) < 0)
            continue;
        sockaddr_in all = sandbox::Ipv4("255.255.255.255", ntohs(from.sin_port));
        sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&all), sizeof all);
    }
    close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net || !sandbox::Ip({"addr", "del", "10.77.0.1/24", "dev", sandbox::kWorkstationLink}) || !sandbox::MakeHostBridge()) {
        std::fprintf(stderr, "sandbox: %s\n", error.empty() ? "the bridge could not be made" : error.c_str());
        return 1;
    }
    std::atomic<bool> quit{false};
    std::thread device = net->StartInDevice([&] { AnswerByBroadcast(quit); });
    Heard heard;
    QUdpCastGroup group(&Heard::Callback, &heard);
    group.Start();
    for (int i = 0; i < 600 && heard.count.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto end = [&](int status) {
        group.Stop();
        quit.store(true);
        device.join();
        return status;
    };
    if (heard.count.load() == 0) {
        std::fprintf(stderr, "the device was not heard before the first re-creation\n");
        return end(1);
    }

    std::vector<long> times;
    int fdsFirst = 0, threadsFirst = 0, missed = 0;
    for (int round = 0; round < rounds; ++round) {
        if (!sandbox::Ip({"link", "del", "brx"}) || !sandbox::MakeHostBridge()) {
            std::fprintf(stderr, "round %d: the bridge could not be made again\n", round);
            return end(1);
        }
        const long before = heard.count.load();
        const int64_t from = benchtools::MonotonicNs();
        long ms = -1;
        while (benchtools::MonotonicNs() - from < 8000000000LL) {
            if (heard.count.load() > before) {
                ms = static_cast<long>((benchtools::MonotonicNs() - from) / 1000000);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        missed += ms < 0 || ms > 5500;
        times.push_back(ms < 0 ? 8000 : ms);
        if (round == 0) {
            fdsFirst = CountEntries("/proc/self/fd");
            threadsFirst = CountEntries("/proc/self/task");
        }
    }
    const int fdsLast = CountEntries("/proc/self/fd");
    const int threadsLast = CountEntries("/proc/self/task");
    end(0);
    std::vector<long> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("rounds=%d heard_within_5500ms=%d worst_ms=%ld median_ms=%ld fds_after_first=%d fds_after_last=%d "
                "threads_after_first=%d threads_after_last=%d\n",
                rounds, rounds - missed, sorted.back(), sorted[sorted.size() / 2], fdsFirst, fdsLast, threadsFirst,
                threadsLast);
    return missed == 0 && fdsFirst == fdsLast && threadsFirst == threadsLast ? 0 : 1;
}
