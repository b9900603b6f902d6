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
//
// AssignSharedAddress: the same on a switched LAN, 16 boxes of their own holding one
// factory address (10.77.0.10), with firmware that applies whatever update reaches it
// (brenu-devsim --link --firmware any-serial), so a request that reached another box
// would re-address the wrong one. Twice: with the helper brenu-link-send beside the
// program (by MAC), and from a copy of the program alone in a folder of its own (a
// portable copy: by the neighbour table). Reported besides: requests that reached
// another box than the one they name, from the boxes' logs (target: 0); with the
// helper the time after the last send in search periods (target: at most 3), without
// it the run's seconds per device (target: at most 60).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <chrono>
#include <string>
#include <vector>
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
                                    "--address-pool", "10.77.0.2", "--mac-of-link", "brd0", "--jitter", "200", "--log", log,
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

constexpr int kSharedDevices = 16;

long long CountInLogs(const std::vector<std::string> &logs, const std::string &what)
{
    long long count = 0;
    for (const std::string &log : logs) {
        const std::string text = benchtools::ReadFile(log);
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++count;
    }
    return count;
}

void AssignSharedAddress(benchmark::State &state)
{
    const bool helper = state.range(0) != 0;
    // A network of its own for each run: the boxes leave the factory address.
    const std::string entered = sandbox::EnterPrivateNetwork();
    if (!entered.empty()) {
        state.SkipWithError(entered.c_str());
        return;
    }
    sandbox::DeviceNetwork net(sandbox::Layout::Switched);
    if (!net.ok()) {
        state.SkipWithError(net.error().c_str());
        return;
    }
    const std::string base = "/tmp/bench_batch_assign_shared_" + std::to_string(getpid());
    std::vector<std::string> logs;
    std::vector<pid_t> boxes;
    std::vector<std::string> args{"brenu-search", "assign", "--start", "10.77.0.50", "--yes", "--format", "json"};
    for (int i = 1; i <= kSharedDevices; ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "SN-S%02d", i);
        const int box = net.AddBox("10.77.0.10/24");
        logs.push_back(base + "_" + serial + ".log");
        unlink(logs.back().c_str());
        const pid_t pid =
            box ? net.SpawnInBox(box, {benchtools::SiblingProgram("brenu-devsim"), "--device",
                                       std::string("serial=") + serial + ",address=10.77.0.10,dhcp=off", "--link",
                                       "brd0", "--firmware", "any-serial", "--log", logs.back(), "--exit-with-parent",
                                       "--quiet"})
                : -1;
        if (pid > 0)
            boxes.push_back(pid);
        if (pid <= 0 || !benchtools::WaitReady(logs.back(), std::chrono::seconds(10))) {
            state.SkipWithError("a box did not start");
            for (pid_t started : boxes)
                kill(started, SIGTERM);
            return;
        }
        args.push_back(serial);
    }
    // The program beside its helper, or a copy alone in a folder of its own.
    const std::string portable = base + "_portable";
    args[0] = benchtools::SiblingProgram("brenu-search");
    if (!helper) {
        mkdir(portable.c_str(), 0700);
        const std::string copy = portable + "/brenu-search";
        if (sandbox::RunCommand({"cp", args[0], copy}) != 0) {
            state.SkipWithError("cannot copy brenu-search");
            return;
        }
        args[0] = copy;
    }
    const std::string out = base + ".json";

    for (auto _ : state) {
        const auto start = Clock::now();
        const pid_t pid = benchtools::StartWithOutput(args, out);
        Clock::time_point lastSend{};
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (lastSend == Clock::time_point{} && CountInLogs(logs, "updatecfg.htm") >= kSharedDevices)
                lastSend = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const auto end = Clock::now();
        const double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        const QJsonArray results = QJsonDocument::fromJson(QByteArray::fromStdString(benchtools::ReadFile(out))).array();
        long long verified = 0;
        for (const QJsonValue &result : results)
            verified += result.toObject().value("status").toString() == "verified";
        const double beyond =
            lastSend == Clock::time_point{} ? -1 : std::chrono::duration<double>(end - lastSend).count();
        state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        state.counters["verified"] = static_cast<double>(verified);
        state.counters["requests"] = static_cast<double>(CountInLogs(logs, "updatecfg.htm"));
        state.counters["to_another_device"] = static_cast<double>(CountInLogs(logs, "note foreign request"));
        state.counters["beyond_last_send_periods"] = beyond / kSearchPeriodS;
        state.counters["seconds_per_device"] = seconds / kSharedDevices;
    }
    for (pid_t box : boxes) {
        kill(box, SIGTERM);
        waitpid(box, nullptr, 0);
    }
    for (const std::string &log : logs)
        unlink(log.c_str());
    unlink(out.c_str());
    if (!helper) {
        unlink((portable + "/brenu-search").c_str());
        rmdir(portable.c_str());
    }
}

} // namespace

BENCHMARK(AssignSharedAddress)->ArgName("helper")->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// One run: afterwards the devices are at their new addresses and a second run would
// plan nothing.
BENCHMARK(AssignThousand)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
