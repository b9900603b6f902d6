#pragma once
// The batch window driven as an operator drives it, against a real search: once the
// search lists every device named, the window is offered the listed devices, every
// row is checked, the start address typed, "应用" pressed and the confirmation
// accepted; then the window is handed the search's answers, as the main window hands
// them on, until its run ends. Needs a QApplication (offscreen will do) and a running
// DeviceSearch, both on the calling thread's side of a sandbox.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <optional>
#include <utility>
#include <vector>

#include "app/BatchWindow.h"
#include "device/DeviceSearch.h"

namespace sandbox {

struct BatchWindowRun {
    QString problem;      // why no run started ("" when one did)
    // Each listed device's final status, in the window's row order.
    std::vector<std::pair<QString, std::optional<BatchStatus>>> statuses;
    QString progressText; // the progress bar at the end: says how shared addresses were served
    QStringList boxes;    // the texts of the message boxes the window showed
};

// Processes events until `done` or `limitMs` have passed; whether `done` came.
template <typename Done>
bool ProcessEventsUntil(Done done, int limitMs)
{
    // Waits for events rather than spinning; the timer wakes the loop to look.
    QTimer wake;
    wake.start(10);
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

inline BatchWindowRun RunBatchWindow(DeviceSearch &search, const std::vector<QString> &serials, const QString &start,
                                     int limitMs, BatchWindowOptions options = {})
{
    BatchWindowRun run;
    std::vector<HeardDevice> listed;
    auto allListed = [&] {
        search.WithDevices([&](DeviceList &list) { listed = list.Devices(); });
        for (const QString &serial : serials)
            if (std::none_of(listed.begin(), listed.end(), [&](const HeardDevice &d) { return d.serialNo == serial; }))
                return false;
        return true;
    };
    if (!ProcessEventsUntil(allListed, 15000)) {
        run.problem = QStringLiteral("the search did not list every device");
        return run;
    }
    std::vector<BatchRow> rows;
    for (const HeardDevice &device : listed) {
        BatchRow row;
        row.device = device;
        row.foreignSubnet = device.foreignSubnet;
        row.conflict = device.sharedAddress ? device.address : QString();
        rows.push_back(std::move(row));
    }

    BatchWindow window(nullptr, std::move(options));
    window.SetDevices(std::move(rows));
    window.show();
    window.Model()->CheckWhere([](const BatchRow &) { return true; });
    auto *edit = window.findChild<QLineEdit *>(QStringLiteral("edt_start"));
    edit->setText(start);
    emit edit->textEdited(start);
    ProcessEventsUntil([&] { return !window.Probing(); }, 10000);

    // Every box the window shows is answered with its OK button (the confirmation
    // included) and its text kept.
    QTimer answerer;
    answerer.setInterval(20);
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->button(QMessageBox::Ok))
            return;
        run.boxes << box->text();
        box->button(QMessageBox::Ok)->click();
    });
    answerer.start();
    bool applied = false;
    QTimer::singleShot(0, &window, [&] {
        window.Apply();
        applied = true;
    });
    ProcessEventsUntil([&] { return applied; }, 10000);
    if (!window.Running()) {
        run.problem = QStringLiteral("no run started: ") + run.boxes.join(QStringLiteral(" | "));
        return run;
    }

    // The search's answers, with how long ago another source answered for each device.
    QTimer feed;
    feed.setInterval(100);
    QObject::connect(&feed, &QTimer::timeout, [&] {
        std::vector<std::pair<HeardDevice, int64_t>> answers;
        const auto tick = static_cast<uint32_t>(search.ElapsedMs());
        search.WithDevices([&](DeviceList &list) {
            for (HeardDevice &device : list.Devices()) {
                uint32_t otherTick = 0;
                const bool other = list.OtherSourceTick(device.serialNo, device.mac, device.source.address, otherTick);
                answers.emplace_back(std::move(device),
                                     other ? int64_t{static_cast<uint32_t>(tick - otherTick)} : int64_t{-1});
            }
        });
        for (const auto &[answer, otherAge] : answers)
            window.ObserveRecord(answer, otherAge);
    });
    feed.start();
    if (!ProcessEventsUntil([&] { return !window.Running(); }, limitMs))
        run.problem = QStringLiteral("the run did not end in time");
    feed.stop();
    answerer.stop();
    if (auto *bar = window.findChild<QProgressBar *>(QStringLiteral("bar_progress")))
        run.progressText = bar->text();
    for (const BatchRow &row : window.Model()->Rows())
        run.statuses.emplace_back(row.device.serialNo, row.status);
    return run;
}

} // namespace sandbox
