// One round of `brenu-search watch --format prometheus --textfile` with a full list
// of 20,000 devices: the list's look for silent devices, the snapshot taken from it,
// the exposition text, and the atomic write of the file (QSaveFile: temporary file,
// flush, fsync, rename). BM_Round/0 has real-looking devices (the target: at most
// 50 ms per round and 10 MiB per file); BM_Round/1 has forged ones whose every text
// label is longer than the label bound and which all clash (FullList), the largest
// file the network can make the tool write.
//
//   build/bin/bench_metrics_textfile [folder]
//
// The file goes to the folder given (default /dev/shm, a tmpfs like the /run the
// packaged service writes to; give a disk folder to include a disk's fsync). The
// time is per round; the counter file_MiB is the size of the file.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QTemporaryDir>

#include <string>

#include "cli/MetricsWatch.h"
#include "device/SaveFile.h"

namespace {

QString g_folder = "/dev/shm";

// A full list. Half the devices last answered 19 s ago and are silent, as after a
// power cut of half the site. Forged devices come in pairs sharing a serial number,
// all from one address, so every one has both conflicts; their texts begin with
// their number, so that every device stays a series of its own after the cut.
DeviceList FullList(bool forged)
{
    DeviceList list;
    InterfaceAddress via;
    via.address = "10.77.0.1";
    via.device = "brw0";
    const QString filler(200, QChar('x'));
    for (int i = 0; i < kMaxDeviceRows; ++i) {
        DeviceRecord d;
        const QString n = QString::number(i);
        d.serialNo = forged ? QString::number(i / 2) + filler : QStringLiteral("BRSIM") + n.rightJustified(6, '0');
        d.address = forged ? filler : QStringLiteral("10.77.%1.%2").arg(i / 250).arg(i % 250 + 2);
        d.port = 8000;
        d.dhcp = i % 3 == 0;
        d.subnetMask = forged ? filler : QStringLiteral("255.255.0.0");
        d.gateway = forged ? filler : QStringLiteral("10.77.0.254");
        d.dns = forged ? filler : QStringLiteral("10.77.0.253");
        d.mac = forged ? n + filler : QStringLiteral("02:42:4D:%1:%2:%3")
                                          .arg(i >> 16 & 0xff, 2, 16, QChar('0'))
                                          .arg(i >> 8 & 0xff, 2, 16, QChar('0'))
                                          .arg(i & 0xff, 2, 16, QChar('0'));
        list.Note(d, via, i % 2 ? 19000 : 1000, 0);
    }
    return list;
}

void BM_Round(benchmark::State &state)
{
    const bool forged = state.range(0) != 0;
    DeviceList list = FullList(forged);
    QTemporaryDir folder(QDir(g_folder).filePath("bench-metrics-XXXXXX"));
    if (!folder.isValid()) {
        state.SkipWithError("cannot make a folder for the file");
        return;
    }
    const QString path = QDir(folder.path()).filePath("brenu.prom");
    std::size_t bytes = 0;
    long long round = 0;
    for (auto _ : state) {
        list.MarkSilent(20000);
        const cli::MetricsSnapshot snapshot = cli::SnapshotOf(list, 20000, 1765170000.0, ++round);
        const std::string text = cli::FormatExposition(snapshot);
        const QString failure =
            SaveFileAtomically(path, QByteArray::fromRawData(text.data(), static_cast<int>(text.size())));
        if (!failure.isEmpty()) {
            state.SkipWithError(failure.toUtf8().constData());
            return;
        }
        bytes = text.size();
    }
    state.counters["file_MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
    state.SetLabel(forged ? "forged, every label cut" : "real-looking devices");
}
BENCHMARK(BM_Round)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc > 1)
        g_folder = QString::fromLocal8Bit(argv[1]);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
