// `brenu-search list` against many simulated devices: N devices (1000, 5000, 20000,
// as many as one listing holds; all at one address, as generated) each
// answer the search after a random 0..200 ms; the program runs with --wait 500 and
// --format json, as a script would start it.
//
//   scripts/private-network build/bin/bench_cli_list
//
// Reported per size: devices listed and lost (target: all listed, 0 lost), the time
// from starting the program to its end (manual time) and how far that lies beyond
// the wait (target: under 100 ms), and the program's peak resident memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <chrono>
#include <climits>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Sandbox.h"
#include "bench/BenchTools.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 500;

void CliListAtScale(benchmark::State &state)
{
    const int devices = static_cast<int>(state.range(0));
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::string base = "/tmp/bench_cli_list_" + std::to_string(getpid());
    const std::string log = base + ".log", out = base + ".json";
    unlink(log.c_str());
    pid_t sim = net->SpawnInDevice({benchtools::SiblingProgram("brenu-devsim"), "--devices", std::to_string(devices), "--jitter", "200",
                                   "--seed", "1", "--log", log, "--exit-with-parent", "--quiet"});
    if (sim <= 0 || !benchtools::WaitReady(log, std::chrono::seconds(10))) {
        state.SkipWithError("the simulator did not start");
        return;
    }

    const std::string program = benchtools::SiblingProgram("brenu-search");
    long long listed = 0, lost = 0, peakKiB = 0, runs = 0;
    double overSum = 0, overMax = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const pid_t pid =
            benchtools::StartWithOutput({program, "list", "--wait", std::to_string(kWaitMs), "--format", "json"}, out);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        state.SetIterationTime(ms / 1000.0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("brenu-search failed");
            break;
        }
        QSet<QString> serials;
        for (const QJsonValue &device : QJsonDocument::fromJson(QByteArray::fromStdString(benchtools::ReadFile(out))).array())
            serials.insert(device.toObject().value("serialNo").toString());
        listed += serials.size();
        lost += devices - serials.size();
        peakKiB = std::max<long long>(peakKiB, usage.ru_maxrss);
        overSum += ms - kWaitMs;
        overMax = std::max(overMax, ms - kWaitMs);
        ++runs;
        // A new run must not find the previous answers still on their way.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unlink(log.c_str());
    unlink(out.c_str());
    if (runs == 0)
        return;
    state.counters["listed"] = static_cast<double>(listed) / runs;
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["beyond_wait_ms"] = overSum / runs;
    state.counters["beyond_wait_max_ms"] = overMax;
    state.counters["peak_rss_MiB"] = peakKiB / 1024.0;
}

} // namespace

BENCHMARK(CliListAtScale)->Arg(1000)->Arg(5000)->Arg(20000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
