// Discovery at scale: the search group against N simulated devices (100, 1000, 5000)
// that each answer one search once, after a random delay of 0..200 ms.
//
//   scripts/private-network build/bin/bench_discovery
//
// Everything runs in the network sandbox: the group in the workstation namespace
// (one searcher, on 10.77.0.1), brenu-devsim in the device namespace. The logger
// writes to a temporary directory, so the log queueing is part of the cost.
//
// Discovery/unicast/N and Discovery/broadcast/N (the devices answer by unicast or by
// broadcast; manual time = request to last callback), counters per run:
//   sent           answers the simulator sent (its summary)
//   received       callbacks the window's callback got
//   lost           sent - received
//   request_to_last_ms      the simulator's receipt of the request to the last callback
//   last_sent_to_last_ms    the last answer sent to the last callback (target <= 50 ms at 1000)
//   cost_us_median / _p90   CPU time of the socket thread per answer: receive, reassembly,
//                           parse, log queueing and callback (target <= 10 us median),
//                           including one read of the thread's CPU clock (cpu_clock_read_us)
//
// DeviceListFlood: the device list brenu-search keeps under its search's lock, filled
// with 20,000 devices whose serial numbers share one Qt 5 string hash whatever its
// seed, and with 20,000 random serial numbers of the same length, in one run: the
// fill, and one further answer of each device after it. "*_ratio" is colliding /
// random (target <= 2 each).
//
// SearcherPushData: the same per-answer work without the socket (PushData of one
// answer datagram), for comparison with the socket thread's cost. SearcherPushAnswer:
// the same through the answer callback, reading the device record as the window and
// brenu-search do. SearcherPushAnswerWithSource: that, with the datagram's source
// kept beside the record (target <= 1.1 x SearcherPushAnswer, same run).
// SearcherPushAnswerTextsAsUtf8: SearcherPushAnswer with the texts read as they were
// before devices' own bytes were kept (straight to QString as UTF-8, nothing kept):
// the yardstick for SearcherPushAnswer (target <= 1.1 x, same run).
// SearcherPushAnswerGbk: SearcherPushAnswer for an answer whose description is GBK.
// DecodeGbkDescription: showing a 256-byte GBK description (target <= 2 us).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "bench/BenchTools.h"
#include "device/DeviceList.h"
#include "device/DeviceRecord.h"
#include "device/DeviceText.h"
#include "kit/Log.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"

namespace {

int64_t ThreadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// What the window's callback would see, with the socket thread's CPU time between
// two callbacks (the whole cost of one answer on that thread).
struct Receiver {
    explicit Receiver(size_t expected) { costNs.reserve(expected); }

    static void Callback(const char *text, int length, void *user)
    {
        auto *self = static_cast<Receiver *>(user);
        // The window copies the text into a string of its own and queues a signal.
        std::string copy(text, static_cast<size_t>(length));
        benchmark::DoNotOptimize(copy.data());
        const int64_t cpu = ThreadCpuNs();
        std::lock_guard<std::mutex> lock(self->lock);
        // Each thread's previous callback; the searcher has one socket thread.
        if (self->lastCpu != 0 && self->lastThread == std::this_thread::get_id())
            self->costNs.push_back(cpu - self->lastCpu);
        self->lastCpu = cpu;
        self->lastThread = std::this_thread::get_id();
        self->lastCallbackNs = benchtools::MonotonicNs();
        self->count.fetch_add(1);
    }

    std::mutex lock;
    std::vector<int64_t> costNs;
    int64_t lastCpu = 0;
    std::thread::id lastThread;
    int64_t lastCallbackNs = 0;
    std::atomic<long> count{0};
};

// What one read of the thread's CPU clock costs (it is part of every measured answer).
double CpuClockReadNs()
{
    constexpr int kReads = 10000;
    const int64_t start = ThreadCpuNs();
    for (int i = 0; i < kReads; ++i)
        benchmark::DoNotOptimize(ThreadCpuNs());
    return static_cast<double>(ThreadCpuNs() - start) / kReads;
}

double Percentile(std::vector<int64_t> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return static_cast<double>(values[at]);
}

void Discovery(benchmark::State &state, bool broadcast)
{
    const int devices = static_cast<int>(state.range(0));
    std::string error;
    const sandbox::DeviceNetwork *net = sandbox::ProcessDeviceNetwork(error);
    if (!net) {
        state.SkipWithError(error.c_str());
        return;
    }
    benchtools::StartLogger();

    double sent = 0, received = 0, requestToLast = 0, lastSentToLast = 0, worstLastSentToLast = 0;
    std::vector<int64_t> costs;
    int runs = 0;
    for (auto _ : state) {
        // A fresh simulator per run: each device answers a searcher only once.
        const std::string log = "/tmp/bench_discovery_" + std::to_string(getpid()) + ".log";
        unlink(log.c_str());
        std::vector<std::string> argv{benchtools::SiblingProgram("brenu-devsim"), "--devices", std::to_string(devices), "--jitter", "200",
                                      "--answer-once", "--seed", std::to_string(runs + 1), "--log", log,
                                      "--exit-with-parent", "--quiet"};
        if (broadcast)
            argv.push_back("--broadcast");
        const pid_t sim = net->SpawnInDevice(argv);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (benchtools::LastLine(log, "ready ").empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (sim <= 0 || benchtools::LastLine(log, "ready ").empty()) {
            state.SkipWithError("the simulator did not start");
            return;
        }

        Receiver receiver(static_cast<size_t>(devices));
        QUdpCastGroup group(&Receiver::Callback, &receiver);
        group.Start();
        // Answers come within 200 ms of the request; give them ample time.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (receiver.count.load() < devices && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        group.Stop();

        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        const std::string summary = benchtools::LastLine(log, "summary ");
        unlink(log.c_str());
        const long long answers = benchtools::Field(summary, "search_answers");
        const long long requestNs = benchtools::Field(summary, "first_search_ns");
        const long long lastAnswerNs = benchtools::Field(summary, "last_answer_ns");
        if (answers <= 0 || requestNs <= 0) {
            state.SkipWithError(("no answers sent: " + summary).c_str());
            return;
        }
        if (receiver.count.load() == 0) {
            // Without a callback there is no time to the last one (it would come out negative).
            state.SkipWithError(("no answer reached the callback: " + summary).c_str());
            return;
        }
        const double toLast = static_cast<double>(receiver.lastCallbackNs - requestNs) / 1e6;
        const double behind = static_cast<double>(receiver.lastCallbackNs - lastAnswerNs) / 1e6;
        state.SetIterationTime(toLast / 1e3);
        sent += static_cast<double>(answers);
        received += static_cast<double>(receiver.count.load());
        requestToLast += toLast;
        lastSentToLast += behind;
        worstLastSentToLast = std::max(worstLastSentToLast, behind);
        costs.insert(costs.end(), receiver.costNs.begin(), receiver.costNs.end());
        ++runs;
    }
    if (runs == 0)
        return;
    state.counters["sent"] = sent / runs;
    state.counters["received"] = received / runs;
    state.counters["lost"] = (sent - received) / runs;
    state.counters["request_to_last_ms"] = requestToLast / runs;
    state.counters["last_sent_to_last_ms"] = lastSentToLast / runs;
    state.counters["last_sent_to_last_worst_ms"] = worstLastSentToLast;
    state.counters["cost_us_median"] = Percentile(costs, 0.5) / 1e3;
    state.counters["cost_us_p90"] = Percentile(costs, 0.9) / 1e3;
    state.counters["cpu_clock_read_us"] = CpuClockReadNs() / 1e3;
}
// Devices answer by unicast to the searcher's address and port (the usual way)...
BENCHMARK_CAPTURE(Discovery, unicast, false)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(5000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// ...or by broadcast, which reaches the searcher through the socket's receive-only
// broadcast socket.
BENCHMARK_CAPTURE(Discovery, broadcast, true)
    ->Arg(1000)
    ->Arg(5000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// "模拟设备 1": UTF-8, and GBK as a Chinese Windows system writes it.
constexpr const char *kUtf8Description = "\xE6\xA8\xA1\xE6\x8B\x9F\xE8\xAE\xBE\xE5\xA4\x87 1";
constexpr const char *kGbkDescription = "\xC4\xA3\xC4\xE2\xC9\xE8\xB1\xB8 1";

// One search answer as a device sends it, framed.
std::string AnswerFrame(const char *description = kUtf8Description)
{
    return BuildFrame(
        std::string("{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/searchbrenu.htm\","
                    "\"params\":{\"data\":[{\"serialNo\":\"BRSIM000001\",\"address\":\"10.77.0.2\",\"port\":8000,"
                    "\"dhcp\":false,\"subnetMask\":\"255.255.255.0\",\"gateway\":\"10.77.0.254\","
                    "\"dns\":\"10.77.0.253\",\"mac\":\"02:00:00:00:00:01\",\"description\":\"") +
        description + "\"}]}}");
}

// Pushes the answer frame into a searcher of `group` once per iteration, as its socket
// would; an error unless `counted` went up once each time. Then lets the logger write
// what was queued, before the next repetition.
void PushAnswerFrames(benchmark::State &state, QUdpCastGroup &group, const long &counted, const char *missed,
                      const std::string &frame = AnswerFrame())
{
    QUdpCast searcher("10.77.0.1", &group, false); // never started: the benchmark plays its socket
    const auto *bytes = reinterpret_cast<const uint8_t *>(frame.data());
    for (auto _ : state)
        searcher.PushData("10.77.0.2", 19010, bytes, static_cast<int32_t>(frame.size()));
    if (counted != static_cast<long>(state.iterations()))
        state.SkipWithError(missed);
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

void SearcherPushData(benchmark::State &state)
{
    benchtools::StartLogger();
    long callbacks = 0;
    QUdpCastGroup group([](const char *, int, void *user) { ++*static_cast<long *>(user); }, &callbacks);
    PushAnswerFrames(state, group, callbacks, "an answer was not dispatched");
}
// Bounded: every answer is a log record, and the logger writes about 10000 a second.
BENCHMARK(SearcherPushData)->Iterations(5000)->Repetitions(5)->Unit(benchmark::kMicrosecond);

// The same through the answer callback that the window and brenu-search set, which
// reads the device record (and its hearing address) from every answer.
void SearcherPushAnswer(benchmark::State &state)
{
    benchtools::StartLogger();
    long complete = 0;
    QUdpCastGroup group(nullptr, &complete);
    group.SetAnswerCallBack([](const Vant::CProtocalJson &message, const InterfaceAddress &, const AnswerSource &, void *user) {
        DeviceRecord record;
        if (ReadDeviceRecord(message, record) && IsCompleteRecord(record))
            ++*static_cast<long *>(user);
    });
    PushAnswerFrames(state, group, complete, "an answer was not read as a complete record");
}
BENCHMARK(SearcherPushAnswer)->Iterations(5000)->Repetitions(5)->Unit(benchmark::kMicrosecond);

// The same with the answer's source kept beside the record, as DeviceSearch and the
// window keep it: must stay within 1.1 times SearcherPushAnswer.
void SearcherPushAnswerWithSource(benchmark::State &state)
{
    benchtools::StartLogger();
    long complete = 0;
    QUdpCastGroup group(nullptr, &complete);
    group.SetAnswerCallBack([](const Vant::CProtocalJson &message, const InterfaceAddress &, const AnswerSource &source,
                               void *user) {
        DeviceRecord record;
        if (!ReadDeviceRecord(message, record) || !IsCompleteRecord(record))
            return;
        record.source = AnswerOrigin{QString::fromStdString(*source.address), source.port};
        if (record.source.port == 19010 && !AnnouncedElsewhere(record))
            ++*static_cast<long *>(user);
    });
    PushAnswerFrames(state, group, complete, "an answer was not read with its source");
}
BENCHMARK(SearcherPushAnswerWithSource)->Iterations(5000)->Repetitions(5)->Unit(benchmark::kMicrosecond);

// The texts of a record as they were read before the devices' bytes were kept: each
// member straight to a QString as UTF-8.
bool ReadRecordTextsAsUtf8(const Vant::CProtocalJson &message, DeviceRecord &record)
{
    if (!message.HasData())
        return false;
    auto text = [&](const char *name) {
        const rapidjson::Value &value = message.GetDataValue(0, name);
        return value.IsString() ? QString::fromUtf8(value.GetString())
                                : QString::fromUtf8(Vant::ValueToString(value).c_str());
    };
    record.serialNo = text("serialNo");
    record.address = text("address");
    const rapidjson::Value &port = message.GetDataValue(0, "port");
    record.port = port.IsInt() ? port.GetInt() : port.IsString() ? std::atoi(port.GetString()) : 0;
    record.dhcp = Vant::ValueIsTrue(message.GetDataValue(0, "dhcp"));
    record.subnetMask = text("subnetMask");
    record.gateway = text("gateway");
    record.dns = text("dns");
    record.mac = text("mac");
    record.description = text("description");
    return true;
}

void SearcherPushAnswerTextsAsUtf8(benchmark::State &state)
{
    benchtools::StartLogger();
    long complete = 0;
    QUdpCastGroup group(nullptr, &complete);
    group.SetAnswerCallBack([](const Vant::CProtocalJson &message, const InterfaceAddress &, const AnswerSource &, void *user) {
        DeviceRecord record;
        if (ReadRecordTextsAsUtf8(message, record) && IsCompleteRecord(record))
            ++*static_cast<long *>(user);
    });
    PushAnswerFrames(state, group, complete, "an answer was not read as a complete record");
}
BENCHMARK(SearcherPushAnswerTextsAsUtf8)->Iterations(5000)->Repetitions(5)->Unit(benchmark::kMicrosecond);

void SearcherPushAnswerGbk(benchmark::State &state)
{
    benchtools::StartLogger();
    long complete = 0;
    QUdpCastGroup group(nullptr, &complete);
    group.SetAnswerCallBack([](const Vant::CProtocalJson &message, const InterfaceAddress &, const AnswerSource &, void *user) {
        DeviceRecord record;
        if (ReadDeviceRecord(message, record) && IsCompleteRecord(record) &&
            !SentAsUtf8(record, TextMember::Description))
            ++*static_cast<long *>(user);
    });
    PushAnswerFrames(state, group, complete, "a GBK answer was not read as such", AnswerFrame(kGbkDescription));
}
BENCHMARK(SearcherPushAnswerGbk)->Iterations(5000)->Repetitions(5)->Unit(benchmark::kMicrosecond);

// A 256-byte GBK description: Chinese characters with a few ASCII ones between.
void DecodeGbkDescription(benchmark::State &state)
{
    QByteArray description = QByteArray(kGbkDescription).repeated(26);
    description.truncate(256); // 25 times "模拟设备 1", then three characters whole
    const QString expected = QString::fromUtf8("\xE6\xA8\xA1\xE6\x8B\x9F\xE8\xAE\xBE\xE5\xA4\x87");
    for (auto _ : state) {
        QString shown = ShownText(description);
        benchmark::DoNotOptimize(shown.data());
    }
    if (!ShownText(description).startsWith(expected) || ShownText(description).contains(QChar(0xFFFD)))
        state.SkipWithError("the description was not decoded as GBK");
}
BENCHMARK(DecodeGbkDescription)->Repetitions(5)->Unit(benchmark::kMicrosecond);

// 20,000 serial numbers of 120 characters: sharing one Qt 5 hash, or random.
std::vector<DeviceRecord> FloodRecords(bool colliding)
{
    std::vector<DeviceRecord> records;
    std::mt19937 random(7);
    const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int n = 0; n < kMaxDeviceRows; ++n) {
        DeviceRecord record;
        for (int block = 0; block < 15; ++block) {
            if (colliding) {
                record.serialNo += (n >> block) & 1 ? QStringLiteral("F9IT5YIR") : QStringLiteral("0QNI285Q");
            } else {
                for (int i = 0; i < 8; ++i)
                    record.serialNo += QLatin1Char(digits[random() % 36]);
            }
        }
        record.mac = QString("02:42:4E:%1").arg(n, 6, 16, QChar('0'));
        record.address = QString("10.%1.%2.%3").arg(n / 62500 + 78).arg(n / 250 % 250).arg(n % 250 + 2);
        record.port = 8000;
        records.push_back(record);
    }
    return records;
}

// The CPU time of filling a list with `records` and of noting each once more, in ms.
std::pair<double, double> FloodList(const std::vector<DeviceRecord> &records)
{
    DeviceList list;
    InterfaceAddress heardOn;
    heardOn.address = "10.77.0.1";
    heardOn.device = "brw0";
    int64_t start = ThreadCpuNs();
    for (const DeviceRecord &record : records)
        list.Note(record, heardOn, 1, 1);
    const double fill = static_cast<double>(ThreadCpuNs() - start) / 1e6;
    start = ThreadCpuNs();
    for (const DeviceRecord &record : records)
        list.Note(record, heardOn, 2, 2);
    const double again = static_cast<double>(ThreadCpuNs() - start) / 1e6;
    if (list.Count() != static_cast<int>(records.size()))
        return {-1, -1};
    return {fill, again};
}

void DeviceListFlood(benchmark::State &state)
{
    const std::vector<DeviceRecord> random = FloodRecords(false);
    const std::vector<DeviceRecord> colliding = FloodRecords(true);
    for (auto _ : state) {
        const auto r = FloodList(random);
        const auto c = FloodList(colliding);
        if (r.first < 0 || c.first < 0)
            state.SkipWithError("a list does not hold every device");
        state.SetIterationTime((r.first + c.first) / 1000.0);
        const double n = static_cast<double>(random.size());
        benchtools::CountKeyPair(state.counters, "fill", "ms", r.first, c.first);
        benchtools::CountKeyPair(state.counters, "answer", "us", r.second * 1000.0 / n, c.second * 1000.0 / n);
    }
}
BENCHMARK(DeviceListFlood)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
