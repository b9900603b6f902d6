// Frame scanner cost.
//
// BM_BareParse        rapidjson::Document::Parse of a typical search answer body
//                     (a fresh document per message), the floor for any receiver.
// BM_ScanParse        the same body as one frame: appended to a reassembly buffer,
//                     found, checked, parsed and validated by the scanner, with a
//                     fresh CProtocalJson per datagram (the search broadcaster).
// BM_ScanParseReused  the same with one CProtocalJson reused (the command client).
// BM_ScanFrames/N     N such frames in one buffer, scanned at once; "frame_time"
//                     is the cost per frame, which must not grow with N.
// BM_ScanRejectedNestedFrames
//                     the worst a sender can pack into one buffer: magics 25
//                     bytes apart, each declaring a body of the bound that opens
//                     a JSON string running to its end (the length field ends in
//                     a backslash, so the next frame's opening quote stays inside
//                     the string). Every body parses to its end and fails, so
//                     the scan ends at the failed-body budget; "input_bytes" is
//                     what the sender had to send for one such scan.
// BM_HostileVersusGenuine/<entry>
//                     the bound on parse work: cost per received byte of a stream
//                     of such packed late-failing frames, fed as 1472-byte
//                     datagrams from one sender, against the cost per byte of
//                     genuine answers, one per datagram; both measured in the same
//                     iterations. "ratio" = hostile ns/byte over genuine ns/byte
//                     (the target is at most 20). <entry> 0 feeds a FrameBuffer
//                     and scans it after each datagram; 1 feeds a searcher's
//                     PushData (the searcher has no group: nothing is logged, so
//                     the genuine cost is the scan alone).
// BM_ClientWorstPoll  one look of the command client at a buffer filled to its
//                     bound with such frames: the most one poll costs.
#include "protocol/Frame.h"
#include "protocol/RapidJson.h"
#include "protocol/Searcher.h"
#include "protocol/UdpClient.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

namespace {

std::string AnswerBody() {
    Vant::CProtocalJson json;
    json.SetApi("/brenu/model/searchbrenu.htm");
    json.SetDataString(0, "serialNo", "BRN-NVR-2024-000123456");
    json.SetDataString(0, "address", "10.77.0.2");
    json.SetDataString(0, "port", "19010");
    json.SetDataBool(0, "dhcp", false);
    json.SetDataString(0, "subnetMask", "255.255.255.0");
    json.SetDataString(0, "gateway", "10.77.0.254");
    json.SetDataString(0, "dns", "10.77.0.254");
    json.SetDataString(0, "mac", "00:1A:2B:3C:4D:5E");
    std::string body = json.ToString();
    // A device's free-text description fills the answer up to about 450 bytes.
    const std::string description(450 - body.size() - 20, 'd');
    json.SetDataString(0, "description", description.c_str());
    return json.ToString();
}

const std::string &Body() {
    static const std::string body = AnswerBody();
    return body;
}

const std::string &Frame() {
    static const std::string frame = BuildFrame(Body());
    return frame;
}

void Require(bool condition) {
    if (!condition)
        std::abort();
}

void BM_BareParse(benchmark::State &state) {
    const std::string &body = Body();
    for (auto _ : state) {
        rapidjson::Document document;
        document.Parse(body.c_str());
        Require(!document.HasParseError());
        benchmark::DoNotOptimize(document);
    }
    state.counters["body_bytes"] = static_cast<double>(body.size());
}
BENCHMARK(BM_BareParse);

void BM_ScanParse(benchmark::State &state) {
    const std::string &frame = Frame();
    ByteBuffer buffer;
    for (auto _ : state) {
        Require(buffer.Append(frame.data(), static_cast<std::uint32_t>(frame.size())));
        Vant::CProtocalJson message;
        int taken = 0;
        ScanFrames(buffer, message, [&](Vant::CProtocalJson &) {
            ++taken;
            return ScanNext::Continue;
        });
        Require(taken == 1);
    }
}
BENCHMARK(BM_ScanParse);

void BM_ScanParseReused(benchmark::State &state) {
    const std::string &frame = Frame();
    ByteBuffer buffer;
    Vant::CProtocalJson answer;
    for (auto _ : state) {
        Require(buffer.Append(frame.data(), static_cast<std::uint32_t>(frame.size())));
        Require(ScanFrames(buffer, answer, [](Vant::CProtocalJson &) { return ScanNext::Stop; }));
    }
}
BENCHMARK(BM_ScanParseReused);

void BM_ScanFrames(benchmark::State &state) {
    const int count = static_cast<int>(state.range(0));
    std::string frames;
    for (int i = 0; i < count; ++i)
        frames += Frame();
    ByteBuffer buffer;
    for (auto _ : state) {
        Require(buffer.Append(frames.data(), static_cast<std::uint32_t>(frames.size())));
        Vant::CProtocalJson message;
        int taken = 0;
        ScanFrames(buffer, message, [&](Vant::CProtocalJson &) {
            ++taken;
            return ScanNext::Continue;
        });
        Require(taken == count && buffer.Empty());
    }
    state.counters["frame_time"] = benchmark::Counter(static_cast<double>(count),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK(BM_ScanFrames)->Arg(1)->Arg(8)->Arg(64);

// Frames 25 bytes apart, each declaring a body of the bound that opens a JSON
// string the following frames continue: `bytes` of them.
std::string PackedLateFailingFrames(std::size_t bytes) {
    std::string field = std::to_string(kMaxFrameBodyLength);
    field.insert(0, kFrameLengthSize - 1 - field.size(), '0');
    field += '\\';  // atoi stops here; inside a JSON string it escapes the quote
    const std::string frame = std::string(kFrameMagic, kFrameMagicSize) + field + '"';
    std::string packed;
    while (packed.size() + frame.size() <= bytes)
        packed += frame;
    return packed;
}

void BM_ScanRejectedNestedFrames(benchmark::State &state) {
    std::string input = PackedLateFailingFrames(kMaxFrameBodyLength);
    input.append(kFrameHeaderSize + kMaxFrameBodyLength, 'x');  // completes every body
    ByteBuffer buffer;
    for (auto _ : state) {
        Require(buffer.Append(input.data(), static_cast<std::uint32_t>(input.size())));
        Vant::CProtocalJson message;
        int taken = 0;
        ScanFrames(buffer, message, [&](Vant::CProtocalJson &) {
            ++taken;
            return ScanNext::Continue;
        });
        Require(taken == 0 && buffer.Empty());
    }
    state.counters["input_bytes"] = static_cast<double>(input.size());
}
BENCHMARK(BM_ScanRejectedNestedFrames)->Unit(benchmark::kMillisecond);

// CPU time of this thread in ns: the machine may be shared, and the ratio is about
// work, not about who else runs.
double ThreadNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Feeds `stream` in datagrams of `size` bytes, as a receiver gets them; returns
// the messages taken and adds the CPU time spent to `ns`.
class Receiver {
public:
    virtual ~Receiver() = default;
    virtual void Receive(const char *data, std::size_t size) = 0;
    std::size_t Feed(const std::string &stream, std::size_t size, double &ns) {
        m_taken = 0;
        const double start = ThreadNs();
        for (std::size_t at = 0; at < stream.size(); at += size)
            Receive(stream.data() + at, std::min(size, stream.size() - at));
        ns += ThreadNs() - start;
        return m_taken;
    }

protected:
    std::size_t m_taken = 0;
};

// One sender's FrameBuffer scanned after every datagram, with a fresh message
// object per scan.
class ScanningReceiver : public Receiver {
public:
    void Receive(const char *data, std::size_t size) override {
        Require(m_buffer.bytes.Append(data, static_cast<std::uint32_t>(size)));
        Vant::CProtocalJson message;
        ScanFrames(m_buffer, message, [&](Vant::CProtocalJson &) {
            ++m_taken;
            return ScanNext::Continue;
        });
    }

private:
    FrameBuffer m_buffer;
};

// A searcher that is never started, fed through PushData from one sender. It has
// no group, so m_taken stays 0 here: the genuine feed is checked by the scanner.
class SearcherReceiver : public Receiver {
public:
    void Receive(const char *data, std::size_t size) override {
        m_searcher.PushData("10.77.0.9", 19010, reinterpret_cast<const std::uint8_t *>(data), static_cast<std::int32_t>(size));
    }

private:
    QUdpCast m_searcher{"10.77.0.1", nullptr, false};
};

void BM_HostileVersusGenuine(benchmark::State &state) {
    constexpr std::size_t kDatagram = 1472;
    constexpr std::size_t kAnswers = 2000;
    std::string genuine;
    for (std::size_t i = 0; i < kAnswers; ++i)
        genuine += Frame();
    const std::string hostile = PackedLateFailingFrames(4 * 1024 * 1024);
    const bool searcher = state.range(0) == 1;
    // A fresh receiver for each feed (made outside the timed part): what one feed
    // leaves pending must not change the other.
    const auto fresh = [searcher]() -> std::unique_ptr<Receiver> {
        if (searcher)
            return std::make_unique<SearcherReceiver>();
        return std::make_unique<ScanningReceiver>();
    };

    double genuineNs = 0, hostileNs = 0;
    for (auto _ : state) {
        const std::size_t taken = fresh()->Feed(genuine, Frame().size(), genuineNs);
        Require(searcher || taken == kAnswers);
        Require(fresh()->Feed(hostile, kDatagram, hostileNs) == 0);
    }
    const double n = static_cast<double>(state.iterations());
    const double genuinePerByte = genuineNs / (n * static_cast<double>(genuine.size()));
    const double hostilePerByte = hostileNs / (n * static_cast<double>(hostile.size()));
    state.counters["genuine_ns_per_byte"] = genuinePerByte;
    state.counters["hostile_ns_per_byte"] = hostilePerByte;
    state.counters["ratio"] = hostilePerByte / genuinePerByte;
    state.counters["hostile_MiB"] = static_cast<double>(hostile.size()) / (1024.0 * 1024.0);
}
// One look of the command client at a full buffer of packed late-failing frames:
// the most one 100 ms poll can cost the caller's thread.
void BM_ClientWorstPoll(benchmark::State &state) {
    const std::string packed = PackedLateFailingFrames(QUdpClient::kMaxBufferedBytes);
    for (auto _ : state) {
        FrameBuffer buffer;
        Require(buffer.bytes.Append(packed.data(), static_cast<std::uint32_t>(packed.size())));
        Vant::CProtocalJson answer;
        Require(!ScanFrames(buffer, answer, [](Vant::CProtocalJson &) { return ScanNext::Stop; }));
    }
    state.counters["buffer_bytes"] = static_cast<double>(packed.size());
}
BENCHMARK(BM_ClientWorstPoll)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_HostileVersusGenuine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
