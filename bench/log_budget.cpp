// The log under a flood of valid answers: a writer logs search answers (about 750
// bytes each, as the searcher logs them) under "UdpCast" at 10 MB/s.
//
//   build/bin/bench_log_budget                  (60 s; BRENU_BENCH_SECONDS=N for N s)
//
//   BM_LogFlood/budget     the folder's cap lowered to 64 MiB for the run. Counters:
//                          folder_max_MiB (the largest folder size seen, sampled every
//                          50 ms; target <= cap_MiB), folder_end_MiB, process_cores
//                          (CPU time of the whole process per second of the run,
//                          writer included; target < 0.5), offered_MBps, deletions
//                          (the logger's LOG lines telling of files removed).
//   BM_LogFlood/accounting 5 s with the default cap, then the exit flush: every
//                          record offered is either a line in the files (plain or
//                          gzip) or counted by a "records dropped" note. Counters:
//                          offered, lines, noted_dropped, missing (target 0).
// Logs go to a temporary directory that is removed at the end.
#include <benchmark/benchmark.h>

#include <ftw.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <dirent.h>

#include "kit/Clock.h"
#include "kit/Log.h"
#include "kit/LogBudget.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kOfferedBytesPerSecond = 10e6;
// Lowered so that a minute of the flood passes it several times over: the logger
// writes at most 4 MiB a second of the context, and the answers compress little.
constexpr uint64_t kBenchCap = 64ull << 20;

int Seconds(int fallback)
{
    const char *text = std::getenv("BRENU_BENCH_SECONDS");
    const int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

// A valid answer; its description ends in 320 pseudo-random characters of 64 kinds,
// so that the files compress about as little as a forger can make them.
std::string Answer(uint64_t i)
{
    static const char hex[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+-";
    std::string noise(320, '0');
    uint64_t x = i * 0x9e3779b97f4a7c15ull + 1;
    for (char &c : noise) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = hex[x & 63];
    }
    std::string serial = std::to_string(i % 1000);
    serial.insert(0, 6 - serial.size(), '0');
    return R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/searchbrenu.htm","params":{"data":[{)"
           R"("serialNo":"BRSIM)" +
           serial + R"(","address":"10.77.0.2","port":8001,"dhcp":false,"subnetMask":"255.255.255.0",)"
                    R"("gateway":"10.77.0.254","dns":"10.77.0.253","mac":"02:42:4D:00:00:01",)"
                    R"("description":"Device )" +
           serial + R"( of the flood, record )" + std::to_string(i) + " " + noise + R"("}]}})";
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int RemoveEntry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

struct TempLog {
    TempLog()
    {
        char pattern[] = "/tmp/bench-log-budget-XXXXXX";
        const char *made = mkdtemp(pattern);
        dir = std::string(made ? made : "/tmp") + "/";
    }
    ~TempLog() { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }
    std::string dir;
};

// Offers answers at kOfferedBytesPerSecond until `stop`; gives the number offered.
uint64_t Flood(Vant::CLog &log, const std::atomic<bool> &stop, uint64_t &bytes)
{
    uint64_t offered = 0;
    bytes = 0;
    const auto start = Clock::now();
    while (!stop.load()) {
        const double due = std::chrono::duration<double>(Clock::now() - start).count() * kOfferedBytesPerSecond;
        while (static_cast<double>(bytes) < due) {
            const std::string text = Answer(offered++);
            bytes += text.size();
            log.WriteTagged("UdpCast", text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return offered;
}

// Lines containing `text` in the files whose names contain `context`, below dir.
uint64_t CountInFiles(const std::string &dir, const std::string &context, const std::string &text)
{
    uint64_t count = 0;
    DIR *top = opendir(dir.c_str());
    while (dirent *day = top ? readdir(top) : nullptr) {
        const std::string dayDir = dir + day->d_name + "/";
        DIR *files = day->d_name[0] == '.' ? nullptr : opendir(dayDir.c_str());
        while (dirent *file = files ? readdir(files) : nullptr) {
            if (std::string(file->d_name).find(context) == std::string::npos)
                continue;
            std::ifstream in(dayDir + file->d_name);
            for (std::string line; std::getline(in, line);)
                count += line.find(text) != std::string::npos;
        }
        if (files)
            closedir(files);
    }
    if (top)
        closedir(top);
    return count;
}

void Budget(benchmark::State &state)
{
    const int seconds = Seconds(60);
    for (auto _ : state) {
        TempLog tmp;
        Vant::CLog log(tmp.dir, Vant::SystemClock());
        log.SetPrefix("BrenuSearchTools_");
        log.SetFolderCap(kBenchCap);
        log.SetExitFlush(false);
        if (!log.Start()) {
            state.SkipWithError("the logger did not start");
            return;
        }
        log.Resume();
        std::atomic<bool> stop{false};
        uint64_t offeredBytes = 0;
        uint64_t folderMax = 0, written = 0;
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = Clock::now();
        std::thread writer([&] { Flood(log, stop, offeredBytes); });
        while (Clock::now() - start < std::chrono::seconds(seconds)) {
            const Vant::LogBudgetResult now = Vant::EnforceLogBudget(tmp.dir, UINT64_MAX, "");
            folderMax = std::max(folderMax, now.bytesBefore);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop = true;
        writer.join();
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        log.Shutdown();
        written = Vant::EnforceLogBudget(tmp.dir, UINT64_MAX, "").bytesBefore;
        state.counters["deletions"] = static_cast<double>(CountInFiles(tmp.dir, "LOG", "log folder above its limit"));
        state.counters["cap_MiB"] = static_cast<double>(kBenchCap) / (1 << 20);
        state.counters["budget_MiB"] = static_cast<double>(log.FolderBudget()) / (1 << 20);
        state.counters["folder_max_MiB"] = static_cast<double>(folderMax) / (1 << 20);
        state.counters["folder_end_MiB"] = static_cast<double>(written) / (1 << 20);
        state.counters["offered_MBps"] = static_cast<double>(offeredBytes) / wall / 1e6;
        state.counters["process_cores"] = cpu / wall;
        state.SetIterationTime(wall);
        if (folderMax > kBenchCap)
            state.SkipWithError("the folder passed its cap");
    }
}
BENCHMARK(Budget)->Name("BM_LogFlood/budget")->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Lines and dropped-record notes of every UdpCast file (plain or gzip) below dir.
void CountLines(const std::string &dir, uint64_t &lines, uint64_t &noted)
{
    DIR *top = opendir(dir.c_str());
    if (!top)
        return;
    while (dirent *day = readdir(top)) {
        if (day->d_name[0] == '.')
            continue;
        const std::string dayDir = dir + day->d_name + "/";
        DIR *files = opendir(dayDir.c_str());
        if (!files)
            continue;
        while (dirent *file = readdir(files)) {
            const std::string name = file->d_name;
            if (name.find("UdpCast") == std::string::npos)
                continue;
            gzFile in = gzopen((dayDir + name).c_str(), "rb"); // reads plain files too
            if (!in)
                continue;
            std::string line;
            char piece[65536];
            int n = 0;
            while ((n = gzread(in, piece, sizeof piece)) > 0) {
                for (int i = 0; i < n; ++i) {
                    line += piece[i];
                    if (piece[i] != '\n')
                        continue;
                    const std::size_t note = line.find("] -------------------- ");
                    if (note != std::string::npos && line.find(" records dropped") != std::string::npos)
                        noted += std::strtoull(line.c_str() + note + 23, nullptr, 10);
                    else
                        ++lines;
                    line.clear();
                }
            }
            gzclose(in);
        }
        closedir(files);
    }
    closedir(top);
}

void Accounting(benchmark::State &state)
{
    for (auto _ : state) {
        TempLog tmp;
        Vant::CLog log(tmp.dir, Vant::SystemClock());
        log.SetPrefix("BrenuSearchTools_");
        if (!log.Start()) {
            state.SkipWithError("the logger did not start");
            return;
        }
        log.Resume();
        std::atomic<bool> stop{false};
        uint64_t offeredBytes = 0, offered = 0;
        std::thread writer([&] { offered = Flood(log, stop, offeredBytes); });
        std::this_thread::sleep_for(std::chrono::seconds(5));
        stop = true;
        writer.join();
        log.Shutdown(); // the exit flush counts what it could not write
        uint64_t lines = 0, noted = 0;
        CountLines(tmp.dir, lines, noted);
        state.counters["offered"] = static_cast<double>(offered);
        state.counters["lines"] = static_cast<double>(lines);
        state.counters["noted_dropped"] = static_cast<double>(noted);
        state.counters["missing"] = static_cast<double>(offered) - static_cast<double>(lines + noted);
    }
}
BENCHMARK(Accounting)->Name("BM_LogFlood/accounting")->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
