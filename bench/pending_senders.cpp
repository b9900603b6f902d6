// Hash flooding of the searcher's pending senders: the cost per datagram when every
// datagram is a 24-byte frame header (so every one makes or renews a pending entry)
// from 20,000 sender addresses in turn, with addresses an attacker chose to collide
// against ordinary ones.
//
//   build/bin/bench_pending_senders
//
// The colliding addresses are crafted against the keying the searcher once used: the
// address text hashed by libstdc++'s std::hash<std::string> (a fixed seed) into an
// unordered_map of the size the sender cap lets it reach; all of them fall into one
// bucket. (The search for them takes a few seconds of one core before the timing.)
//
//   BM_PendingSenders/searcher   QUdpCast::PushData, whose entries sit in an ordered
//                                map keyed by address and port as one integer
//   BM_PendingSenders/text_hash  the same datagrams through a replica of the old
//                                keying (unordered_map<std::string>, oldest evicted
//                                at the same cap), to show the crafted set is a
//                                real attack on it
// Counters: ordinary_ns and colliding_ns per datagram, measured alternately in the
// same run, and colliding_ratio = colliding_ns / ordinary_ns (target for the
// searcher: <= 2).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kit/Clock.h"
#include "protocol/Frame.h"
#include "protocol/Searcher.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kSenders = 20000;
constexpr std::size_t kCap = QUdpCast::kMaxPendingSenders;

// A clock that never moves: nothing expires while the benchmark runs.
class StillClock : public Vant::IClock {
public:
    uint32_t Tick() override { return 1000; }
    int64_t Now() override { return 0; }
};

std::string Header()
{
    return std::string(kFrameMagic, kFrameMagicSize) + "0000000000065483";
}

std::vector<std::string> OrdinaryAddresses()
{
    std::vector<std::string> addresses;
    for (std::size_t i = 0; i < kSenders; ++i)
        addresses.push_back("10.77." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
    return addresses;
}

// The bucket count an unordered_map<std::string> reaches on its way to kCap entries.
std::size_t OldBucketCount()
{
    std::unordered_map<std::string, int> map;
    for (std::size_t i = 0; i <= kCap; ++i) // the cap and the one entry over it before an eviction
        map.emplace(std::to_string(i), 0);
    return map.bucket_count();
}

// kSenders dotted addresses whose texts all hash into bucket 0 of `buckets`.
std::vector<std::string> CollidingAddresses(std::size_t buckets)
{
    std::vector<std::string> found;
    const std::hash<std::string> hash;
    std::string octets[256];
    for (unsigned i = 0; i < 256; ++i)
        octets[i] = std::to_string(i);
    std::string prefix, text;
    text.reserve(16);
    for (unsigned a = 1; a < 224 && found.size() < kSenders; ++a) {
        for (unsigned b = 0; b < 256 && found.size() < kSenders; ++b) {
            for (unsigned c = 0; c < 256 && found.size() < kSenders; ++c) {
                prefix = octets[a] + "." + octets[b] + "." + octets[c] + ".";
                for (unsigned d = 1; d < 255; ++d) {
                    text.assign(prefix);
                    text.append(octets[d]);
                    if (hash(text) % buckets == 0)
                        found.push_back(text);
                }
            }
        }
    }
    return found;
}

struct AddressSets {
    std::vector<std::string> ordinary = OrdinaryAddresses();
    std::vector<std::string> colliding = CollidingAddresses(OldBucketCount());
};

const AddressSets &Sets()
{
    static const AddressSets sets;
    return sets;
}

// The old keying: pending entries by address text, the oldest evicted at the cap.
class TextKeyed {
public:
    void Push(const std::string &sender)
    {
        auto found = m_pending.find(sender);
        if (found == m_pending.end()) {
            m_age.push_back(sender);
            found = m_pending.emplace(sender, std::prev(m_age.end())).first;
        }
        if (m_pending.size() > kCap) {
            m_pending.erase(m_age.front());
            m_age.pop_front();
        }
    }

private:
    std::unordered_map<std::string, std::list<std::string>::iterator> m_pending;
    std::list<std::string> m_age;
};

template <typename Push>
double NsPerDatagram(const std::vector<std::string> &senders, Push &&push)
{
    const auto start = Clock::now();
    for (const std::string &sender : senders)
        push(sender);
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(senders.size());
}

// `passes` alternate passes over each address set.
template <typename Make>
void Compare(benchmark::State &state, int passes, Make &&make)
{
    const AddressSets &sets = Sets();
    if (sets.colliding.size() < kSenders) {
        state.SkipWithError("not enough colliding addresses found");
        return;
    }
    double ordinary = 0, colliding = 0;
    for (auto _ : state) {
        ordinary = colliding = 0;
        for (int pass = 0; pass < passes; ++pass) {
            auto forOrdinary = make();
            auto forColliding = make();
            ordinary += NsPerDatagram(sets.ordinary, forOrdinary) / passes;
            colliding += NsPerDatagram(sets.colliding, forColliding) / passes;
        }
    }
    state.counters["ordinary_ns"] = ordinary;
    state.counters["colliding_ns"] = colliding;
    state.counters["colliding_ratio"] = colliding / ordinary;
}

void BM_Searcher(benchmark::State &state)
{
    const std::string header = Header();
    Compare(state, 5, [&header] {
        auto searcher = std::make_shared<QUdpCast>("10.77.0.1", nullptr, false);
        searcher->SetPendingClock(std::make_shared<StillClock>());
        return [searcher, &header](const std::string &sender) {
            searcher->PushData(sender, 19010, reinterpret_cast<const uint8_t *>(header.data()),
                               static_cast<int32_t>(header.size()));
        };
    });
}
BENCHMARK(BM_Searcher)->Name("BM_PendingSenders/searcher")->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_TextHash(benchmark::State &state)
{
    // One pass: a colliding datagram costs the old keying about a thousand times more.
    Compare(state, 1, [] {
        auto keyed = std::make_shared<TextKeyed>();
        return [keyed](const std::string &sender) { keyed->Push(sender); };
    });
}
BENCHMARK(BM_TextHash)->Name("BM_PendingSenders/text_hash")->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
