// The caller's cost of LogWrite with a 200-byte text, from 1 and 2 threads, against
// spdlog's asynchronous file logger writing the same text with the same line layout,
// and the logger worker's sustained records per second for one context.
//
//   build/bin/bench_log_write
//
// Logs go to a temporary directory that is removed at the end. The ratios of the
// median costs (ours / spdlog's) are printed after the table.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <ftw.h>
#include <unistd.h>

#include <spdlog/async.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "kit/Clock.h"
#include "kit/Log.h"

namespace {

// Iterations per thread and repetition. Each thread of each repetition writes to a
// context of its own, and 20000 records are exactly what one context's queue holds
// (CLogContextHandle::kMaxQueuedRecords): every record measured is accepted, none
// takes the cheaper path of a full queue.
constexpr int kIterations = 20000;
static_assert(kIterations <= static_cast<int>(Vant::CLogContextHandle::kMaxQueuedRecords),
              "the measured writes must all find room");
constexpr int kRepetitions = 9;

std::string g_dir;
std::shared_ptr<spdlog::logger> g_spd;

const std::string &Text200()
{
    static const std::string text = [] {
        std::string t = "{\"api\":\"/device/search\",\"params\":{\"data\":[{\"serialNo\":\"BR2020051300017\","
                        "\"ip\":\"10.77.0.2\",\"port\":19010,\"dhcp\":false,\"mask\":\"255.255.255.0\"";
        while (t.size() < 198)
            t += 'x';
        return t + "}}";
    }();
    return text;
}

void BM_LogWrite(benchmark::State &state)
{
    static std::atomic<int> s_runs{0};
    const std::string tag = "UdpCast" + std::to_string(s_runs++);
    const std::string &text = Text200();
    for (auto _ : state)
        Vant::LogWrite(tag.c_str(), text);
}

void BM_SpdlogAsync(benchmark::State &state)
{
    const std::string &text = Text200();
    spdlog::logger &logger = *g_spd;
    for (auto _ : state)
        logger.log(spdlog::level::info, spdlog::string_view_t(text.data(), text.size()));
}

BENCHMARK(BM_LogWrite)->Iterations(kIterations)->Repetitions(kRepetitions)->Threads(1)->UseRealTime();
BENCHMARK(BM_SpdlogAsync)->Iterations(kIterations)->Repetitions(kRepetitions)->Threads(1)->UseRealTime();
BENCHMARK(BM_LogWrite)->Iterations(kIterations)->Repetitions(kRepetitions)->Threads(2)->UseRealTime();
BENCHMARK(BM_SpdlogAsync)->Iterations(kIterations)->Repetitions(kRepetitions)->Threads(2)->UseRealTime();

// The worker's sustained rate for one busy context: a logger of its own, paced as
// in production (10 ms loop pause plus 10 ms after each batch of 100).
void BM_WorkerSustained(benchmark::State &state)
{
    const std::string &text = Text200();
    constexpr int kRecords = 6000;
    for (auto _ : state) {
        Vant::CLog log(g_dir + "/sustained/", Vant::SystemClock());
        for (int i = 0; i < kRecords; ++i)
            log.Write("Busy", text);
        auto start = std::chrono::steady_clock::now();
        log.Start();
        log.Resume();
        while (log.QueueLength("Busy") > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        log.SetExitFlush(false);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_WorkerSustained)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A clock whose tick moves one second at every reading: the per-second bound on
// what a context writes (CLogContextHandle::kMaxWriteBytesPerSecond) then never
// holds a batch back, and the steps below measure the cost of writing alone.
class SecondPerTick : public Vant::IClock {
public:
    uint32_t Tick() override { return m_tick += 1000; }
    int64_t Now() override { return Vant::SystemClock()->Now(); }

private:
    uint32_t m_tick = 0;
};

// The same work without the pauses: what one batch step costs (file open, append,
// close), as records per second.
void BM_WorkerStepsUnpaced(benchmark::State &state)
{
    const std::string &text = Text200();
    constexpr int kRecords = 20000;
    Vant::CLog log(g_dir + "/unpaced/", std::make_shared<SecondPerTick>());
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kRecords; ++i)
            log.Write("Busy", text);
        state.ResumeTiming();
        while (log.QueueLength("Busy") > 0)
            log.Step();
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_WorkerStepsUnpaced)->Iterations(3)->Unit(benchmark::kMillisecond);

// Keeps the median of every repeated benchmark to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.str()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }

} // namespace

int main(int argc, char **argv)
{
    char templ[] = "/tmp/bench-log-write-XXXXXX";
    if (!mkdtemp(templ)) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = templ;

    Vant::LogInit(g_dir + "/log/", Vant::SystemClock());
    Vant::LogEnableExitFlush(false);
    Vant::LogEnable(true);
    Vant::LogSetPrefix("BrenuSearchTools_");

    spdlog::init_thread_pool(8192, 1);
    g_spd = spdlog::basic_logger_mt<spdlog::async_factory>("spd", g_dir + "/spdlog/UdpCast.log");
    g_spd->set_formatter(std::make_unique<spdlog::pattern_formatter>("[%Y-%m-%d %H:%M:%S] %v",
                                                                     spdlog::pattern_time_type::local, "\r\n"));

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto ratio = [&](const char *ours, const char *theirs) {
        auto a = reporter.medians.find(ours), b = reporter.medians.find(theirs);
        if (a != reporter.medians.end() && b != reporter.medians.end() && b->second > 0)
            std::printf("ratio %-40s %.3f  (%.1f ns / %.1f ns)\n", ours, a->second / b->second, a->second, b->second);
    };
    ratio("BM_LogWrite/iterations:20000/repeats:9/real_time/threads:1",
          "BM_SpdlogAsync/iterations:20000/repeats:9/real_time/threads:1");
    ratio("BM_LogWrite/iterations:20000/repeats:9/real_time/threads:2",
          "BM_SpdlogAsync/iterations:20000/repeats:9/real_time/threads:2");

    // Stop both loggers' threads before their directory goes.
    if (Vant::CLog *log = Vant::LogInstance())
        log->Terminate();
    spdlog::shutdown();
    g_spd.reset();
    nftw(g_dir.c_str(), &RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
