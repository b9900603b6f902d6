// Verified re-addressing of a device in a foreign subnet whose command answers are
// lost: the simulator plays one device at 10.77.1.5/24 (the workstation is
// 10.77.0.1/24 and has no route there) that answers searches by broadcast, carries out
// commands but never answers them; `brenu-search set FAR --address 10.77.0.7 ...`
// sends the update on-link and must exit 0 once the device's search answer shows the
// new settings.
//
//   scripts/private-network build/bin/bench_verified_readdress
//
// Reported: "after_send_s", the time from the update reaching the device (seen in the
// simulator's log) to the end of brenu-search (target: under two search periods,
// 10 s), and the whole run of the program (manual time).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "Sandbox.h"
#include "bench/BenchTools.h"

namespace {

using Clock = std::chrono::steady_clock;

void VerifiedReaddress(benchmark::State &state)
{
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net || !net->AddDeviceAddress("10.77.1.5/24") || !net->AddDeviceAddress("10.77.0.7/24")) {
        state.SkipWithError(net ? "the device addresses could not be added" : error.c_str());
        return;
    }
    const std::string log = "/tmp/bench_verified_readdress_" + std::to_string(getpid()) + ".log";
    const std::string program = benchtools::SiblingProgram("brenu-search");
    double afterSendSum = 0, afterSendMax = 0;
    for (auto _ : state) {
        // A fresh device each time: the last run moved it.
        unlink(log.c_str());
        const pid_t sim = net->SpawnInDevice(
            {benchtools::SiblingProgram("brenu-devsim"), "--device",
             "serial=FAR,address=10.77.1.5,port=8001,dhcp=off,mask=255.255.255.0,gateway=10.77.1.1,dns=10.77.1.1,"
             "answer=broadcast,fault=command:lost",
             "--log", log, "--exit-with-parent"});
        if (sim <= 0 || !benchtools::WaitReady(log, std::chrono::seconds(10))) {
            state.SkipWithError("the simulator did not start");
            break;
        }
        const auto start = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            execl(program.c_str(), program.c_str(), "set", "FAR", "--address", "10.77.0.7", "--gateway",
                  "10.77.0.254", static_cast<char *>(nullptr));
            _exit(127);
        }
        // The moment the update reaches the device, from the simulator's log.
        Clock::time_point sent{};
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (sent == Clock::time_point{} &&
                benchtools::ReadFile(log).find("updatecfg.htm") != std::string::npos)
                sent = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto end = Clock::now();
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || sent == Clock::time_point{}) {
            state.SkipWithError("brenu-search did not confirm the change");
            break;
        }
        const double afterSend = std::chrono::duration<double>(end - sent).count();
        afterSendSum += afterSend;
        afterSendMax = std::max(afterSendMax, afterSend);
    }
    unlink(log.c_str());
    state.counters["after_send_s"] = afterSendSum / static_cast<double>(state.iterations());
    state.counters["after_send_max_s"] = afterSendMax;
}

} // namespace

BENCHMARK(VerifiedReaddress)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);
BENCHMARK_MAIN();
