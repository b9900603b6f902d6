// The serial numbers named on brenu-search's command line: duplicates are dropped
// in one pass, and more than a listing holds are refused before anything starts.
// Parsed as the program parses them (no network), for `reboot`:
//
//   build/bin/bench_cli_serials
//
// Reported: the cost per argument at 2,000 and at 20,000 serial numbers, distinct
// and all alike (target: per_serial_ratio, the larger list's cost per argument over
// the smaller's, under 2: linear, where removing duplicates pairwise would give 10),
// and the time to refuse 100,000 serial numbers (target: under 100 ms).
#include <benchmark/benchmark.h>

#include <QStringList>

#include <chrono>

#include "cli/Options.h"

namespace {

QStringList RebootLine(int count, bool alike)
{
    QStringList arguments{"brenu-search", "reboot", "--yes"};
    for (int i = 0; i < count; ++i)
        arguments << (alike ? QStringLiteral("SN-SAME") : QStringLiteral("SN%1").arg(i, 6, 10, QLatin1Char('0')));
    return arguments;
}

// Seconds per argument to parse `arguments` (the best of a few runs).
double PerArgument(const QStringList &arguments, std::string &error)
{
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        cli::Invocation invocation;
        const auto start = std::chrono::steady_clock::now();
        error = cli::ParseCommandLine(arguments, false, invocation);
        benchmark::DoNotOptimize(invocation.serials.size());
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best / arguments.size();
}

void RebootSerials(benchmark::State &state)
{
    const bool alike = state.range(0) != 0;
    const QStringList small = RebootLine(2000, alike), large = RebootLine(20000, alike), over = RebootLine(100000, alike);
    double perSmall = 0, perLarge = 0, refuseMs = 0;
    for (auto _ : state) {
        std::string error;
        perSmall = PerArgument(small, error);
        perLarge = PerArgument(large, error);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        cli::Invocation invocation;
        const auto start = std::chrono::steady_clock::now();
        error = cli::ParseCommandLine(over, false, invocation);
        refuseMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (error.empty()) {
            state.SkipWithError("100,000 serial numbers were accepted");
            return;
        }
    }
    state.counters["per_serial_ns_2000"] = perSmall * 1e9;
    state.counters["per_serial_ns_20000"] = perLarge * 1e9;
    state.counters["per_serial_ratio"] = perLarge / perSmall;
    state.counters["refuse_100000_ms"] = refuseMs;
}
BENCHMARK(RebootSerials)->ArgName("alike")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
