// The device simulator at scale: N simulated devices (100, 1000, 5000) each answer a
// search once after a random 0..200 ms. Measures, on a plain socket of the
// workstation side, how many answers arrive and when the last one does, so that a
// discovery benchmark can rely on the simulator keeping its schedule.
//
//   scripts/private-network build/bin/bench_devsim_scale
//
// Reported per size: answers received per answer sent (1 = nothing lost), the time
// from the request to the last answer (manual time; the schedule ends at 200 ms)
// and the mean delay of an answer behind the request.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "bench/BenchTools.h"
#include "protocol/Frame.h"

namespace {

using Clock = std::chrono::steady_clock;

// One private namespace and one device namespace for all sizes: a veth pair is
// removed asynchronously when its namespace goes, so it is not made again per size.
void DevsimAnswersAtScale(benchmark::State &state)
{
    const int devices = static_cast<int>(state.range(0));
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::string log = "/tmp/bench_devsim_" + std::to_string(getpid()) + ".log";
    unlink(log.c_str());
    pid_t sim = net->SpawnInDevice({benchtools::SiblingProgram("brenu-devsim"), "--devices", std::to_string(devices), "--jitter", "200",
                                   "--answer-once", "--seed", "1", "--log", log, "--exit-with-parent", "--quiet"});
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (benchtools::LastLine(log, "ready ").empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (sim <= 0 || benchtools::LastLine(log, "ready ").empty()) {
        state.SkipWithError("the simulator did not start");
        return;
    }

    const std::string search =
        BuildFrame("{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/searchbrenu.htm\"}");
    std::vector<char> buffer(65536);
    uint16_t port = 20000; // a new searcher port per round: each device answers each searcher once
    long long received = 0, expected = 0;
    double delaySum = 0, lastSum = 0;
    for (auto _ : state) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1, size = 16 << 20;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in local = sandbox::Ipv4(sandbox::kWorkstationAddress, port++);
        sockaddr_in all = sandbox::Ipv4("255.255.255.255", 19010);
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);

        auto start = Clock::now();
        sendto(fd, search.data(), search.size(), 0, reinterpret_cast<sockaddr *>(&all), sizeof all);
        auto last = start;
        int got = 0;
        auto end = start + std::chrono::milliseconds(1500);
        while (got < devices && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            while (recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
                last = Clock::now();
                delaySum += std::chrono::duration<double, std::milli>(last - start).count();
                ++got;
            }
        }
        close(fd);
        double lastMs = std::chrono::duration<double, std::milli>(last - start).count();
        state.SetIterationTime(lastMs / 1000.0);
        lastSum += lastMs;
        received += got;
        expected += devices;
    }

    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    long long sent = benchtools::Field(benchtools::LastLine(log, "summary "), "search_answers");
    unlink(log.c_str());
    state.counters["received_per_sent"] = sent > 0 ? static_cast<double>(received) / sent : 0;
    state.counters["lost"] = static_cast<double>(expected - received);
    state.counters["last_ms"] = state.iterations() ? lastSum / state.iterations() : 0;
    state.counters["mean_delay_ms"] = received ? delaySum / received : 0;
}

} // namespace

BENCHMARK(DevsimAnswersAtScale)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(5000)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
