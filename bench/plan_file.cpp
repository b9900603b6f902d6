// Reading plan files, in a child process each, so that its peak memory is its own:
//
//   build/bin/bench_plan_file
//
// BM_PlanPeakMemory/valid: a plan of kMaxPlanRows good rows (about 1.4 MiB).
// BM_PlanPeakMemory/flood: a wrong file of kMaxPlanFileBytes, "serialNo,...\n"
// followed by ",\n" to the limit: four million records, every one a problem.
// BM_PlanPeakMemory/wide: the header and one record of eight million empty fields.
// Reported: the child's peak resident memory over that of a child that parsed
// nothing, and the ratios flood / valid and wide / valid (target: at most 2; a
// wrong file must not cost more memory than a full plan does).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "device/PlanFile.h"

namespace {

QByteArray ValidPlan()
{
    QByteArray bytes = "serialNo,address,subnetMask,gateway,dns,dhcp\n";
    for (int i = 0; i < kMaxPlanRows; ++i)
        bytes += QByteArray("SN-") + QByteArray::number(i) + ",10.77." + QByteArray::number(i / 250) + "." +
                 QByteArray::number(i % 250 + 1) + ",255.255.0.0,10.77.0.254,10.77.0.254,off\n";
    return bytes;
}

QByteArray FloodPlan()
{
    QByteArray bytes = "serialNo,address,subnetMask,gateway,dns,dhcp\n";
    while (bytes.size() + 2 <= kMaxPlanFileBytes)
        bytes += ",\n";
    return bytes;
}

QByteArray WidePlan()
{
    QByteArray bytes = "serialNo,address,subnetMask,gateway,dns,dhcp\n";
    bytes += QByteArray(kMaxPlanFileBytes - bytes.size(), ',');
    return bytes;
}

// Peak resident KiB of a child that parses `bytes` (or does nothing when `parse` is
// false); -1 when the child failed.
long ChildPeakKiB(const QByteArray &bytes, bool parse)
{
    const pid_t pid = fork();
    if (pid == 0) {
        long long kept = 0;
        if (parse) {
            const Plan plan = ParsePlan(bytes);
            kept = static_cast<long long>(plan.rows.size()) + plan.problemCount;
        }
        _exit(kept >= 0 ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

void BM_PlanPeakMemory(benchmark::State &state)
{
    const QByteArray valid = ValidPlan();
    const QByteArray flood = FloodPlan();
    const QByteArray wide = WidePlan();
    for (auto _ : state) {
        const long base = ChildPeakKiB(valid, false);
        const long validPeak = ChildPeakKiB(valid, true);
        const long floodPeak = ChildPeakKiB(flood, true);
        const long widePeak = ChildPeakKiB(wide, true);
        if (base < 0 || validPeak < 0 || floodPeak < 0 || widePeak < 0) {
            state.SkipWithError("a child failed");
            return;
        }
        state.counters["valid_KiB"] = static_cast<double>(validPeak - base);
        state.counters["flood_KiB"] = static_cast<double>(floodPeak - base);
        const double valid = static_cast<double>(std::max(1L, validPeak - base));
        state.counters["wide_KiB"] = static_cast<double>(widePeak - base);
        state.counters["flood_over_valid"] = static_cast<double>(floodPeak - base) / valid;
        state.counters["wide_over_valid"] = static_cast<double>(widePeak - base) / valid;
    }
}

} // namespace

BENCHMARK(BM_PlanPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
