// The batch window without a network: its preview (probed addresses skipped), a run's
// verdicts from the answers and the search, a plan file in the export's format, and
// the result file. Sends and probes are stand-ins; the window runs offscreen.
#include <gtest/gtest.h>

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <arpa/inet.h>

#include <atomic>
#include <map>

#include "AppTestSupport.h"
#include "BatchWindowDrive.h"
#include "DevsimBoxes.h"
#include "app/BatchWindow.h"
#include "device/Delivery.h"

namespace {

HeardDevice Factory(int i)
{
    HeardDevice device;
    device.serialNo = QStringLiteral("SN%1").arg(i);
    device.address = "192.168.1.10";
    device.port = 8000;
    device.subnetMask = "255.255.255.0";
    device.gateway = device.dns = "192.168.1.1";
    device.mac = QStringLiteral("02:00:00:00:00:0%1").arg(i);
    return device;
}

std::vector<BatchRow> Rows()
{
    std::vector<BatchRow> rows;
    for (int i = 1; i <= 3; ++i)
        rows.push_back(BatchRow{Factory(i), false, "192.168.1.10", false, QString(), std::nullopt});
    HeardDevice other = Factory(9);
    other.address = "10.77.0.21";
    rows.push_back(BatchRow{other, false, QString(), false, QString(), std::nullopt});
    return rows;
}

struct Stand {
    std::map<QString, SendOutcome> outcomes{{"SN1", SendOutcome::Acknowledged},
                                            {"SN2", SendOutcome::Refused},
                                            {"SN3", SendOutcome::NoAnswer}};
    std::atomic<int> sent{0};

    BatchWindowOptions Options()
    {
        BatchWindowOptions options;
        InterfaceAddress workstation;
        workstation.address = "10.77.0.1";
        workstation.device = "lo";
        workstation.netmask = htonl(0xffffff00u);
        options.local = LocalSubnets{workstation};
        options.probe = [](const std::vector<Ipv4> &candidates) {
            kit::KeyedSet<Ipv4> used;
            for (Ipv4 candidate : candidates)
                if (Ipv4Text(candidate) == "10.77.0.22")
                    used.insert(candidate);
            return used;
        };
        options.sender = [this](const HeardDevice &device, const NetworkSettings &, const std::atomic<bool> *) {
            ++sent;
            return outcomes.at(device.serialNo);
        };
        options.verifyTimeoutMs = 300;
        options.confirm = false;
        return options;
    }
};

// A search answer of the row's device at its new address with the new gateway.
QByteArray MovedAnswer(const BatchRow &row)
{
    return (SearchAnswer(QString(R"("serialNo":"%1","address":"%2","port":8000,"dhcp":false,)"
                                                  R"("subnetMask":"255.255.255.0","gateway":"10.77.0.254",)"
                                                  R"("dns":"192.168.1.1","mac":"%3","description":"")")
                                              .arg(row.device.serialNo, row.newAddress, row.device.mac)
                                              .toUtf8()));
}

std::vector<QString> Column(const BatchModel &model, int column)
{
    std::vector<QString> texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.push_back(model.index(row, column).data().toString());
    return texts;
}

TEST(BatchWindow, PreviewSkipsAnsweringAddressesAndARunEndsInVerdicts)
{
    TestApplication();
    Stand stand;
    BatchWindow window(nullptr, stand.Options());
    window.SetDevices(Rows());
    BatchModel &model = *window.Model();
    model.CheckWhere([](const BatchRow &row) { return !row.conflict.isEmpty(); });
    auto *start = window.findChild<QLineEdit *>("edt_start");
    auto *gateway = window.findChild<QLineEdit *>("edt_gateway");
    gateway->setText("10.77.0.254");
    emit gateway->textEdited(gateway->text());
    start->setText("10.77.0.20");
    emit start->textEdited(start->text());
    // At once: listed (.21) and local addresses skipped; then the probe finds .22.
    EXPECT_EQ(Column(model, BatchModel::ColNewAddress),
              (std::vector<QString>{"10.77.0.20", "10.77.0.22", "10.77.0.23", ""}));
    ASSERT_TRUE(WaitFor([&] { return !window.Probing(); }, 5000));
    EXPECT_EQ(Column(model, BatchModel::ColNewAddress),
              (std::vector<QString>{"10.77.0.20", "10.77.0.23", "10.77.0.24", ""}));

    // A mask that is no mask is refused, not replaced by the default, and Apply stays usable.
    {
        ModalAnswerer answerer;
        auto *mask = window.findChild<QLineEdit *>("edt_mask");
        mask->setText("255.255.0.255");
        window.Apply();
        EXPECT_FALSE(window.Running());
        EXPECT_EQ(answerer.seen().size(), 1u);
        EXPECT_TRUE(window.findChild<QPushButton *>("btn_apply")->isEnabled());
        mask->clear();
    }
    window.Apply();
    ASSERT_TRUE(window.Running());
    ASSERT_TRUE(WaitFor([&] { return stand.sent == 3; }, 5000));
    // SN1 said yes and shows its values; SN3's answer was lost but it shows them too.
    for (int row : {0, 2})
        window.Observe(MovedAnswer(model.Rows()[row]), model.Rows()[row].newAddress);
    ASSERT_TRUE(WaitFor([&] { return !window.Running(); }, 5000));
    const QString verified = BatchStatusText(BatchStatus::Verified);
    EXPECT_EQ(Column(model, BatchModel::ColStatus),
              (std::vector<QString>{verified, BatchStatusText(BatchStatus::Refused), verified, ""}));

    QTemporaryDir folder;
    const QString path = folder.filePath("result.csv");
    ASSERT_TRUE(window.SaveResult(path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n");
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(",描述,状态")));
    EXPECT_TRUE(lines[1].startsWith("SN1,10.77.0.20,8000,禁用,255.255.255.0,10.77.0.254,")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith("," + verified));
}

TEST(BatchWindow, APlanInTheExportFormatChecksItsRowsAndBadPlansChangeNothing)
{
    TestApplication();
    Stand stand;
    BatchWindow window(nullptr, stand.Options());
    window.SetDevices(Rows());
    ModalAnswerer answerer; // the note on the unmatched row, the warning on the bad plan
    QTemporaryDir folder;
    const QString path = folder.filePath("plan.csv");
    auto write = [&](const QString &text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("\xEF\xBB\xBF" + text.toUtf8());
    };
    const QString header = "设备序列号,IPv4地址,端口,DHCP,子网掩码,默认网关,DNS服务器,物理地址,描述\r\n";
    write(header + "SN1,10.77.0.41,8000,禁用,255.255.255.0,10.77.0.254,10.77.0.254,02:00:00:00:00:01,\r\n"
                   "SN3,10.77.0.9,8000,启用,,,,,\r\n"
                   "SN7,10.77.0.43,8000,禁用,255.255.255.0,10.77.0.254,10.77.0.254,,\r\n");
    ASSERT_TRUE(window.LoadPlan(path));
    EXPECT_EQ(Column(*window.Model(), BatchModel::ColNewAddress),
              (std::vector<QString>{"10.77.0.41", "", "DHCP", ""}));
    EXPECT_EQ(window.Model()->CheckedRows(), (std::vector<int>{0, 2}));

    write(header + "SN2,10.77.0.42,8000,maybe,255.255.255.0,10.77.0.254,10.77.0.254,,\r\n");
    EXPECT_FALSE(window.LoadPlan(path));
    EXPECT_EQ(window.Model()->CheckedRows(), (std::vector<int>{0, 2}));
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_TRUE(answerer.seen()[0].text.contains("SN7"));
    EXPECT_TRUE(answerer.seen()[1].text.contains(QStringLiteral("第 2 行")));
}

// A device the neighbour entry never named got nothing: its row says another device
// at its address answers for it.
TEST(BatchWindow, AWithheldRequestShowsThatAnotherDeviceAnswersForIt)
{
    TestApplication();
    Stand stand;
    stand.outcomes["SN1"] = SendOutcome::Withheld;
    BatchWindow window(nullptr, stand.Options());
    window.SetDevices(Rows());
    window.Model()->CheckWhere([](const BatchRow &row) { return row.device.serialNo == "SN1"; });
    auto *gateway = window.findChild<QLineEdit *>("edt_gateway");
    gateway->setText("10.77.0.254");
    emit gateway->textEdited(gateway->text());
    auto *start = window.findChild<QLineEdit *>("edt_start");
    start->setText("10.77.0.20");
    emit start->textEdited(start->text());
    ASSERT_TRUE(WaitFor([&] { return !window.Probing(); }, 5000));
    ModalAnswerer answerer; // none expected
    window.Apply();
    ASSERT_TRUE(WaitFor([&] { return !window.Running(); }, 5000));
    EXPECT_TRUE(answerer.seen().empty());
    EXPECT_EQ(Column(*window.Model(), BatchModel::ColStatus)[0], QStringLiteral("此地址的另一台设备代其应答"));
    EXPECT_EQ(stand.sent, 1);
}

// Two boxes of their own at one factory address on a switched LAN, without the
// helper: the window serves them one at a time as the neighbour table names them,
// says so on its progress bar, and each box gets its own request and no other.
class SwitchedBatchWindowTest : public SwitchedLanTest {};

TEST_F(SwitchedBatchWindowTest, BoxesAtOneAddressEachGetTheirOwnRequestByTheNeighbourTable)
{
    TestApplication();
    sandbox::DevsimBoxes boxes(*net, ProgramDirectory() + "/brenu-devsim",
                               ::testing::TempDir() + "window_box_" + std::to_string(getpid()));
    for (const char *serial : {"SN-W1", "SN-W2"})
        ASSERT_EQ(boxes.Add(serial, "10.77.0.10"), "");
    SetDeliveryPreference(DeliveryPreference::Neighbour);
    DeviceSearch search;
    search.Start();
    const sandbox::BatchWindowRun run = sandbox::RunBatchWindow(search, {"SN-W1", "SN-W2"}, "10.77.0.50", 90000);
    search.Stop();
    SetDeliveryPreference(DeliveryPreference::Auto);
    ASSERT_EQ(run.problem, "");
    EXPECT_TRUE(run.progressText.contains(DeliveryWayText(DeliveryWay::Neighbour))) << run.progressText.toStdString();
    ASSERT_EQ(run.statuses.size(), 2u);
    for (const auto &[serial, status] : run.statuses)
        EXPECT_EQ(status, BatchStatus::Verified) << serial.toStdString();
    EXPECT_EQ(run.boxes.size(), 1) << run.boxes.join(" | ").toStdString(); // the confirmation only
    EXPECT_EQ(boxes.Count("updatecfg.htm"), 2);
    EXPECT_EQ(boxes.Count("note foreign request"), 0);
}

} // namespace
