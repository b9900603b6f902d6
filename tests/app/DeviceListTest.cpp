// The device list beyond a live table: devices gone silent muted, a row copied, the
// list exported as CSV, and the bound on the rows a flood of answers can add.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>

#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "protocol/Json.h"
#include "protocol/Searcher.h"
#include "tests/kit/FakeClock.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

// One answer as the searchers hand it on, with the datagram's source address.
void AnswerFrom(TestWindow &w, const QByteArray &json, const std::string &source)
{
    Vant::CProtocalJson message;
    ASSERT_TRUE(message.Parse(json.constData(), static_cast<std::size_t>(json.size())));
    const AnswerSource from{&source, 19010};
    w.QueueAnswer(message, InterfaceAddress{}, &from);
    QCoreApplication::processEvents();
}

class ListTest : public WindowTest {
protected:
    TestWindow &Open(int maxRows = kMaxDeviceRows)
    {
        clock = std::make_shared<kittest::FakeClock>();
        start = QDateTime(QDate(2026, 3, 4), QTime(13, 14, 15)).toSecsSinceEpoch();
        clock->now = start;
        window = std::make_unique<TestWindow>(nullptr, WindowOptions{clock, maxRows});
        return *window;
    }
    void Advance(uint32_t ms)
    {
        clock->tick += ms;
        elapsedMs += ms;
        clock->now = start + elapsedMs / 1000;
    }
    bool Muted(int row) const
    {
        const QColor muted = window->Table()->palette().color(QPalette::Disabled, QPalette::Text);
        for (int column = 0; column < 9; ++column) {
            const QVariant brush = window->Model()->index(row, column).data(Qt::ForegroundRole);
            if (!brush.canConvert<QBrush>() || brush.value<QBrush>().color() != muted)
                return false;
        }
        return true;
    }
    QString Tip(int row, int column = 4) const
    {
        return window->Model()->index(row, column).data(Qt::ToolTipRole).toString();
    }

    std::shared_ptr<kittest::FakeClock> clock;
    int64_t start = 0;
    int64_t elapsedMs = 0;
};

// Fields of RFC 4180 text: quoted fields may hold commas, doubled quotes and line ends.
QVector<QStringList> ParseCsv(const QString &text)
{
    QVector<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += c, ++i;
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row << field, field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            row << field, field.clear();
            rows << row, row.clear();
            ++i;
        } else {
            field += c;
        }
    }
    EXPECT_TRUE(field.isEmpty() && row.isEmpty()) << "the last line does not end in CR LF";
    return rows;
}

TEST_F(ListTest, SilentDevicesAreMutedUntilTheirNextAnswer)
{
    TestWindow &w = Open();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    w.Answer(DeviceAnswer("SN2", "10.77.0.3"));
    Advance(10000);
    w.Answer(DeviceAnswer("SN2", "10.77.0.3"));
    Advance(4999);
    w.slot_CheckSilence();
    EXPECT_FALSE(Muted(0));
    EXPECT_TRUE(Tip(0).isEmpty());

    // 15 s after its last answer SN1 is muted by the window's own check (the timer),
    // with the time of that answer; SN2 answered 5 s ago and the count stays.
    Advance(1);
    ASSERT_TRUE(WaitFor([&] { return Muted(0); }, 2500));
    EXPECT_EQ(Tip(0), U("最后应答: 13:14:15"));
    EXPECT_EQ(Tip(0, 8), Tip(0));
    EXPECT_FALSE(Muted(1));
    EXPECT_EQ(w.Model()->rowCount(), 2);
    EXPECT_EQ(w.Count(), "2");

    // The mark follows the row through sorting and goes with the next answer at once.
    w.Table()->sortByColumn(0, Qt::DescendingOrder);
    ASSERT_EQ(w.Cell(1, 0), "SN1");
    EXPECT_TRUE(Muted(1));
    EXPECT_FALSE(Muted(0));
    Advance(3000);
    w.Answer(DeviceAnswer("SN1", "10.77.0.9"));
    EXPECT_FALSE(Muted(1));
    EXPECT_TRUE(Tip(1).isEmpty());

    // Silent again later: the tooltip gives the newer answer. Refresh forgets it all.
    Advance(15000);
    w.slot_CheckSilence();
    EXPECT_TRUE(Muted(0) && Muted(1));
    EXPECT_EQ(Tip(1), U("最后应答: 13:14:33"));
    w.findChild<QPushButton *>("btn_refresh")->click();
    w.Answer(DeviceAnswer("SN1", "10.77.0.9"));
    EXPECT_FALSE(Muted(0));
    EXPECT_EQ(w.Count(), "1");
}

TEST_F(ListTest, SharedSerialsAndAddressesAndForeignSubnetsAreMarkedWithoutHidingSilence)
{
    TestWindow &w = Open();
    auto answer = [](const char *serial, const char *address, const char *mac) {
        return SearchAnswer(QString(R"("serialNo":"%1","address":"%2","port":8001,"dhcp":false,)"
                                    R"("subnetMask":"255.255.255.0","gateway":"10.77.0.254","dns":"10.77.0.253",)"
                                    R"("mac":"%3","description":"")")
                                .arg(serial, address, mac)
                                .toUtf8());
    };
    auto marked = [&](int row) { return !w.Model()->index(row, 0).data(Qt::DecorationRole).isNull(); };
    w.Answer(answer("SN1", "10.77.0.2", "02:00:00:00:00:01"));
    w.Answer(answer("SN2", "10.77.0.3", "02:00:00:00:00:02"));
    EXPECT_FALSE(marked(0) || marked(1));
    EXPECT_TRUE(Tip(0).isEmpty());

    // A second device with SN1: still one row, marked, the tooltip names both.
    w.Answer(answer("SN1", "10.77.0.7", "02:00:00:00:00:07"));
    ASSERT_EQ(w.Model()->rowCount(), 2);
    EXPECT_EQ(w.Count(), "2");
    EXPECT_TRUE(marked(0));
    EXPECT_FALSE(marked(1));
    EXPECT_EQ(Tip(0), U("序列号冲突: 2 台设备使用此序列号 (10.77.0.2 02:00:00:00:00:01, 10.77.0.7 02:00:00:00:00:07)"));

    // SN2 moves onto SN1's address: both rows say so.
    w.Answer(answer("SN2", "10.77.0.7", "02:00:00:00:00:02"));
    EXPECT_TRUE(marked(1));
    EXPECT_EQ(Tip(1), U("地址冲突: 序列号 SN1 使用同一地址"));
    EXPECT_TRUE(Tip(0).endsWith(U("\n地址冲突: 序列号 SN2 使用同一地址"))) << Tip(0).toStdString();

    // Silent rows stay muted with their marks; the tooltip adds the last answer.
    Advance(15000);
    w.slot_CheckSilence();
    EXPECT_TRUE(Muted(1) && marked(1));
    EXPECT_EQ(Tip(1), U("地址冲突: 序列号 SN1 使用同一地址\n最后应答: 13:14:15"));

    // Heard on 10.77.0.1/24 of brw0, a device at 10.77.1.5 is in a foreign subnet.
    InterfaceAddress heardOn;
    heardOn.address = "10.77.0.1";
    heardOn.device = "brw0";
    heardOn.netmask = htonl(0xffffff00);
    emit w.signal_HeardAnswer(answer("FAR", "10.77.1.5", "02:00:00:00:00:09"), heardOn);
    const int far = w.RowOf("FAR");
    ASSERT_GE(far, 0);
    EXPECT_TRUE(marked(far));
    EXPECT_EQ(Tip(far), U("设备不在网卡 brw0 的任何网段内 (由本机地址 10.77.0.1 发现), 命令经该网卡直接发送"));

    // A forged serial number at FAR's address is named with its line feed as a mark,
    // so it cannot pose as a line of the tooltip.
    w.Answer(answer(R"(<b>X\nY)", "10.77.1.5", "02:00:00:00:00:0b"));
    EXPECT_TRUE(Tip(far).startsWith(U("地址冲突: 序列号 <b>X\u240aY 使用同一地址\n"))) << Tip(far).toStdString();
}

TEST_F(ListTest, AnUpdateWhoseAnswerWasLostIsNotedOnceTheSearchShowsIt)
{
    TestWindow &w = Open();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    w.Answer(DeviceAnswer("SN2", "10.77.0.3"));
    ExpectedSettings moved{"SN1", "02:00:00:00:00:01", {"10.77.0.8", "255.255.255.0", "10.77.0.254", "10.77.0.253", false}};
    w.WatchUnansweredUpdate(moved);
    ExpectedSettings late{"SN2", "02:00:00:00:00:01", {"10.77.0.9", "255.255.255.0", "10.77.0.254", "10.77.0.253", false}};
    w.WatchUnansweredUpdate(late);
    Advance(5000);
    AnswerFrom(w, DeviceAnswer("SN1", "10.77.0.2"), "10.77.0.2"); // not yet
    EXPECT_TRUE(Tip(0).isEmpty());
    // The new values from another host than the new address show nothing but the
    // identity conflict the second source makes.
    AnswerFrom(w, DeviceAnswer("SN1", "10.77.0.8"), "10.77.0.66");
    EXPECT_TRUE(Tip(0).startsWith(U("身份冲突: "))) << Tip(0).toStdString();
    EXPECT_FALSE(Tip(0).contains(U("设置已生效")));
    Advance(8000); // the other sources quiet long enough to be forgotten
    AnswerFrom(w, DeviceAnswer("SN1", "10.77.0.8"), "10.77.0.8");
    EXPECT_EQ(Tip(0), U("设置已生效: 设备对命令的应答丢失, 但随后的搜索显示了新设置"));
    // Shown too late (after 15 s) it is the device's own change, not the update's.
    Advance(5000);
    AnswerFrom(w, DeviceAnswer("SN2", "10.77.0.9"), "10.77.0.9");
    EXPECT_TRUE(Tip(1).isEmpty());
}

TEST_F(ListTest, CtrlCAndTheMenuEntryCopyTheSelectedRowAsDisplayed)
{
    TestWindow &w = Open();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    w.Answer(DeviceAnswer("SN2", "10.77.0.3", 8002, true, U("二号 仓库")));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTableView *table = w.Table();
    table->setFocus();
    table->selectRow(1);
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              U("SN2\t10.77.0.3\t8002\t启用\t255.255.255.0\t10.77.0.254\t10.77.0.253\t02:00:00:00:00:01\t二号 仓库"));

    QGuiApplication::clipboard()->clear();
    table->selectRow(0);
    for (QAction *action : w.findChild<QMenu *>()->actions()) {
        if (action->text() == U("复制"))
            action->trigger();
    }
    EXPECT_TRUE(QGuiApplication::clipboard()->text().startsWith("SN1\t10.77.0.2\t8001\t"));
}

TEST_F(ListTest, ExportWritesEveryRowInSortOrderAsCsvWithByteOrderMark)
{
    TestWindow &w = Open();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2", 8001, false, U("一号, 东")));
    w.Answer(DeviceAnswer("SN2", "10.77.0.4", 8002, true, U(R"(say \"hi\")")));
    w.Answer(DeviceAnswer("SN3", "10.77.0.3", 8003, false, U(R"(two\r\nlines)")));
    w.Table()->sortByColumn(1, Qt::DescendingOrder);
    QTemporaryDir dir;
    const QString path = dir.filePath("devices.csv");
    ASSERT_TRUE(w.ExportListTo(path));

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    EXPECT_TRUE(bytes.contains(R"(,"say ""hi""")" "\r\n"));
    EXPECT_TRUE(bytes.contains(",\"\xE4\xB8\x80\xE5\x8F\xB7, \xE4\xB8\x9C\"\r\n"));
    const QVector<QStringList> rows = ParseCsv(QString::fromUtf8(bytes.mid(3)));
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows[0], QStringList({U("设备序列号"), U("IPv4地址"), U("端口"), "DHCP", U("子网掩码"), U("默认网关"),
                                    U("DNS服务器"), U("物理地址"), U("描述")}));
    for (int row = 0; row < 3; ++row) {
        QStringList shown;
        for (int column = 0; column < 9; ++column)
            shown << w.Cell(row, column);
        EXPECT_EQ(rows[row + 1], shown) << row;
    }
    EXPECT_EQ(rows[1][0], "SN2");
    EXPECT_EQ(rows[2][8], "two\r\nlines");
}

TEST_F(ListTest, ExportEntrySuggestsADatedNameInTheDocumentsFolder)
{
    TestWindow &w = Open();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    QTemporaryDir dir;
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", dir.path().toUtf8());
    ASSERT_TRUE(QDir(dir.path()).mkdir("Documents"));
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QString suggested, chosen;
    // The dialog is answered from the event loop it runs: the suggestion is read, then
    // a name without suffix is chosen.
    QTimer::singleShot(100, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        suggested = dialog->selectedFiles().value(0);
        // Typed as an operator would: selectFile leaves a focused name field alone.
        dialog->setDirectory(dir.path());
        if (auto *name = dialog->findChild<QLineEdit *>("fileNameEdit"))
            name->setText("chosen");
        chosen = dialog->selectedFiles().value(0);
        static_cast<QDialog *>(dialog)->accept(); // public there
    });
    for (QAction *action : w.findChild<QMenu *>()->actions()) {
        if (action->text() == U("导出列表..."))
            action->trigger();
    }
    qputenv("HOME", home);
    EXPECT_EQ(documents, dir.filePath("Documents"));
    EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(documents) +
                                   R"(/brenu-devices-20\d{6}-\d{6}\.csv$)")
                    .match(suggested)
                    .hasMatch())
        << suggested.toStdString();
    EXPECT_TRUE(QFile::exists(dir.filePath("chosen.csv"))) << chosen.toStdString();
}

TEST_F(ListTest, FailedExportWarnsAndLeavesNoFile)
{
    TestWindow &w = Open();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    // A directory that cannot exist (its parent is a regular file) stops root too.
    QTemporaryDir dir;
    QFile blocker(dir.filePath("plain-file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = dir.filePath("plain-file/devices.csv");
    ModalAnswerer answerer;
    EXPECT_FALSE(w.ExportListTo(path));
    ASSERT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(answerer.seen()[0].kind, "box");
    EXPECT_EQ(answerer.seen()[0].title, U("提示"));
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(answerer.seen()[0].text.contains(path)) << answerer.seen()[0].text.toStdString();
    EXPECT_GT(answerer.seen()[0].text.size(), U("无法保存 :\n").size() + path.size());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList({"plain-file"}));
}

TEST_F(ListTest, FullTableListsNoNewDeviceKeepsUpdatingAndShowsTheOverflow)
{
    TestWindow &w = Open(5);
    for (int i = 0; i < 5; ++i)
        w.Answer(DeviceAnswer(QString("SN%1").arg(i), "10.77.0.2"));
    auto *count = w.findChild<QLabel *>("lab_brenuNum");
    EXPECT_EQ(w.Count(), "5");
    EXPECT_TRUE(count->toolTip().isEmpty());

    testing::internal::CaptureStderr();
    w.Answer(DeviceAnswer("NEW1", "10.77.0.5"));
    w.Answer(DeviceAnswer("NEW2", "10.77.0.6"));
    w.Answer(DeviceAnswer("NEW2", "10.77.0.6"));
    w.Answer(DeviceAnswer("SN3", "10.77.0.9", 9000));
    const QString printed = QString::fromStdString(testing::internal::GetCapturedStderr());
    EXPECT_EQ(printed.count('\n'), 1) << printed.toStdString();
    EXPECT_TRUE(printed.contains("full")) << printed.toStdString();
    EXPECT_EQ(w.Model()->rowCount(), 5);
    EXPECT_EQ(w.RowOf("NEW1"), -1);
    EXPECT_EQ(w.Cell(w.RowOf("SN3"), 1), "10.77.0.9");
    EXPECT_EQ(w.Count(), "5+");
    const QString tip = U("应答的设备多于表格可容纳的 5 台, 另有 2 台未显示。点击\"刷新\"清空表格。");
    EXPECT_TRUE(WaitFor([&] { return count->toolTip() == tip; }, 1000)) << count->toolTip().toStdString();

    // A reboot or any other removal makes room again; refresh clears the overflow.
    w.findChild<QPushButton *>("btn_refresh")->click();
    EXPECT_EQ(w.Count(), "0");
    EXPECT_TRUE(count->toolTip().isEmpty());
    w.Answer(DeviceAnswer("NEW1", "10.77.0.5"));
    EXPECT_EQ(w.RowOf("NEW1"), 0);
    EXPECT_EQ(w.Count(), "1");
}

} // namespace
