// Device actions from the main window: the context menu, reboot with its
// confirmation and verdicts (brenu-devsim plays the devices), and the web page.
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <thread>

#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "app/DeviceTable.h"
#include "app/QBrenuInfo.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

const char *kRebootSN1 =
    R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/reboot.htm","params":{"data":[{"serialNo":"SN1"}]}})";

class ActionsTest : public WindowTest {
protected:
    // SN1 at 10.77.0.2:8001 (silent for 300 ms after a reboot) with the faults given.
    void StartDevice(const std::string &faults = "")
    {
        std::vector<std::string> options{"--device", "serial=SN1,address=10.77.0.2,port=8001", "--reboot-time", "300"};
        if (!faults.empty())
            options.insert(options.end(), {"--fault", faults});
        device = std::make_unique<Simulator>(*net, options);
        ASSERT_TRUE(device->Ready());
    }
    // The window with SN1 listed (by its answer to the first search) and another row.
    void ListDevices()
    {
        TestWindow &w = Window();
        ASSERT_TRUE(WaitFor([&] { return w.RowOf("SN1") >= 0; }, 3000)) << "SN1 did not answer the search";
        w.Answer(DeviceAnswer("OTHER", "10.77.0.50"));
        ASSERT_EQ(w.Count(), "2");
    }
    void RightClick(int row)
    {
        QTableView *table = window->Table();
        const QPoint pos = row < 0 ? QPoint(20, table->viewport()->height() - 5)
                                   : table->visualRect(window->Model()->index(row, 1)).center();
        QTest::mousePress(table->viewport(), Qt::RightButton, {}, pos);
        QTest::mouseRelease(table->viewport(), Qt::RightButton, {}, pos);
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, table->viewport()->mapToGlobal(pos));
        QApplication::sendEvent(table->viewport(), &event);
    }
    std::vector<std::string> Sent() const { return device->Received("10.77.0.2:8001"); }

    std::unique_ptr<Simulator> device;
};

TEST_F(ActionsTest, ContextMenuShowsOnlyOverARowAndActsOnIt)
{
    TestWindow &w = Window();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.Answer(DeviceAnswer("SN1", "10.77.0.2", 8001, true, U("一号")));
    w.Answer(DeviceAnswer("SN2", "10.77.0.3", 8002));
    ModalAnswerer answerer;
    RightClick(-1); // below the last row
    QTest::qWait(200);
    EXPECT_TRUE(answerer.seen().isEmpty());

    answerer.Queue(ModalAnswerer::ChooseFirst); // "修改配置"
    RightClick(1);
    ASSERT_TRUE(WaitFor([&] { return answerer.seen().size() == 2; }, 3000));
    EXPECT_EQ(answerer.seen()[0].kind, "menu");
    EXPECT_EQ(answerer.seen()[0].buttons, QStringList({U("修改配置"), U("重启设备"), U("打开网页"), "", U("复制"), U("导出列表..."), U("批量修改...")}));
    EXPECT_EQ(answerer.seen()[1].kind, "QBrenuInfo");
    EXPECT_EQ(answerer.seen()[1].title, U("详情"));
    auto *dialog = w.findChild<QBrenuInfo *>();
    EXPECT_EQ(dialog->findChild<QLineEdit *>("edt_serialNo")->text(), "SN2");
    EXPECT_EQ(dialog->findChild<QLineEdit *>("edt_ipv4")->text(), "10.77.0.3");

    // The same dialog serves every row.
    w.onUpdateBrenu(w.Model()->index(0, 4));
    EXPECT_EQ(w.findChildren<QBrenuInfo *>().size(), 1);
    EXPECT_EQ(dialog->findChild<QLineEdit *>("edt_serialNo")->text(), "SN1");
    EXPECT_EQ(w.Model()->rowCount(), 2);
}

TEST_F(ActionsTest, RebootAsksFirstAndCancelSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice());
    ASSERT_NO_FATAL_FAILURE(ListDevices());
    TestWindow &w = *window;
    ModalAnswerer answerer;
    w.findChild<QPushButton *>("btn_reboot")->click(); // no current row
    QTest::qWait(200);
    EXPECT_TRUE(answerer.seen().isEmpty());

    answerer.Queue(ModalAnswerer::Reject);
    w.Table()->setCurrentIndex(w.Model()->index(w.RowOf("SN1"), 2));
    w.findChild<QPushButton *>("btn_reboot")->click();
    ASSERT_EQ(answerer.seen().size(), 1);
    const ModalAnswerer::Seen &box = answerer.seen()[0];
    EXPECT_EQ(box.title, U("警告"));
    EXPECT_EQ(box.text, U("是否确认重启此设备!"));
    EXPECT_EQ(box.icon, QMessageBox::Question);
    // Below the question: which device it concerns.
    EXPECT_TRUE(box.detail.contains("SN1") && box.detail.contains(w.Cell(w.RowOf("SN1"), 1))) << box.detail.toStdString();
    EXPECT_TRUE(box.buttons.contains(U("确定")) && box.buttons.contains(U("取消"))) << box.buttons.join(',').toStdString();
    EXPECT_EQ(box.buttons.size(), 2);
    QTest::qWait(200);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(w.Model()->rowCount(), 2);
}

TEST_F(ActionsTest, SuccessfulRebootRemovesTheRowUntilTheDeviceAnswersAgain)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice());
    ASSERT_NO_FATAL_FAILURE(ListDevices());
    TestWindow &w = *window;
    w.Table()->sortByColumn(0, Qt::AscendingOrder); // OTHER, SN1
    ModalAnswerer answerer;
    w.onRebootBrenu(w.Model()->index(1, 5));
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].title, U("提示"));
    EXPECT_EQ(answerer.seen()[1].text, U("执行成功!"));
    EXPECT_EQ(answerer.seen()[1].icon, QMessageBox::Information);
    ASSERT_EQ(Sent(), std::vector<std::string>{kRebootSN1});
    EXPECT_EQ(w.RowOf("SN1"), -1);
    EXPECT_EQ(w.RowOf("OTHER"), 0);
    EXPECT_EQ(w.Count(), "1");

    // Back with its answer to the next periodic search, as a new row at the end.
    EXPECT_TRUE(WaitFor([&] { return w.RowOf("SN1") >= 0; }, 7000));
    EXPECT_EQ(w.RowOf("SN1"), 1);
    EXPECT_EQ(w.Count(), "2");
}

TEST_F(ActionsTest, ADeviceInAForeignSubnetIsRebootedOnLinkThroughTheInterfaceThatHeardIt)
{
    // No route leads to 10.77.1.0/24; the device answers the search by broadcast.
    ASSERT_TRUE(net->AddDeviceAddress("10.77.1.5/24"));
    device = std::make_unique<Simulator>(
        *net, std::vector<std::string>{"--device", "serial=FAR,address=10.77.1.5,port=8001,answer=broadcast",
                                       "--reboot-time", "300"});
    ASSERT_TRUE(device->Ready());
    TestWindow &w = Window();
    ASSERT_TRUE(WaitFor([&] { return w.RowOf("FAR") >= 0; }, 3000));
    EXPECT_FALSE(w.Model()->index(w.RowOf("FAR"), 0).data(Qt::DecorationRole).isNull()); // marked foreign
    ModalAnswerer answerer;
    w.onRebootBrenu(w.Model()->index(w.RowOf("FAR"), 0));
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].text, U("执行成功!"));
    EXPECT_EQ(device->Received("10.77.1.5:8001").size(), 1u);
}

TEST_F(ActionsTest, ResultOneCountsAsSuccess)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:result-number"));
    ASSERT_NO_FATAL_FAILURE(ListDevices());
    ModalAnswerer answerer;
    window->onRebootBrenu(window->Model()->index(window->RowOf("SN1"), 0));
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].text, U("执行成功!"));
    EXPECT_EQ(window->RowOf("SN1"), -1);
}

TEST_F(ActionsTest, ResultTextOneIsAFailureAndKeepsTheRow)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:result-string"));
    ASSERT_NO_FATAL_FAILURE(ListDevices());
    ModalAnswerer answerer;
    window->onRebootBrenu(window->Model()->index(window->RowOf("SN1"), 0));
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].text, U("执行失败!"));
    EXPECT_GE(window->RowOf("SN1"), 0);
    EXPECT_EQ(window->Count(), "2");
}

TEST_F(ActionsTest, SilentDeviceFailsAfterTheLimitAndAnswersQueuedMeanwhileAreApplied)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:silent"));
    ASSERT_NO_FATAL_FAILURE(ListDevices());
    TestWindow &w = *window;
    ModalAnswerer answerer;
    // A searcher thread hands over a new device while the window waits for SN1.
    const QByteArray late = DeviceAnswer("LATE", "10.77.0.60");
    std::thread searcher([&] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        MsgCallBack(late.constData(), late.size(), &w);
    });
    QElapsedTimer clock;
    clock.start();
    w.onRebootBrenu(w.Model()->index(w.RowOf("SN1"), 1));
    const qint64 waited = clock.elapsed();
    searcher.join();
    EXPECT_GE(waited, 9900);
    EXPECT_LT(waited, 13000);
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].text, U("执行失败!"));
    EXPECT_GE(w.RowOf("SN1"), 0);
    EXPECT_TRUE(WaitFor([&] { return w.RowOf("LATE") >= 0; }, 1000));
    EXPECT_EQ(w.Count(), "3");
}

TEST_F(ActionsTest, ADeviceWithGbkTextsIsListedReadableAndRebootedByItsOwnSerialBytes)
{
    const std::string serial = "SN\xBA\xC5"; // "SN号" as a Chinese Windows system writes it
    device = std::make_unique<Simulator>(
        *net, std::vector<std::string>{"--device", "serial=" + serial + ",address=10.77.0.2,port=8001,description=\xB4\xF3\xC3\xC5",
                                       "--reboot-time", "300"});
    ASSERT_TRUE(device->Ready());
    TestWindow &w = Window();
    ASSERT_TRUE(WaitFor([&] { return w.RowOf(U("SN号")) >= 0; }, 3000));
    const int row = w.RowOf(U("SN号"));
    EXPECT_EQ(w.Model()->index(row, DeviceTable::ColDescription).data().toString(), U("大门"));
    EXPECT_NE(w.Model()->index(row, 0).data(Qt::ToolTipRole).toString().indexOf("GB18030"), -1);
    // The device takes the reboot only with its own serial bytes, and its answer, which
    // carries them, is judged by them.
    ModalAnswerer answerer;
    w.onRebootBrenu(w.Model()->index(row, 0));
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].text, U("执行成功!"));
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_NE(Sent()[0].find("\"serialNo\":\"" + serial + "\""), std::string::npos) << Sent()[0];
}

TEST_F(ActionsTest, UnusableAddressOrPortIsReportedOrSkipped)
{
    TestWindow &w = Window();
    w.Answer(DeviceAnswer("BAD", "999.1.1.1"));
    w.Answer(DeviceAnswer("HIGH", "10.77.0.2", 70000));
    ModalAnswerer answerer;
    w.onRebootBrenu(w.Model()->index(0, 0));
    // A text that is no IPv4 literal is never resolved or sent to: the box says why,
    // before any question is asked. The reason comes from device/, in the window's language.
    ASSERT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(answerer.seen()[0].title, U("提示"));
    EXPECT_EQ(answerer.seen()[0].text, U("未发送: '999.1.1.1' 不是 IPv4 地址"));
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Warning);
    // A port beyond 16 bits is not cut down to some other port: nothing is sent or asked.
    w.onRebootBrenu(w.Model()->index(1, 0));
    QTest::qWait(200);
    EXPECT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(w.Model()->rowCount(), 2);
}

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl &url) { urls.append(url); }
};

TEST_F(ActionsTest, DoubleClickOpensTheWebPageOfDottedAddressesOnly)
{
    TestWindow &w = Window();
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "Open");
    w.Answer(DeviceAnswer("WEB", "192.168.1.20", 8080));
    w.Answer(DeviceAnswer("THREE", "1.2.3"));
    w.Answer(DeviceAnswer("LETTER", "10.0.0.a"));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (int row = 0; row < 3; ++row) {
        const QPoint pos = w.Table()->visualRect(w.Model()->index(row, 7)).center();
        QTest::mouseClick(w.Table()->viewport(), Qt::LeftButton, {}, pos);
        QTest::mouseDClick(w.Table()->viewport(), Qt::LeftButton, {}, pos);
    }
    QDesktopServices::unsetUrlHandler("http");
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0].toString(), "http://192.168.1.20");
    EXPECT_EQ(w.Model()->rowCount(), 3);
}

} // namespace

#include "DeviceActionsTest.moc"
