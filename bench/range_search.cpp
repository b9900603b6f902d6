// A pass of the search ranges at the default rate over a /16's worth of addresses
// behind a router: 100 routed devices answer, every other address is silent, and 100
// devices on the workstation's own link answer the broadcasts meanwhile.
//
//   scripts/private-network build/bin/bench_range_search
//
// Sandbox: the group on 10.77.0.1; the device namespace is the router, with the 100
// local devices (brenu-devsim) on its 10.77.0.2 side; behind it the routed devices
// 10.77.5.10-10.77.5.109 (a second brenu-devsim) and the silent 10.78.0.0/16, which
// the router resolves address by address like any router (and never hears from).
// Ranges: 10.77.5.3-10.77.5.254 and 10.78.1.0-10.78.255.255, 65,532 addresses.
//
// A whole pass takes 262 s at the default 250 requests/s. The benchmark measures the
// first kMeasuredS seconds of it (kMeasuredS x 250 requests, four search periods),
// which hold everything a pass does: the routed block, the silent sweep, the routed
// devices asked again each period, the local devices answering the broadcasts.
// After that the pass only repeats the silent sweep, so its figures stay the same.
// Counters:
//   requests / cpu_us_per_request   range requests sent, and the process's CPU time
//                                   (all its threads: pacing, route look-ups, sends,
//                                   and receiving and logging every answer) per request
//   rss_growth_kib                  resident memory at the end less after the first
//                                   period (target <= 1024)
//   pace_worst_pct                  the largest deviation of one second's requests
//                                   from the rate, in percent (target <= 10)
//   pace_mean_per_s                 requests per second over the measured time
//   routed_sent / routed_heard      routed devices' answers sent (simulator) / heard
//   local_sent / local_heard        the same for the local devices
//   lost                            answers sent and not heard (target 0)
//   rcvbuf_errors                   datagrams the kernel dropped for a full receive
//                                   buffer (Udp RcvbufErrors, target 0)
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "bench/BenchTools.h"
#include "protocol/Json.h"
#include "protocol/UdpCastGroup.h"

namespace {

constexpr int kMeasuredS = 20;
constexpr int kRoutedDevices = 100;
constexpr int kLocalDevices = 100;

double ProcessCpuUs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

long long UdpRcvbufErrors()
{
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("Udp:", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "RcvbufErrors")
                return std::stoll(value);
    }
    return -1;
}

struct Heard {
    std::atomic<long> routed{0};
    std::atomic<long> local{0};
    static void Callback(const Vant::CProtocalJson &, const InterfaceAddress &, const AnswerSource &source, void *user)
    {
        auto *self = static_cast<Heard *>(user);
        const bool routed = source.address && source.address->rfind("10.77.5.", 0) == 0;
        (routed ? self->routed : self->local).fetch_add(1);
    }
};

pid_t StartSimulator(const sandbox::DeviceNetwork &net, bool routed, const std::string &pool, const std::string &log)
{
    unlink(log.c_str());
    const std::vector<std::string> argv{benchtools::SiblingProgram("brenu-devsim"),
                                        "--devices", std::to_string(routed ? kRoutedDevices : kLocalDevices),
                                        "--address-pool", pool, "--log", log, "--exit-with-parent", "--quiet"};
    const pid_t pid = routed ? net.SpawnInRouted(argv) : net.SpawnInDevice(argv);
    return pid > 0 && benchtools::WaitReady(log) ? pid : -1;
}

long long StopSimulator(pid_t pid, const std::string &log)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    const long long sent = benchtools::Field(benchtools::LastLine(log, "summary "), "search_answers");
    unlink(log.c_str());
    return sent;
}

void RangePass(benchmark::State &state)
{
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net) {
        state.SkipWithError(error.c_str());
        return;
    }
    auto *network = const_cast<sandbox::DeviceNetwork *>(net);
    std::string pool;
    bool made = network->AddRoutedSubnet();
    for (int i = 0; made && i < kRoutedDevices; ++i) {
        const std::string address = "10.77.5." + std::to_string(10 + i);
        made = network->AddRoutedAddress(address + "/24");
        pool += (pool.empty() ? "" : ",") + address;
    }
    // The silent addresses: routed to the device subnet's link, where nobody holds them.
    made = made && net->RunInDeviceCommand({"ip", "route", "add", "10.78.0.0/16", "dev", "rtr0"}) == 0 &&
           sandbox::RunCommand({"ip", "route", "add", "10.78.0.0/16", "via", sandbox::kDeviceAddress}) == 0;
    if (!made) {
        state.SkipWithError("the routed subnet could not be made");
        return;
    }
    benchtools::StartLogger();
    const std::string routedLog = "/tmp/bench_range_routed_" + std::to_string(getpid()) + ".log";
    const std::string localLog = "/tmp/bench_range_local_" + std::to_string(getpid()) + ".log";
    const pid_t routedSim = StartSimulator(*net, true, pool, routedLog);
    const pid_t localSim = StartSimulator(*net, false, sandbox::kDeviceAddress, localLog);
    if (routedSim <= 0 || localSim <= 0) {
        state.SkipWithError("a simulator did not start");
        return;
    }

    SearchRanges ranges;
    ranges.Add("10.77.5.3-10.77.5.254");
    ranges.Add("10.78.1.0-10.78.255.255");
    Heard heard;
    QUdpCastGroup group(nullptr, &heard);
    group.SetAnswerCallBack(&Heard::Callback);
    group.SetRanges(ranges, 0);
    std::vector<long long> perSecond;
    double cpuUs = 0;
    long rssGrowth = 0;
    long long rcvbufErrors = 0, requests = 0;
    for (auto _ : state) {
        const long long rcvbufBefore = UdpRcvbufErrors();
        const double cpuBefore = ProcessCpuUs();
        const auto start = std::chrono::steady_clock::now();
        group.Start();
        long rssAfterFirstPeriod = 0;
        uint64_t lastSent = 0;
        for (int second = 1; second <= kMeasuredS; ++second) {
            std::this_thread::sleep_until(start + std::chrono::seconds(second));
            const uint64_t sent = group.RangeStatus().sent;
            perSecond.push_back(static_cast<long long>(sent - lastSent));
            lastSent = sent;
            if (second == 5)
                rssAfterFirstPeriod = benchtools::ResidentKiB();
        }
        requests = static_cast<long long>(group.RangeStatus().sent);
        rssGrowth = benchtools::ResidentKiB() - rssAfterFirstPeriod;
        // The answers to the last requests are on their way: a moment for them.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        group.Stop();
        cpuUs = ProcessCpuUs() - cpuBefore;
        rcvbufErrors = UdpRcvbufErrors() - rcvbufBefore;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const long long routedSent = StopSimulator(routedSim, routedLog);
    const long long localSent = StopSimulator(localSim, localLog);
    double worst = 0;
    for (const long long count : perSecond)
        worst = std::max(worst, std::fabs(static_cast<double>(count) - kDefaultRangeRate) * 100.0 / kDefaultRangeRate);
    state.counters["requests"] = static_cast<double>(requests);
    state.counters["cpu_us_per_request"] = requests > 0 ? cpuUs / static_cast<double>(requests) : 0;
    state.counters["rss_growth_kib"] = static_cast<double>(rssGrowth);
    state.counters["pace_worst_pct"] = worst;
    state.counters["pace_mean_per_s"] = static_cast<double>(requests) / kMeasuredS;
    state.counters["routed_sent"] = static_cast<double>(routedSent);
    state.counters["routed_heard"] = static_cast<double>(heard.routed.load());
    state.counters["local_sent"] = static_cast<double>(localSent);
    state.counters["local_heard"] = static_cast<double>(heard.local.load());
    state.counters["lost"] = static_cast<double>(routedSent + localSent - heard.routed.load() - heard.local.load());
    state.counters["rcvbuf_errors"] = static_cast<double>(rcvbufErrors);
}
BENCHMARK(RangePass)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
