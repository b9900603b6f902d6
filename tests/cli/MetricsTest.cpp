// brenu-search's metrics without a network: label values made safe and bounded,
// the exposition as a real parser reads it, the up rule, and the options.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>
#include <fstream>

#include "cli/ExporterState.h"
#include "cli/MetricsWatch.h"
#include "device/DeviceSearch.h"
#include "cli/Options.h"
#include "cli/SendErrorTally.h"
#include "tests/support/TestDevice.h"

namespace {

using cli::kMaxLabelValueBytes;
using cli::LabelValue;

DeviceRecord Device(const QString &serial, const QString &mac)
{
    return TestDevice(serial, "10.77.0.2", mac);
}

bool IsValidUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size())).toUtf8().toStdString() == text;
}

TEST(Metrics, LabelValuesAreEscapedAndUnsafeCharactersReplaced)
{
    EXPECT_EQ(LabelValue(QString::fromUtf8("a\\b\"c\nd")), "a\\\\b\\\"c\\nd");
    // ESC, CR, C1 CSI and the right-to-left override never reach a dashboard raw.
    EXPECT_EQ(LabelValue(QString::fromUtf8("x\x1b[2Jy\rz\xC2\x9B\xE2\x80\xAE")),
              "x\xEF\xBF\xBD[2Jy\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(LabelValue(QString::fromUtf8("仓库 😀")), "仓库 😀");
}

TEST(Metrics, LongLabelValuesAreCutAtACharacterWithAMark)
{
    const std::string fits(kMaxLabelValueBytes, 'a');
    EXPECT_EQ(LabelValue(QString::fromStdString(fits)), fits);

    const std::string cut = LabelValue(QString::fromStdString(fits + "b"));
    EXPECT_EQ(cut, std::string(kMaxLabelValueBytes - 3, 'a') + cli::kCutMark);

    // Three-byte characters and two-byte escapes are never split.
    for (const QString &text : {QString(100, QChar(0x4ED3)), QString(100, '\\'), QString(100, '"')}) {
        const std::string value = LabelValue(text);
        EXPECT_LE(value.size(), kMaxLabelValueBytes);
        EXPECT_GT(value.size(), kMaxLabelValueBytes - 6);
        ASSERT_EQ(value.rfind(cli::kCutMark), value.size() - 3) << value;
        const std::string kept = value.substr(0, value.size() - 3);
        EXPECT_TRUE(IsValidUtf8(kept)) << kept;
        EXPECT_EQ(kept.size() % (text[0] == QChar(0x4ED3) ? 3 : 2), 0u) << kept;
    }
}

// Hostile texts in every label, two devices that become one series after the cut,
// conflicts: the text passes the format's own checker and lists each series once.
TEST(Metrics, HostileDevicesGiveAValidExposition)
{
    cli::MetricsSnapshot snapshot;
    const QString longSerial(200, 'S');
    std::vector<HeardDevice> heard;
    for (const QString &serial : {longSerial, longSerial + "X", QString::fromUtf8("q\"\\\n\x1b\xE2\x80\xAE}")}) {
        HeardDevice device;
        static_cast<DeviceRecord &>(device) = Device(serial, "02:00:00:00:00:01");
        device.gateway = "gw\"} 1\nbrenu_devices 99";
        device.interfaceName = QString::fromUtf8("eth0\xC2\x85");
        heard.push_back(device);
    }
    for (const HeardDevice &each : heard) {
        cli::DeviceMetrics device;
        device.device = &each;
        device.up = true;
        device.lastSeenUnixS = 1765170000.25;
        device.conflicts = QStringList{"serial"};
        if (each.serialNo != longSerial)
            device.conflicts << "address";
        snapshot.devices.push_back(device);
    }
    snapshot.devicesListed = 3;
    snapshot.searchRounds = 7;
    snapshot.ignoredAnswers = 5;
    snapshot.textfile = true;
    snapshot.textfileWrites = 3;
    snapshot.textfileWriteErrors = 1;
    snapshot.writeUnixS = 1765170001.5;
    snapshot.sendErrors = {{"ENETUNREACH", 4}};
    const std::string text = cli::FormatExposition(snapshot);

    auto count = [&](const std::string &what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("\nbrenu_device_up{"), 2u) << text; // the cut twins are one series
    EXPECT_EQ(count("\nbrenu_device_conflict{"), 3u) << text;
    EXPECT_EQ(count("\nbrenu_devices "), 1u) << text;
    EXPECT_NE(text.find("\nbrenu_ignored_answers_total 5\n"), std::string::npos);
    EXPECT_NE(text.find("\nbrenu_search_send_errors_total{cause=\"ENETUNREACH\"} 4\n"), std::string::npos);
    EXPECT_NE(text.find("} 1765170000.250\n"), std::string::npos);

    const QTemporaryDir folder;
    const std::string path = QDir(folder.path()).filePath("hostile.prom").toStdString();
    std::ofstream(path) << text;
    const std::string check = "promtool check metrics < '" + path + "'";
    EXPECT_EQ(std::system(check.c_str()), 0) << text;
    EXPECT_EQ(text.find("# EOF"), std::string::npos);

    // OpenMetrics 1.0: the same series; counters are families without _total, and the
    // text ends with # EOF. The OpenMetrics parser of Debian's Prometheus client library
    // (python3-prometheus-client; /usr/bin/python3, not whichever python3 is first
    // on the PATH) reads it back.
    const std::string open = cli::FormatExposition(snapshot, cli::ExpositionFormat::OpenMetrics);
    EXPECT_NE(open.find("# TYPE brenu_textfile_write_errors counter\nbrenu_textfile_write_errors_total 1\n"),
              std::string::npos)
        << open;
    EXPECT_EQ(open.substr(open.size() - 6), "# EOF\n");
    const std::string openPath = QDir(folder.path()).filePath("hostile.om").toStdString();
    std::ofstream(openPath) << open;
    const std::string parse = "/usr/bin/python3 -c 'import sys; from prometheus_client.openmetrics.parser import "
                              "text_string_to_metric_families as p; "
                              "n = sum(len(f.samples) for f in p(open(sys.argv[1]).read())); "
                              "sys.exit(0 if n == 18 else 3)' '" + openPath + "'";
    EXPECT_EQ(std::system(parse.c_str()), 0) << open;
}

TEST(Metrics, SnapshotTakesSilenceConflictsAndInterfaceFromTheList)
{
    DeviceList list(kMaxDeviceRows, 15000);
    InterfaceAddress via;
    via.address = "10.77.0.1";
    via.device = "brw0";
    list.Note(Device("gone", "m2"), via, 4999, 0); // answers come in time order
    list.Note(Device("fresh", "m1"), via, 10000, 0);
    DeviceRecord twin = Device("fresh", "m3");
    twin.address = "10.77.0.3";
    list.Note(twin, via, 10000, 0);
    list.MarkSilent(20000);
    const cli::MetricsSnapshot snapshot = cli::SnapshotOf(list, 20000, 1000.0, 4);
    ASSERT_EQ(snapshot.devices.size(), 3u);
    auto find = [&](const char *mac) {
        for (const cli::DeviceMetrics &device : snapshot.devices)
            if (device.device->mac == mac)
                return device;
        ADD_FAILURE() << mac;
        return cli::DeviceMetrics{};
    };
    const cli::DeviceMetrics fresh = find("m1"), twinned = find("m3"), gone = find("m2");
    ASSERT_TRUE(fresh.device && twinned.device && gone.device);
    EXPECT_TRUE(fresh.up);
    EXPECT_FALSE(gone.up);
    EXPECT_DOUBLE_EQ(fresh.lastSeenUnixS, 990.0);
    EXPECT_DOUBLE_EQ(gone.lastSeenUnixS, 984.999);
    EXPECT_EQ(fresh.device->interfaceName, "brw0");
    // fresh/m1 and gone share 10.77.0.2; the two "fresh" share a serial number.
    EXPECT_EQ(fresh.conflicts, (QStringList{"serial", "address"}));
    EXPECT_EQ(twinned.conflicts, QStringList{"serial"});
    EXPECT_EQ(gone.conflicts, QStringList{"address"});
    EXPECT_EQ(snapshot.devicesListed, 3);
    EXPECT_EQ(snapshot.searchRounds, 4);
}

TEST(Metrics, OptionsAndTextfileChecks)
{
    auto parse = [](const QStringList &args, cli::Invocation &invocation) {
        return cli::ParseCommandLine(QStringList{"brenu-search"} + args, false, invocation);
    };
    cli::Invocation watch;
    EXPECT_EQ(parse({"watch", "--format", "openmetrics", "--textfile", "/x/m.prom"}, watch), "");
    EXPECT_EQ(watch.format, cli::Format::OpenMetrics);
    EXPECT_EQ(watch.textfile, "/x/m.prom");
    cli::Invocation before; // options may stand before their command
    EXPECT_EQ(parse({"--textfile", "/x/m.prom", "watch", "--format", "openmetrics"}, before), "");
    EXPECT_EQ(parse({"--start", "10.77.0.20", "assign", "SN"}, before), "");
    EXPECT_EQ(before.start, QString("10.77.0.20"));
    cli::Invocation spaced;
    EXPECT_NE(parse({"assign", "--start", "10.77.0.20", "S N"}, spaced), "") << "not a serial number";
    cli::Invocation other;
    EXPECT_EQ(parse({"watch", "--textfile", "/x/m.prom"}, other), "--textfile needs --format prometheus or openmetrics");
    EXPECT_NE(parse({"list", "--format", "openmetrics"}, other), "");
    EXPECT_EQ(parse({"watch", "--format", "prometheus"}, other), "");
    EXPECT_EQ(other.format, cli::Format::Prometheus);
    EXPECT_EQ(other.forgetAfterS, 86400);
    cli::Invocation forget;
    EXPECT_EQ(parse({"--forget-after", "90m", "--", "watch"}, forget), ""); // -- ends the options
    EXPECT_EQ(forget.command, cli::Command::Watch);
    EXPECT_EQ(forget.forgetAfterS, 5400);
    cli::Invocation ended;
    EXPECT_EQ(parse({"--", "watch", "--textfile"}, ended), "unexpected argument '--textfile'");
    for (const char *bad : {"0", "-1h", "21d", "1w", "h", "1e9"})
        EXPECT_NE(parse({"watch", "--forget-after", bad}, forget), "") << bad;
    EXPECT_EQ(parse({"watch", "--stale-after", "60", "--forget-after", "1m"}, forget),
              "--forget-after must be longer than --stale-after");

    const QTemporaryDir folder;
    EXPECT_EQ(cli::CheckTextfile(QDir(folder.path()).filePath("m.prom")), "");
    EXPECT_NE(cli::CheckTextfile(QDir(folder.path()).filePath("missing/m.prom")), "");
    EXPECT_NE(cli::CheckTextfile(folder.path()), "");
}

} // namespace

// The exporter's device set survives a restart: a device down for two hours comes
// back listed and down with its last-seen time, one silent beyond --forget-after
// does not, nor does a device the new search has heard already; a damaged file
// restores nothing and says so.
TEST(Metrics, TheDeviceSetSurvivesARestart)
{
    const QTemporaryDir folder;
    const QString path = QDir(folder.path()).filePath("devices.json");
    const double now = 1765170000;
    {
        DeviceSearch before({"10.77.0.1"});
        const auto tick = static_cast<uint32_t>(before.ElapsedMs());
        InterfaceAddress via;
        via.address = "10.77.0.1";
        via.device = "brw0";
        before.WithDevices([&](DeviceList &list) {
            list.Note(Device("fresh", "m1"), via, tick, 0);
            list.Note(Device("down", "m2"), via, tick - 2 * 3600 * 1000u, 0);
            list.Note(Device("retired", "m3"), via, tick - 30 * 3600 * 1000u, 0);
        });
        ASSERT_EQ(cli::SaveExporterState(path, before, now), "");
    }
    DeviceSearch after({"10.77.0.1"});
    InterfaceAddress via;
    via.address = "10.77.0.1";
    via.device = "brw0";
    after.WithDevices([&](DeviceList &list) {
        DeviceRecord moved = Device("fresh", "m1");
        moved.address = "10.77.0.9";
        list.Note(moved, via, static_cast<uint32_t>(after.ElapsedMs()), 0);
    });
    std::string problem;
    EXPECT_EQ(cli::RestoreExporterState(path, after, now + 60, 24 * 3600, &problem), 1);
    EXPECT_EQ(problem, "");
    after.WithDevices([&](DeviceList &list) {
        const cli::MetricsSnapshot snapshot = cli::SnapshotOf(list, static_cast<uint32_t>(after.ElapsedMs()), now + 60, 1);
        ASSERT_EQ(snapshot.devices.size(), 2u);
        for (const cli::DeviceMetrics &device : snapshot.devices) {
            if (device.device->serialNo == "fresh") {
                EXPECT_EQ(device.device->address, "10.77.0.9"); // heard now: not overwritten
                EXPECT_TRUE(device.up);
            } else {
                EXPECT_EQ(device.device->serialNo, "down");
                EXPECT_FALSE(device.up);
                EXPECT_EQ(device.device->interfaceName, "brw0");
                EXPECT_NEAR(device.lastSeenUnixS, now - 2 * 3600, 1.0);
            }
        }
    });

    std::ofstream(path.toStdString()) << "{\"devices\":";
    DeviceSearch damaged({"10.77.0.1"});
    EXPECT_EQ(cli::RestoreExporterState(path, damaged, now, 24 * 3600, &problem), 0);
    EXPECT_NE(problem, "");
}

// The writer stays within what the reader takes, whatever the texts: a full list
// of devices whose texts are all control characters (six bytes each escaped) is
// read back whole. A file the reader refuses is kept aside, never saved over, and a
// full restored list still makes room for a device that answers now.
TEST(Metrics, TheStateFileStaysReadableAndARefusedOneIsKeptAside)
{
    const QTemporaryDir folder;
    const QString path = QDir(folder.path()).filePath("devices.json");
    const double now = 1765170000;
    InterfaceAddress via;
    via.address = "10.77.0.1";
    via.device = "brw0";
    const QString controls(300, QChar(0x01));
    {
        DeviceSearch before({"10.77.0.1"});
        const auto tick = static_cast<uint32_t>(before.ElapsedMs());
        before.WithDevices([&](DeviceList &list) {
            for (int i = 0; i < kMaxDeviceRows; ++i) {
                DeviceRecord record = Device(QString::number(i) + controls, "m" + QString::number(i));
                record.description = record.gateway = record.dns = record.subnetMask = controls;
                record.address = "10.77." + QString::number(i / 250) + "." + QString::number(i % 250 + 1);
                list.Note(record, via, tick - 3600 * 1000u, 0);
            }
        });
        ASSERT_EQ(cli::SaveExporterState(path, before, now), "");
    }
    EXPECT_LE(static_cast<std::size_t>(QFileInfo(path).size()), cli::kMaxStateBytes);
    {
        DeviceSearch after({"10.77.0.1"});
        std::string problem;
        EXPECT_EQ(cli::RestoreExporterState(path, after, now, 24 * 3600, &problem), kMaxDeviceRows);
        EXPECT_EQ(problem, "");
        // Full of restored (silent) devices: a device answering now still gets in.
        after.WithDevices([&](DeviceList &list) {
            const auto heard = list.Note(Device("genuine", "mg"), via, static_cast<uint32_t>(after.ElapsedMs()), 0);
            EXPECT_EQ(heard.outcome, DeviceList::Heard::Added);
            EXPECT_EQ(list.IgnoredAnswers(), 0);
            EXPECT_EQ(list.Count(), kMaxDeviceRows);
        });
    }

    // A file the reader refuses moves aside before anything could be saved over it.
    const std::string broken = "{\"devices\":";
    std::ofstream(path.toStdString()) << broken;
    DeviceSearch damaged({"10.77.0.1"});
    std::string problem;
    bool keepOff = false;
    EXPECT_EQ(cli::RestoreExporterState(path, damaged, now, 24 * 3600, &problem, &keepOff), 0);
    EXPECT_FALSE(keepOff);
    EXPECT_NE(problem.find("kept as"), std::string::npos) << problem;
    EXPECT_FALSE(QFile::exists(path));
    QFile aside(path + ".refused-" + QString::number(static_cast<long long>(now)));
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll().toStdString(), broken);
}

namespace {

// The searchers' counts start again with each socket and each new searcher; the
// exported totals only grow, by cause.
TEST(Metrics, SendErrorTotalsOnlyGrowAcrossSocketRestarts)
{
    auto state = [](const char *address, std::map<int, uint64_t> errors) {
        QUdpCastGroup::SearcherState searcher;
        searcher.target.address = address;
        searcher.target.index = 2;
        searcher.socket.sendErrors = std::move(errors);
        return searcher;
    };
    cli::SendErrorTally tally;
    tally.Add({state("10.77.0.1", {{ENETUNREACH, 3}}), state("10.77.0.5", {{ENETUNREACH, 1}, {EPERM, 2}})});
    tally.Add({state("10.77.0.1", {{ENETUNREACH, 5}}), state("10.77.0.5", {{ENETUNREACH, 1}, {EPERM, 2}})});
    // 10.77.0.5's socket opened again: its smaller count is new failures.
    tally.Add({state("10.77.0.1", {{ENETUNREACH, 5}}), state("10.77.0.5", {{EPERM, 1}})});
    EXPECT_EQ(tally.Totals(), (std::map<std::string, long long>{{"ENETUNREACH", 6}, {"EPERM", 3}}));
    EXPECT_EQ(cli::SendErrorTally::CauseOf(100000), "errno_100000");
}

} // namespace
