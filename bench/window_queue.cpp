// The window's answer queue while its thread is busy: 100 devices are listed, then a
// searcher thread hands over 100,000 valid answers a second for 10 s (the same 100
// serial numbers over and over, each round with new addresses) while the window's
// thread is blocked for those 10 s, as a command waiting for its device blocks it.
//
//   build/bin/bench_window_queue            (enters a private network namespace itself)
//
// Counters: offered (answers handed over), dropped (answers the full queue refused),
// rss_growth_MiB (the most resident memory grew during the 10 s, sampled every
// 100 ms; target <= 32), rows (target 100) and wrong_rows (rows not showing the last
// answer queued for them once the window has caught up; target 0).
//
// The window's search group finds only loopback in that namespace, so nothing is sent.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QStandardItemModel>
#include <QTableView>


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchTools.h"
#include "Sandbox.h"
#include "WindowBenchMain.h"
#include "app/AnswerQueue.h"
#include "app/BrenuSearchTools.h"
#include "app/DeviceTable.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSerials = 100;
constexpr double kAnswersPerSecond = 100000;
constexpr auto kBlocked = std::chrono::seconds(10);

// The address answer `index` announces for its device (index % kSerials).
QString Address(uint64_t index)
{
    const uint64_t round = index / kSerials;
    return QString("10.77.%1.%2").arg(round / 250 % 250).arg(round % 250 + 1);
}

QByteArray Answer(uint64_t index)
{
    return QString(R"({"api":"/brenu/model/searchbrenu.htm","params":{"data":[{"serialNo":"BRQ%1","address":"%2",)"
                   R"("port":8001,"dhcp":false,"subnetMask":"255.255.255.0","gateway":"10.77.0.254",)"
                   R"("dns":"10.77.0.253","mac":"02:42:4D:00:00:%1","description":"queued"}]}})")
        .arg(index % kSerials, 2, 10, QChar('0'))
        .arg(Address(index))
        .toUtf8();
}

class Window : public BrenuSearchTools {
public:
    using BrenuSearchTools::BrenuSearchTools;
    QStandardItemModel *Model() const
    {
        return qobject_cast<QStandardItemModel *>(findChild<QTableView *>("tabView_brenu")->model());
    }
};

void BM_BlockedWindow(benchmark::State &state)
{
    for (auto _ : state) {
        Window window;
        window.show();
        for (uint64_t i = 0; i < kSerials; ++i) {
            const QByteArray text = Answer(i);
            MsgCallBack(text.constData(), text.size(), &window);
        }
        while (window.Model()->rowCount() < kSerials)
            QApplication::processEvents();
        QApplication::processEvents();
        const long baseKiB = benchtools::ResidentKiB();

        std::atomic<bool> stop{false};
        uint64_t offered = 0;
        long peakKiB = baseKiB;
        std::thread searcher([&] {
            const auto start = Clock::now();
            auto nextSample = start;
            while (!stop.load()) {
                const double due =
                    std::chrono::duration<double>(Clock::now() - start).count() * kAnswersPerSecond;
                while (static_cast<double>(offered) < due) {
                    const QByteArray text = Answer(kSerials + offered++);
                    MsgCallBack(text.constData(), text.size(), &window);
                }
                if (Clock::now() >= nextSample) {
                    peakKiB = std::max(peakKiB, benchtools::ResidentKiB());
                    nextSample += std::chrono::milliseconds(100);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::this_thread::sleep_for(kBlocked); // the window's thread is held up
        stop = true;
        searcher.join();
        peakKiB = std::max(peakKiB, benchtools::ResidentKiB());
        for (int turn = 0; turn < 10; ++turn)
            QApplication::processEvents();

        // The last answer queued for each device: the queue took the first
        // kMaxQueuedAnswers of the flood and refused the rest.
        const uint64_t queued = std::min<uint64_t>(offered, kMaxQueuedAnswers);
        int wrong = 0;
        for (int row = 0; row < window.Model()->rowCount(); ++row) {
            const QString serial = window.Model()->item(row, DeviceTable::ColSerialNo)->text();
            const uint64_t device = serial.mid(3).toULongLong();
            uint64_t last = kSerials + queued - 1;
            while ((last % kSerials) != device)
                --last;
            if (window.Model()->item(row, 1)->text() != Address(last))
                ++wrong;
        }
        state.counters["offered"] = static_cast<double>(offered);
        state.counters["dropped"] = static_cast<double>(window.DroppedAnswers());
        state.counters["rss_growth_MiB"] = static_cast<double>(peakKiB - baseKiB) / 1024.0;
        state.counters["rows"] = window.Model()->rowCount();
        state.counters["wrong_rows"] = wrong;
        if (peakKiB - baseKiB > 32 * 1024)
            state.SkipWithError("resident memory grew by more than 32 MiB");
    }
}
BENCHMARK(BM_BlockedWindow)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    return RunWindowBenchmarks(argc, argv, "bench_window_queue");
}
