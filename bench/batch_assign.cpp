// `brenu-search assign` re-addressing 1000 simulated devices that share one factory
// address (10.77.0.2) into a /22 of the workstation (10.77.4.1/22), in one run, as an
// operator would start it:
//
//   scripts/private-network build/bin/bench_batch_assign
//
// Reported: devices verified (target: all), duplicate new addresses (target: 0),
// requests beyond one per device that needed one (target: 0), the whole run, the time
// from the last update request reaching the devices to the program's end in seconds
// and in search periods (target: at most 3), and the program's peak resident memory.
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
#include <string>
#include <thread>

#include "Sandbox.h"
#include "bench/BenchTools.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDevices = 1000;
constexpr double kSearchPeriodS = 5.0;

long long CountUpdates(const std::string &log)
{
    const std::string text = benchtools::ReadFile(log);
    long long count = 0;
    for (size_t at = text.find("updatecfg.htm"); at != std::string::npos; at = text.find("updatecfg.htm", at + 1))
        ++count;
    return count;
}

void AssignThousand(benchmark::State &state)
{
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net || !net->AddWorkstationAddress("10.77.4.1/22")) {
        state.SkipWithError(net ? "cannot add 10.77.4.1/22" : error.c_str());
        return;
    }
    const std::string base = "/tmp/bench_batch_assign_" + std::to_string(getpid());
    const std::string log = base + ".log", out = base + ".json";
    unlink(log.c_str());
    pid_t sim = net->SpawnInDevice({benchtools::SiblingProgram("brenu-devsim"), "--devices", std::to_string(kDevices),
                                    "--address-pool", "10.77.0.2", "--jitter", "200", "--log", log,
                                    "--exit-with-parent", "--quiet"});
    if (sim <= 0 || !benchtools::WaitReady(log, std::chrono::seconds(10))) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    std::vector<std::string> args{benchtools::SiblingProgram("brenu-search"), "assign", "--start", "10.77.4.2",
                                  "--mask", "255.255.252.0", "--gateway", "10.77.4.1", "--dns", "10.77.4.1",
                                  "--yes", "--format", "json"};
    for (int i = 1; i <= kDevices; ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "BRSIM%06d", i);
        args.push_back(serial);
    }

    for (auto _ : state) {
        const auto start = Clock::now();
        const pid_t pid = benchtools::StartWithOutput(args, out);
        // The moment the last update request reached the devices, from their log.
        Clock::time_point lastSend{};
        int status = 0;
        rusage usage{};
        while (wait4(pid, &status, WNOHANG, &usage) == 0) {
            if (lastSend == Clock::time_point{} && CountUpdates(log) >= kDevices)
                lastSend = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const auto end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        const QJsonArray results = QJsonDocument::fromJson(QByteArray::fromStdString(benchtools::ReadFile(out))).array();
        long long verified = 0;
        QSet<QString> addresses;
        for (const QJsonValue &result : results) {
            verified += result.toObject().value("status").toString() == "verified";
            addresses.insert(result.toObject().value("to").toObject().value("address").toString());
        }
        const double beyond = lastSend == Clock::time_point{} ? -1 : std::chrono::duration<double>(end - lastSend).count();
        state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        state.counters["verified"] = static_cast<double>(verified);
        state.counters["duplicate_addresses"] = static_cast<double>(results.size() - addresses.size());
        state.counters["extra_requests"] = static_cast<double>(CountUpdates(log) - kDevices);
        state.counters["beyond_last_send_s"] = beyond;
        state.counters["beyond_last_send_periods"] = beyond / kSearchPeriodS;
        state.counters["peak_rss_MiB"] = usage.ru_maxrss / 1024.0;
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unlink(log.c_str());
    unlink(out.c_str());
}

} // namespace

// One run: afterwards the devices are at their new addresses and a second run would
// plan nothing.
BENCHMARK(AssignThousand)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
