// The batch window with 1000 devices, on the offscreen platform:
//
//   build/bin/bench_batch_window        (makes its own private namespace)
//
// BM_PreviewAfterEdit: the start address edited with every row checked; the time
// from the edit to the repainted preview of 1000 new addresses (target: at most
// 50 ms). BM_ApplyStall: "应用" on 1000 devices whose updates take 20 ms each (on the
// run's threads), while the search hands the window all 1000 answers once a second
// (the moved devices' new values, each its own queued call); the longest stall of the user-interface thread's
// event loop until every device is verified (target: at most 50 ms), seen by a 1 ms
// timer, and the most CPU time the thread spent between two ticks (the stall's own
// work, whatever else the machine was doing).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>

#include <arpa/inet.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "Sandbox.h"
#include "WindowBenchMain.h"
#include "app/BatchWindow.h"
#include "protocol/Json.h"

namespace {

constexpr int kDevices = 1000;

std::vector<BatchRow> FactoryRows()
{
    std::vector<BatchRow> rows;
    for (int i = 1; i <= kDevices; ++i) {
        BatchRow row;
        row.device.serialNo = QStringLiteral("BRSIM%1").arg(i, 6, 10, QLatin1Char('0'));
        row.device.address = QStringLiteral("10.77.0.2");
        row.device.port = 8000;
        row.device.subnetMask = QStringLiteral("255.255.255.0");
        row.device.gateway = row.device.dns = QStringLiteral("10.77.0.254");
        row.device.mac = QStringLiteral("02:42:4D:00:%1:%2").arg(i / 256, 2, 16, QLatin1Char('0')).arg(i % 256, 2, 16, QLatin1Char('0'));
        row.conflict = QStringLiteral("10.77.0.2");
        rows.push_back(row);
    }
    return rows;
}

BatchWindowOptions Options(int sendMs)
{
    BatchWindowOptions options;
    InterfaceAddress workstation;
    workstation.address = "10.77.4.1";
    workstation.device = "brw0";
    workstation.netmask = htonl(0xfffffc00u);
    options.local = LocalSubnets{workstation};
    options.probe = [](const std::vector<Ipv4> &) { return kit::KeyedSet<Ipv4>{}; };
    options.sender = [sendMs](const HeardDevice &, const NetworkSettings &, const std::atomic<bool> *) {
        std::this_thread::sleep_for(std::chrono::milliseconds(sendMs));
        return SendOutcome::Acknowledged;
    };
    options.confirm = false;
    return options;
}

// CPU time of the calling thread: a stall with little of it is the machine's
// scheduler (the benchmark machine is shared), not work on the thread.
qint64 ThreadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void BM_PreviewAfterEdit(benchmark::State &state)
{
    BatchWindow window(nullptr, Options(0));
    window.SetDevices(FactoryRows());
    window.Model()->CheckWhere([](const BatchRow &) { return true; });
    window.show();
    auto *start = window.findChild<QLineEdit *>(QStringLiteral("edt_start"));
    Settle(200);
    double worst = 0;
    int i = 0;
    for (auto _ : state) {
        const QString text = (i++ % 2) ? QStringLiteral("10.77.4.2") : QStringLiteral("10.77.4.3");
        QElapsedTimer timer;
        timer.start();
        start->setText(text);
        emit start->textEdited(text);
        window.repaint();
        QCoreApplication::processEvents();
        const double ms = timer.nsecsElapsed() / 1e6;
        worst = std::max(worst, ms);
        state.SetIterationTime(ms / 1000.0);
    }
    state.counters["worst_ms"] = worst;
    int previewed = 0;
    for (const BatchRow &row : window.Model()->Rows())
        previewed += row.newAddress.startsWith(QStringLiteral("10.77."));
    state.counters["previewed"] = previewed;
}

void BM_ApplyStall(benchmark::State &state)
{
    for (auto _ : state) {
        BatchWindow window(nullptr, Options(20));
        window.SetDevices(FactoryRows());
        window.Model()->CheckWhere([](const BatchRow &) { return true; });
        window.show();
        auto *start = window.findChild<QLineEdit *>(QStringLiteral("edt_start"));
        start->setText(QStringLiteral("10.77.4.2"));
        emit start->textEdited(start->text());
        auto *gateway = window.findChild<QLineEdit *>(QStringLiteral("edt_gateway"));
        gateway->setText(QStringLiteral("10.77.4.1"));
        emit gateway->textEdited(gateway->text());
        Settle(BatchWindow::kProbeDelayMs + 200);

        // The search's answers: each device with its planned values.
        QStringList answers;
        for (const BatchRow &row : window.Model()->Rows()) {
            Vant::CProtocalJson answer;
            answer.SetApi("/brenu/model/searchbrenu.htm");
            auto text = [&](const char *name, const QString &value) {
                answer.SetDataString(0, name, value.toUtf8().constData());
            };
            text("serialNo", row.device.serialNo);
            text("address", row.newAddress);
            answer.SetDataString(0, "port", "8000"); // read as its leading number
            answer.SetDataBool(0, "dhcp", false);
            text("subnetMask", QStringLiteral("255.255.252.0"));
            text("gateway", QStringLiteral("10.77.4.1"));
            text("dns", QStringLiteral("10.77.0.254"));
            text("mac", row.device.mac);
            text("description", QString());
            answers << QString::fromStdString(answer.ToString());
        }
        QTimer search;
        search.setInterval(1000);
        // Each answer reaches the window as its own queued call, as the searchers'
        // signal brings it.
        QObject::connect(&search, &QTimer::timeout, [&] {
            for (const QString &answer : answers)
                QMetaObject::invokeMethod(&window, "Observe", Qt::QueuedConnection, Q_ARG(QString, answer));
        });
        QElapsedTimer clock;
        qint64 last = 0, worstNs = 0, lastCpu = ThreadCpuNs(), worstCpuNs = 0;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            const qint64 cpu = ThreadCpuNs();
            worstNs = std::max(worstNs, now - last);
            worstCpuNs = std::max(worstCpuNs, cpu - lastCpu);
            last = now;
            lastCpu = cpu;
        });
        clock.start();
        ticker.start();
        search.start();
        QMetaObject::invokeMethod(&window, "Apply", Qt::QueuedConnection);
        while (!window.Running())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        while (window.Running())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
        int verified = 0;
        for (const BatchRow &row : window.Model()->Rows())
            verified += row.status == BatchStatus::Verified;
        state.counters["verified"] = verified;
        state.counters["longest_stall_ms"] = worstNs / 1e6;
        state.counters["longest_busy_ms"] = worstCpuNs / 1e6;
    }
}

BENCHMARK(BM_PreviewAfterEdit)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ApplyStall)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

int main(int argc, char **argv)
{
    return RunWindowBenchmarks(argc, argv, "bench_batch_window");
}
