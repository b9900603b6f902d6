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
//                     the worst a sender can do within kMaxFrameBodyLength: a
//                     buffer packed with magics 25 bytes apart, each declaring a
//                     body of the bound that opens a JSON string running to its
//                     end (the length field ends in a backslash, so the next
//                     frame's opening quote stays inside the string). Every
//                     body parses to its end and fails; "input_bytes" is what
//                     the sender had to send for one such scan.
#include "protocol/Frame.h"
#include "protocol/RapidJson.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
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

void BM_ScanRejectedNestedFrames(benchmark::State &state) {
    std::string field = std::to_string(kMaxFrameBodyLength);
    field.insert(0, kFrameLengthSize - 1 - field.size(), '0');
    field += '\\';  // atoi stops here; inside a JSON string it escapes the quote
    std::string input;
    while (input.size() + kFrameHeaderSize + 1 <= kMaxFrameBodyLength)
        input += std::string(kFrameMagic, kFrameMagicSize) + field + '"';
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

}  // namespace

BENCHMARK_MAIN();
