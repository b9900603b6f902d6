// What forged sender addresses can make a searcher hold.
//
// BM_ForgedSenders/N  a searcher (never started: the benchmark plays its socket's
//                     worker and calls PushData) gets one datagram of N bytes from
//                     each of 100,000 distinct sender addresses, each the start of
//                     a frame whose body lacks 24 bytes, and then one 1472-byte
//                     datagram of garbage from each, which completes every held
//                     frame; no body parses, so every byte is consumed. N = 1472
//                     meets the byte cap first, N = 100 the sender cap.
//                     Counters: "rss_growth_MiB" is the resident growth at the end
//                     (target: at most 16), "rss_growth_incomplete_MiB" the growth
//                     after the first pass, "peak_senders" / "peak_bytes_MiB" the
//                     most the searcher held (its caps), "senders_left" the entries
//                     left at the end (must be 0: every byte was consumed).
#include "protocol/Frame.h"
#include "protocol/Searcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

constexpr int kSenders = 100000;
constexpr std::size_t kDatagram = 1472;

// Resident bytes of this process.
double ResidentMiB()
{
    long pages = 0, resident = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The i-th forged sender: 10.a.b.c, all distinct.
std::string Sender(int i)
{
    return "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) + "." +
           std::to_string(i & 255);
}

void Push(QUdpCast &searcher, const std::string &sender, const std::string &datagram)
{
    searcher.PushData(sender, 19010, reinterpret_cast<const std::uint8_t *>(datagram.data()),
                      static_cast<std::int32_t>(datagram.size()));
}

void BM_ForgedSenders(benchmark::State &state)
{
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::string incomplete = BuildFrame(std::string(size, '[')).substr(0, size);
    const std::string garbage(kDatagram, 'g');
    for (auto _ : state) {
        QUdpCast searcher("10.77.0.1", nullptr, false);
        const double before = ResidentMiB();
        std::size_t peakSenders = 0, peakBytes = 0;
        for (int i = 0; i < kSenders; ++i) {
            Push(searcher, Sender(i), incomplete);
            peakSenders = std::max(peakSenders, searcher.PendingSenders());
            peakBytes = std::max(peakBytes, searcher.PendingBytes());
        }
        const double incompleteGrowth = ResidentMiB() - before;
        for (int i = 0; i < kSenders; ++i)
            Push(searcher, Sender(i), garbage);
        const double growth = ResidentMiB() - before;
        const std::size_t left = searcher.PendingSenders();

        state.counters["rss_growth_MiB"] = growth;
        state.counters["rss_growth_incomplete_MiB"] = incompleteGrowth;
        state.counters["peak_senders"] = static_cast<double>(peakSenders);
        state.counters["peak_bytes_MiB"] = static_cast<double>(peakBytes) / (1024.0 * 1024.0);
        state.counters["senders_left"] = static_cast<double>(left);
        if (left != 0 || searcher.PendingBytes() != 0)
            state.SkipWithError("entries are kept for senders whose bytes were all consumed");
        else if (growth > 16.0)
            state.SkipWithError("resident growth above 16 MiB");
    }
}
BENCHMARK(BM_ForgedSenders)->Arg(1472)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
