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
// SharedAddress: on a switched LAN, 4 and 16 boxes of their own holding one factory
// address (10.77.0.10), with firmware that applies whatever update reaches it
// (brenu-devsim --link --firmware any-serial), so a request that reached another box
// would re-address the wrong one; re-addressed three ways: `assign` naming the boxes,
// `apply` of a plan naming each box's serial number and its new address, and the
// batch window (app/BatchWindow.h, offscreen, in this process, against a search of
// its own: every row checked, a start address typed, "应用" and the confirmation
// accepted). Each with the helper brenu-link-send (by MAC: the program beside it, the
// window told so by SetDeliveryPreference) and without it (by the neighbour table: a
// copy of the program alone in a folder of its own, the window told so). Reported:
// devices verified (target: all), requests the boxes received (target: one each),
// requests that reached another box than the one they name, from the boxes' logs
// (target: 0), the program's exit status (not for the window; target 0), the run's
// seconds per device (target without the helper: at most 60) and the time after the
// last request reached the boxes in search periods (target with the helper: at most
// 3); for the window, whether its progress bar named the way taken (way_shown).
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
#include <QTimer>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>
#include <thread>

#include "BatchWindowDrive.h"
#include "DevsimBoxes.h"
#include "Sandbox.h"
#include "WindowBenchMain.h"
#include "bench/BenchTools.h"
#include "device/Delivery.h"

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

// The three ways an operator re-addresses boxes that share an address.
enum SharedWay { kAssign, kApply, kWindow };

void SharedAddress(benchmark::State &state)
{
    const auto way = static_cast<SharedWay>(state.range(0));
    const bool helper = state.range(1) != 0;
    const int count = static_cast<int>(state.range(2));
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
    sandbox::DevsimBoxes boxes(net, benchtools::SiblingProgram("brenu-devsim"), base);
    std::vector<std::string> serials;
    std::string plan = "serialNo,address,subnetMask,gateway,dns,dhcp\n";
    for (int i = 1; i <= count; ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "SN-S%02d", i);
        const std::string error = boxes.Add(serial, "10.77.0.10");
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        serials.push_back(serial);
        plan += std::string(serial) + ",10.77.0." + std::to_string(49 + i) + ",255.255.255.0,10.77.0.1,10.77.0.1,off\n";
    }
    const std::string planPath = base + ".csv", out = base + ".json";
    if (way == kApply)
        std::ofstream(planPath, std::ios::trunc) << plan;

    // The program beside its helper, or a copy alone in a folder of its own; the
    // window's run in this process, told which way to take.
    const std::string portable = base + "_portable";
    std::vector<std::string> args{benchtools::SiblingProgram("brenu-search")};
    if (way == kAssign) {
        args.insert(args.end(), {"assign", "--start", "10.77.0.50", "--yes", "--format", "json"});
        args.insert(args.end(), serials.begin(), serials.end());
    } else {
        args.insert(args.end(), {"apply", planPath, "--yes", "--format", "json"});
    }
    if (!helper && way != kWindow) {
        mkdir(portable.c_str(), 0700);
        const std::string copy = portable + "/brenu-search";
        if (sandbox::RunCommand({"cp", args[0], copy}) != 0) {
            state.SkipWithError("cannot copy brenu-search");
            return;
        }
        args[0] = copy;
    }

    for (auto _ : state) {
        const auto start = Clock::now();
        Clock::time_point lastSend{};
        auto noteLastSend = [&] {
            if (lastSend == Clock::time_point{} && boxes.Count("updatecfg.htm") >= count)
                lastSend = Clock::now();
        };
        long long verified = 0;
        if (way == kWindow) {
            SetDeliveryPreference(helper ? DeliveryPreference::Mac : DeliveryPreference::Neighbour);
            DeviceSearch search;
            search.Start();
            QTimer watch;
            QObject::connect(&watch, &QTimer::timeout, noteLastSend);
            watch.start(20);
            std::vector<QString> names;
            for (const std::string &serial : serials)
                names.push_back(QString::fromStdString(serial));
            const sandbox::BatchWindowRun run =
                sandbox::RunBatchWindow(search, names, QStringLiteral("10.77.0.50"), 60000 * count);
            search.Stop();
            SetDeliveryPreference(DeliveryPreference::Auto);
            if (!run.problem.isEmpty())
                std::fprintf(stderr, "window: %s\n", run.problem.toUtf8().constData());
            for (const auto &row : run.statuses)
                verified += row.second == BatchStatus::Verified;
            state.counters["way_shown"] = run.progressText.contains(
                DeliveryWayText(helper ? DeliveryWay::Mac : DeliveryWay::Neighbour));
        } else {
            const pid_t pid = benchtools::StartWithOutput(args, out);
            int status = 0;
            while (waitpid(pid, &status, WNOHANG) == 0) {
                noteLastSend();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            const QJsonArray results =
                QJsonDocument::fromJson(QByteArray::fromStdString(benchtools::ReadFile(out))).array();
            for (const QJsonValue &result : results)
                verified += result.toObject().value("status").toString() == "verified";
        }
        const auto end = Clock::now();
        const double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        const double beyond =
            lastSend == Clock::time_point{} ? -1 : std::chrono::duration<double>(end - lastSend).count();
        state.counters["verified"] = static_cast<double>(verified);
        state.counters["requests"] = static_cast<double>(boxes.Count("updatecfg.htm"));
        state.counters["to_another_device"] = static_cast<double>(boxes.Count("note foreign request"));
        state.counters["beyond_last_send_periods"] = beyond / kSearchPeriodS;
        state.counters["seconds_per_device"] = seconds / count;
    }
    unlink(out.c_str());
    unlink(planPath.c_str());
    unlink((portable + "/brenu-search").c_str());
    rmdir(portable.c_str());
}

} // namespace

// way: 0 assign, 1 apply (a plan naming each box's serial), 2 the batch window.
BENCHMARK(SharedAddress)
    ->ArgNames({"way", "helper", "boxes"})
    ->ArgsProduct({{0, 1, 2}, {1, 0}, {4, 16}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// One run: afterwards the devices are at their new addresses and a second run would
// plan nothing.
BENCHMARK(AssignThousand)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char **argv)
{
    // The window's runs need an application; the namespace it is made in is left by
    // every run, which makes its own.
    return RunWindowBenchmarks(argc, argv, "bench_batch_assign");
}
