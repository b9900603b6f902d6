// The device table under a full search round: 5000 listed devices each answer once
// more, with changed values, through slot_MsgCallBack on the user-interface thread.
// The same round is then run with the row found by a plain scan of the rows, as a
// table without the serial-number index would do. Both run in this one program;
// "speedup" is scan time / indexed time measured in the same run.
//
//   build/bin/bench_device_table            (enters a private network namespace itself)
//
// The window's search group finds only loopback in that namespace, so nothing is sent.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QStandardItemModel>
#include <QTableView>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Sandbox.h"
#include "app/BrenuSearchTools.h"
#include "app/DeviceRecord.h"
#include "app/DeviceTable.h"

namespace {

constexpr int kDevices = 5000;

// Resident memory of this process in KiB.
long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

QString Answer(int device, int round)
{
    return QString(R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/searchbrenu.htm","params":{"data":[{)"
                   R"("serialNo":"BRSIM%1","address":"10.77.%2.%3","port":%4,"dhcp":%5,"subnetMask":"255.255.255.0",)"
                   R"("gateway":"10.77.0.254","dns":"10.77.0.253","mac":"02:42:4D:00:%6","description":"Device %1 round %7"}]}})")
        .arg(device, 6, 10, QChar('0'))
        .arg(device / 250)
        .arg(device % 250 + 2)
        .arg(8000 + round % 2)
        .arg(round % 2 ? "true" : "false")
        .arg(device, 4, 16, QChar('0'))
        .arg(round);
}

class Window : public BrenuSearchTools {
public:
    void Deliver(const QString &answer) { emit signal_MsgCallBack(answer); }
    QStandardItemModel *Model() const
    {
        return qobject_cast<QStandardItemModel *>(findChild<QTableView *>("tabView_brenu")->model());
    }
};

struct Fixture {
    std::unique_ptr<Window> window;
    long baseKiB = 0;
    long listedKiB = 0;
    double fillMs = 0; // the first round: 5000 new rows appended
    std::vector<std::vector<QString>> rounds; // answers of two alternating rounds
};

Fixture &Table()
{
    static Fixture fixture = [] {
        Fixture f;
        f.baseKiB = ResidentKiB();
        f.window = std::make_unique<Window>();
        f.window->show();
        for (int round = 0; round < 2; ++round) {
            f.rounds.emplace_back();
            for (int device = 0; device < kDevices; ++device)
                f.rounds.back().push_back(Answer(device, round + 1));
        }
        const auto start = std::chrono::steady_clock::now();
        for (int device = 0; device < kDevices; ++device)
            f.window->Deliver(Answer(device, 0));
        QCoreApplication::processEvents();
        f.fillMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        f.listedKiB = ResidentKiB();
        return f;
    }();
    return fixture;
}

// One round through the window's slot, which finds rows with the serial-number index.
double IndexedRound(Fixture &f, const std::vector<QString> &answers)
{
    const auto start = std::chrono::steady_clock::now();
    for (const QString &answer : answers)
        f.window->Deliver(answer);
    QCoreApplication::processEvents();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The same round with the row looked up by scanning from row 0.
double ScanRound(Fixture &f, const std::vector<QString> &answers)
{
    QStandardItemModel &model = *f.window->Model();
    const auto start = std::chrono::steady_clock::now();
    for (const QString &answer : answers) {
        DeviceRecord record;
        if (!ReadDeviceRecord(answer.toUtf8(), record) || !IsCompleteRecord(record))
            continue;
        const int row = DeviceTable::FindRowByScan(model, record.serialNo);
        if (row >= 0)
            DeviceTable::UpdateRow(model, row, record);
        else
            model.insertRow(model.rowCount(), DeviceTable::MakeRow(record));
    }
    QCoreApplication::processEvents();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void BM_SearchRound(benchmark::State &state, bool indexed)
{
    Fixture &f = Table();
    int round = 0;
    for (auto _ : state) {
        const double ms = indexed ? IndexedRound(f, f.rounds[round++ % 2]) : ScanRound(f, f.rounds[round++ % 2]);
        state.SetIterationTime(ms / 1000.0);
    }
    if (f.window->Model()->rowCount() != kDevices)
        state.SkipWithError("the table does not hold one row per device");
    state.counters["rows"] = f.window->Model()->rowCount();
}

// Both rounds, alternating, in the same iterations: the figures to compare.
void BM_IndexedVersusScan(benchmark::State &state)
{
    Fixture &f = Table();
    double indexed = 0, scan = 0;
    int round = 0;
    for (auto _ : state) {
        const double one = IndexedRound(f, f.rounds[round++ % 2]);
        const double other = ScanRound(f, f.rounds[round++ % 2]);
        indexed += one;
        scan += other;
        state.SetIterationTime((one + other) / 1000.0);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["indexed_ms"] = indexed / n;
    state.counters["scan_ms"] = scan / n;
    state.counters["speedup"] = scan / indexed;
    state.counters["first_round_ms"] = f.fillMs;
    state.counters["rss_base_MiB"] = f.baseKiB / 1024.0;
    state.counters["rss_5000_rows_MiB"] = f.listedKiB / 1024.0;
}

BENCHMARK_CAPTURE(BM_SearchRound, indexed, true)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK_CAPTURE(BM_SearchRound, scan, false)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_IndexedVersusScan)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

} // namespace

int main(int argc, char **argv)
{
    const std::string error = sandbox::EnterPrivateNetwork();
    if (!error.empty()) {
        std::fprintf(stderr, "bench_device_table: %s\n", error.c_str());
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    Table().window.reset();
    benchmark::Shutdown();
    return 0;
}
