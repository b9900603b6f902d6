// Retirement of silent devices (DeviceList::ForgetSilentFor, run by brenu-search under
// its search's lock): 20,000 devices that all answer with one serial number (a cloned
// firmware image, or a forged flood) against 20,000 with serial numbers of their own,
// each list filled and then retired whole in the same run.
//
//   BM_Retirement/shared    every device "CLONE" with a MAC of its own
//   BM_Retirement/distinct  every device a serial number of its own
//
// "retire_ms" is the time of the one ForgetSilentFor call that drops them all;
// BM_RetirementRatio runs both and gives "shared_over_distinct" (target <= 2).
//
//   build/bin/bench_device_retirement
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

#include "device/DeviceList.h"

namespace {

constexpr int kDevices = kMaxDeviceRows;

DeviceRecord Record(int i, bool shared)
{
    DeviceRecord record;
    record.serialNo = shared ? QStringLiteral("CLONE") : QStringLiteral("BRSIM%1").arg(i, 6, 10, QLatin1Char('0'));
    record.address = QStringLiteral("10.77.%1.%2").arg(i / 250).arg(i % 250 + 1);
    record.port = 8000;
    record.subnetMask = QStringLiteral("255.255.0.0");
    record.gateway = QStringLiteral("10.77.0.254");
    record.dns = QStringLiteral("10.77.0.253");
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:42:4d:%02x:%02x:%02x", (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff);
    record.mac = QString::fromLatin1(mac);
    record.description = QStringLiteral("bench");
    record.source.address = record.address;
    record.source.port = 19010;
    return record;
}

// Fills a list and retires every device in one call; its time in milliseconds.
double RetireAll(bool shared)
{
    DeviceList list(kDevices);
    InterfaceAddress via;
    via.address = "10.77.0.1";
    via.device = "brw0";
    for (int i = 0; i < kDevices; ++i)
        list.Note(Record(i, shared), via, 1000, 0);
    const auto start = std::chrono::steady_clock::now();
    const int gone = list.ForgetSilentFor(1000 + 3600 * 1000, 600 * 1000);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return gone == kDevices && list.Count() == 0 ? ms : -1;
}

void BM_Retirement(benchmark::State &state, bool shared)
{
    double total = 0;
    for (auto _ : state) {
        const double ms = RetireAll(shared);
        if (ms < 0) {
            state.SkipWithError("not every device was retired");
            return;
        }
        total += ms;
        state.SetIterationTime(ms / 1000.0);
    }
    state.counters["retire_ms"] = total / static_cast<double>(state.iterations());
}

void BM_RetirementRatio(benchmark::State &state)
{
    double shared = 0, distinct = 0;
    for (auto _ : state) {
        distinct += RetireAll(false);
        shared += RetireAll(true);
        state.SetIterationTime((shared + distinct) / 1000.0);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["shared_ms"] = shared / n;
    state.counters["distinct_ms"] = distinct / n;
    state.counters["shared_over_distinct"] = distinct > 0 ? shared / distinct : 0;
}

} // namespace

BENCHMARK_CAPTURE(BM_Retirement, shared, true)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_Retirement, distinct, false)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RetirementRatio)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
