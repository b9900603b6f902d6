// What long texts cost the device list, in resident memory, against the same flood
// with 40-character texts, in one run:
//
//   BM_LongTextList/<chars>      2,000 forged devices, each answering once with a
//                                description of <chars> characters (40 or 60,000)
//   BM_IdentityFlood/<chars>     200 devices, each answered for by eight source
//                                addresses within one search period (the identity
//                                table's bound), descriptions of <chars> characters
//
// Counters: rss_MiB (resident growth while the list fills), per_device_KiB. Every
// answer is read as the search reads it, texts cut at their bound
// (device/DeviceRecord.h); the target is long <= 2x short. The identity flood shows
// what the identity table adds per source beside the device's own entry.
//
//   build/bin/bench_long_text_list
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "device/DeviceList.h"
#include "device/DeviceRecord.h"

namespace {

double ResidentMiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// One forged answer, read as the search reads every answer (ReadDeviceRecord), so its
// texts are cut at their bound as they are read.
DeviceRecord Forged(int device, int source, const QByteArray &description)
{
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:42:4d:%02x:%02x:%02x", (device >> 16) & 0xff, (device >> 8) & 0xff,
                  device & 0xff);
    const QByteArray json = QStringLiteral("{\"params\":{\"data\":[{\"serialNo\":\"FORGED%1\",\"address\":"
                                           "\"10.77.%2.%3\",\"port\":8000,\"dhcp\":false,\"subnetMask\":"
                                           "\"255.255.0.0\",\"gateway\":\"10.77.0.254\",\"dns\":\"10.77.0.253\","
                                           "\"mac\":\"%4\",\"description\":\"")
                                .arg(device, 6, 10, QLatin1Char('0'))
                                .arg(device / 250)
                                .arg(device % 250 + 1)
                                .arg(QString::fromLatin1(mac))
                                .toUtf8() +
                            description + "\"}]}}";
    DeviceRecord record;
    ReadDeviceRecord(json, record);
    record.source.address = QStringLiteral("10.78.%1.%2").arg(source).arg(device % 250 + 1);
    record.source.port = 19010;
    return record;
}

void Fill(benchmark::State &state, int devices, int sources)
{
    const QByteArray description(static_cast<int>(state.range(0)), 'd');
    double growth = 0;
    for (auto _ : state) {
        malloc_trim(0); // what earlier runs freed goes back, so that growth shows
        const double before = ResidentMiB();
        auto list = std::make_unique<DeviceList>();
        InterfaceAddress via;
        via.address = "10.77.0.1";
        via.device = "brw0";
        uint32_t tick = 1000;
        for (int source = 0; source < sources; ++source)
            for (int device = 0; device < devices; ++device)
                list->Note(Forged(device, source, description), via, tick++, 0);
        growth = ResidentMiB() - before;
        if (list->Count() != devices)
            state.SkipWithError("not every device was listed");
        state.SetIterationTime(1);
        list.reset();
    }
    state.counters["rss_MiB"] = growth;
    state.counters["per_device_KiB"] = growth * 1024.0 / devices;
}

void BM_LongTextList(benchmark::State &state)
{
    Fill(state, 2000, 1);
}

void BM_IdentityFlood(benchmark::State &state)
{
    Fill(state, 200, kMaxIdentitySources);
}

} // namespace

BENCHMARK(BM_LongTextList)->Arg(40)->Arg(60000)->Iterations(1)->UseManualTime();
BENCHMARK(BM_IdentityFlood)->Arg(40)->Arg(60000)->Iterations(1)->UseManualTime();

BENCHMARK_MAIN();
