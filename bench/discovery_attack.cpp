// Discovery under attack: one searcher (on 10.77.0.1) against 1000 simulated devices
// that answer every search request, while one hostile host (10.77.0.9, brenu-hostile)
// sends at the searcher's address:
//
//   DiscoveryUnderAttack/quiet      no attack (for comparison in the same run)
//   DiscoveryUnderAttack/late_fail  worst-case frames, 1472-byte datagrams, 10 MB/s
//   DiscoveryUnderAttack/oversize   2000-byte datagrams, 20 per second, half to the
//                                   searcher's address and half by broadcast
//   DiscoveryUnderAttack/forged_header          the devices answer from ten addresses;
//                                   the hostile host sends, with each device address
//                                   and answer port as forged source in turn, one
//                                   24-byte frame header declaring the largest body,
//                                   200 datagrams a second (each source every 50 ms,
//                                   so several land before and within every round)
//   DiscoveryUnderAttack/forged_header_stacked  the same with eight headers (192 bytes)
//   DiscoveryUnderAttack/forged_header_split    150 devices, one per address (so that no
//                                   two split frames share a sender), each splitting its
//                                   answer over two datagrams 20 ms apart; the hostile
//                                   host sends the header from each device address and
//                                   answer port every 500 ms, so a pending frame never
//                                   goes a second without a datagram, and one header in
//                                   25 lands between the two halves (target: 0 lost)
//   DiscoveryUnderAttack/forged_split_stray     the same 150 split-frame devices; from each
//                                   device address and answer port the hostile host
//                                   sends two headers and one stray datagram (200 bytes,
//                                   no magic) every 500 ms, evenly spread, so about one
//                                   split frame in eight has one of them between its
//                                   halves and every frame has them in front (target: 0
//                                   lost; socket_thread_core near forged_header_split's)
//
//   scripts/private-network build/bin/bench_discovery_attack
//
// Each runs kRounds search rounds (one request every 5 s); a round's answers are the
// callbacks between its request and the next. Counters:
//   listed_min          the fewest devices one round listed (target: all 1000)
//   lost                devices missing from their round, summed over the rounds (target 0)
//   socket_thread_core  CPU time of the busiest searcher thread (the socket's receiving
//                       worker) per second of the rounds (target < 0.5)
//   searcher_cores      the same summed over every thread the searcher started
//   hostile_MBps        what the hostile host sent, MB (10^6 bytes) per second
//   hostile_sent        datagrams the hostile host sent
//   oversize_dropped    datagrams the searcher's socket dropped as too long
//   socket_closes       times the searcher's socket ended (restarted at the next request)
//   kernel_drops        datagrams the kernel dropped at the searcher's sockets (port
//                       19009) because their receive buffers were full
//   answers_sent        answers the simulator sent (its summary); rounds * 1000 when it
//                       kept up
//   pending_senders     senders with an incomplete frame held at the end (the forged
//                       headers arrive: one per forged source)
// and one line per round on stderr with the devices that round listed.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "bench/BenchTools.h"
#include "kit/Log.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"
#include "transport/IUdpCast.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDevices = 1000;
constexpr int kRounds = 3;
constexpr auto kRound = std::chrono::milliseconds(5000);
constexpr const char *kHostileAddress = "10.77.0.9";
constexpr double kFloodBytesPerSecond = 10e6;
constexpr size_t kFloodDatagram = 1472;
constexpr double kOversizePerSecond = 20;
constexpr double kForgedPerSecond = 200;
// The split-frame run: its devices, one on each of the addresses 10.77.0.100 and on.
constexpr int kSplitDevices = 150;
// In the split-frame run: each forged source sends its header every 500 ms, less
// than the 1 s a pending frame may live, so under the old rule (expiry from the last
// datagram) the forged state never expired.
constexpr double kSplitForgeryEveryMs = 500;
// The devices' addresses in the forged-header runs: 100 devices on each.
const std::vector<std::string> kDeviceAddresses{"10.77.0.2",  "10.77.0.20", "10.77.0.21", "10.77.0.22", "10.77.0.23",
                                                "10.77.0.24", "10.77.0.25", "10.77.0.26", "10.77.0.27", "10.77.0.28"};

enum class Attack { None, LateFail, Oversize, ForgedHeader, ForgedHeaders, ForgedHeaderSplit, ForgedSplitStray };

// The threads of this process by id.
std::set<int> Threads()
{
    std::set<int> ids;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ids.insert(std::atoi(entry->d_name));
        closedir(dir);
    }
    return ids;
}

// User plus system CPU time of one thread of this process, in seconds (-1 once gone).
double ThreadCpuSeconds(int id)
{
    std::ifstream in("/proc/self/task/" + std::to_string(id) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return -1;
    // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Datagrams the kernel dropped at this namespace's UDP sockets bound to `port`
// (/proc/net/udp, last column), summed.
long long KernelDrops(uint16_t port)
{
    std::ifstream in("/proc/self/net/udp");
    std::string line;
    std::getline(in, line); // the header
    long long drops = 0;
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, field;
        fields >> slot >> local;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, hex) != 0)
            continue;
        while (fields >> field) {
        }
        drops += std::atoll(field.c_str());
    }
    return drops;
}

// The answers of each round, by serial number.
struct Rounds {
    static void Callback(const char *text, int length, void *user)
    {
        auto *self = static_cast<Rounds *>(user);
        const std::string answer(text, static_cast<size_t>(length));
        const size_t key = answer.find("\"serialNo\":\"");
        if (key == std::string::npos)
            return;
        const size_t begin = key + 12;
        const std::string serial = answer.substr(begin, answer.find('"', begin) - begin);
        const auto round = (Clock::now() - self->start) / kRound;
        std::lock_guard<std::mutex> guard(self->lock);
        self->serials[static_cast<int>(round)].insert(serial);
    }

    Clock::time_point start;
    std::mutex lock;
    std::map<int, std::set<std::string>> serials;
};

void DiscoveryUnderAttack(benchmark::State &state, Attack attack)
{
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net) {
        state.SkipWithError(error.c_str());
        return;
    }
    static const bool hostileAddress =
        net->RunInDeviceCommand({"ip", "addr", "add", std::string(kHostileAddress) + "/24", "dev", "brd0"}) == 0;
    if (!hostileAddress) {
        state.SkipWithError("the hostile host's address could not be added");
        return;
    }
    static const bool deviceAddresses = [&] {
        for (size_t i = 1; i < kDeviceAddresses.size(); ++i) {
            if (net->RunInDeviceCommand({"ip", "addr", "add", kDeviceAddresses[i] + "/24", "dev", "brd0"}) != 0)
                return false;
        }
        return true;
    }();
    if (!deviceAddresses) {
        state.SkipWithError("the devices' addresses could not be added");
        return;
    }
    const bool split = attack == Attack::ForgedHeaderSplit || attack == Attack::ForgedSplitStray;
    // Datagrams each forged source sends per kSplitForgeryEveryMs.
    const std::string pattern = attack == Attack::ForgedSplitStray ? "hhs" : "h";
    const bool forged = attack == Attack::ForgedHeader || attack == Attack::ForgedHeaders || split;
    const int devices = split ? kSplitDevices : kDevices;
    std::vector<std::string> addresses = kDeviceAddresses;
    if (split) {
        addresses.clear();
        for (int i = 0; i < kSplitDevices; ++i)
            addresses.push_back("10.77.0." + std::to_string(100 + i));
        static const bool splitAddresses = [&] {
            for (const std::string &address : addresses)
                if (net->RunInDeviceCommand({"ip", "addr", "add", address + "/24", "dev", "brd0"}) != 0)
                    return false;
            return true;
        }();
        if (!splitAddresses) {
            state.SkipWithError("the split devices' addresses could not be added");
            return;
        }
    }
    benchtools::StartLogger();

    const std::string simLog = "/tmp/bench_attack_sim_" + std::to_string(getpid()) + ".log";
    const std::string hostileLog = "/tmp/bench_attack_hostile_" + std::to_string(getpid()) + ".log";
    unlink(simLog.c_str());
    unlink(hostileLog.c_str());
    std::vector<std::string> simArgs{benchtools::SiblingProgram("brenu-devsim"), "--devices", std::to_string(devices),
                                     "--jitter", "200", "--seed", "1", "--log", simLog, "--exit-with-parent", "--quiet"};
    std::string pool;
    for (const std::string &address : addresses)
        pool += (pool.empty() ? "" : ",") + address;
    if (forged)
        simArgs.insert(simArgs.end(), {"--address-pool", pool});
    if (split)
        simArgs.insert(simArgs.end(), {"--fault", "split"});
    const pid_t sim = net->SpawnInDevice(simArgs);
    if (sim <= 0 || !benchtools::WaitReady(simLog)) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    pid_t hostile = -1;
    const std::string to = std::string(sandbox::kWorkstationAddress) + ":19009";
    if (attack == Attack::LateFail) {
        hostile = net->SpawnInDevice({benchtools::SiblingProgram("brenu-hostile"), "--mode", "late-fail", "--from", kHostileAddress,
                                      "--to", to, "--size", std::to_string(kFloodDatagram), "--rate",
                                      std::to_string(kFloodBytesPerSecond / kFloodDatagram), "--log", hostileLog,
                                      "--exit-with-parent"});
    } else if (attack == Attack::Oversize) {
        hostile = net->SpawnInDevice({benchtools::SiblingProgram("brenu-hostile"), "--mode", "oversize", "--from", kHostileAddress,
                                      "--to", to, "--to", "255.255.255.255:19009", "--size", "2000", "--rate",
                                      std::to_string(kOversizePerSecond), "--log", hostileLog, "--exit-with-parent"});
    } else if (forged) {
        std::vector<std::string> args{benchtools::SiblingProgram("brenu-hostile"), "--mode", "forged-header", "--from",
                                      kHostileAddress, "--to", to, "--stack",
                                      attack == Attack::ForgedHeaders ? "8" : "1", "--pattern", pattern, "--rate",
                                      std::to_string(split ? addresses.size() * pattern.size() * 1000.0 /
                                                                 kSplitForgeryEveryMs
                                                           : kForgedPerSecond),
                                      "--log", hostileLog, "--exit-with-parent"};
        for (const std::string &address : addresses)
            args.insert(args.end(), {"--spoof", address + ":19010"});
        hostile = net->SpawnInDevice(args);
    }
    if (attack != Attack::None && (hostile <= 0 || !benchtools::WaitReady(hostileLog))) {
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        state.SkipWithError("the hostile host did not start");
        return;
    }

    Rounds rounds;
    std::set<int> before = Threads();
    std::map<int, double> cpuAtStart;
    double wall = 0, busiest = 0, allThreads = 0;
    uint64_t dropped = 0;
    std::atomic<int> closes{0};
    int endedByItself = 0;
    long long kernelDrops = 0;
    std::size_t pendingSenders = 0;
    for (auto _ : state) {
        QUdpCastGroup group(&Rounds::Callback, &rounds);
        struct CountingSearcher : QUdpCast {
            CountingSearcher(QUdpCastGroup *group, std::atomic<int> &closes)
                : QUdpCast(sandbox::kWorkstationAddress, group, false), closes(closes)
            {
            }
            ListenerReply SocketClosed(IUdpCast *s, uint32_t id, CloseOperation op, int32_t code) override
            {
                ++closes;
                return QUdpCast::SocketClosed(s, id, op, code);
            }
            std::atomic<int> &closes;
        };
        auto *searcher = new CountingSearcher(&group, closes);
        rounds.start = Clock::now();
        searcher->Start();
        // The searcher's threads: its own and its socket's worker, once both run.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::set<int> mine;
        for (int id : Threads())
            if (!before.count(id))
                mine.insert(id);
        for (int id : mine)
            cpuAtStart[id] = ThreadCpuSeconds(id);
        const auto measuredFrom = Clock::now();
        std::this_thread::sleep_until(rounds.start + kRounds * kRound - std::chrono::milliseconds(10));
        wall = std::chrono::duration<double>(Clock::now() - measuredFrom).count();
        // A socket worker that ended (its socket failed) is gone from /proc and not
        // counted; one started since (the restart) counts from its start.
        for (int id : Threads()) {
            if (before.count(id))
                continue;
            const double now = ThreadCpuSeconds(id);
            const double used = now - (mine.count(id) ? cpuAtStart[id] : 0.0);
            if (now < 0 || used < 0)
                continue;
            busiest = std::max(busiest, used / wall);
            allThreads += used / wall;
        }
        dropped = searcher->Socket() ? searcher->Socket()->GetOversizeDropped() : 0;
        endedByItself = closes.load(); // before the Stop below closes it once more
        kernelDrops = KernelDrops(QUdpCast::kLocalPort);
        pendingSenders = searcher->PendingSenders();
        searcher->RequestStop(true);
        while (!searcher->HasExited())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        delete searcher;
        state.SetIterationTime(wall);
    }
    if (hostile > 0) {
        kill(hostile, SIGTERM);
        waitpid(hostile, nullptr, 0);
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    const std::string hostileSummary = benchtools::LastLine(hostileLog, "summary ");
    const std::string simSummary = benchtools::LastLine(simLog, "summary ");
    unlink(simLog.c_str());
    unlink(hostileLog.c_str());

    int listedMin = INT_MAX, lost = 0;
    for (int round = 0; round < kRounds; ++round) {
        const int listed = static_cast<int>(rounds.serials[round].size());
        listedMin = std::min(listedMin, listed);
        std::fprintf(stderr, "round %d: %d devices listed\n", round + 1, listed);
        lost += devices - listed;
    }
    const double hostileSeconds = [&] {
        const size_t at = hostileSummary.find(" seconds=");
        return at == std::string::npos ? 0.0 : std::atof(hostileSummary.c_str() + at + 9);
    }();
    state.counters["listed_min"] = listedMin;
    state.counters["lost"] = lost;
    state.counters["socket_thread_core"] = busiest;
    state.counters["searcher_cores"] = allThreads;
    state.counters["hostile_MBps"] =
        hostileSeconds > 0 ? static_cast<double>(benchtools::Field(hostileSummary, "bytes")) / hostileSeconds / 1e6 : 0;
    state.counters["hostile_sent"] = std::max(0LL, benchtools::Field(hostileSummary, "sent"));
    state.counters["oversize_dropped"] = static_cast<double>(dropped);
    state.counters["socket_closes"] = endedByItself;
    state.counters["kernel_drops"] = static_cast<double>(kernelDrops);
    state.counters["pending_senders"] = static_cast<double>(pendingSenders);
    state.counters["answers_sent"] = static_cast<double>(benchtools::Field(simSummary, "search_answers"));
}

BENCHMARK_CAPTURE(DiscoveryUnderAttack, quiet, Attack::None)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DiscoveryUnderAttack, late_fail, Attack::LateFail)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DiscoveryUnderAttack, oversize, Attack::Oversize)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DiscoveryUnderAttack, forged_header, Attack::ForgedHeader)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DiscoveryUnderAttack, forged_header_stacked, Attack::ForgedHeaders)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DiscoveryUnderAttack, forged_header_split, Attack::ForgedHeaderSplit)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DiscoveryUnderAttack, forged_split_stray, Attack::ForgedSplitStray)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
