// The main window on the offscreen platform: its form, the table's set-up, and how
// search answers become rows (no device needed: the answers are handed in as the
// searchers would hand them).
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QLineEdit>
#include <QMenu>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionViewItem>
#include <QTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTranslator>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "app/DeviceTable.h"
#include "app/QMyItemDelegate.h"
#include "app/QuitOnSignal.h"
#include "app/WindowLayout.h"
#include "app/SearchRangesDialog.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

TEST_F(WindowTest, FormHasTheListedObjectsTextsAndLook)
{
    TestWindow &w = Window();
    EXPECT_EQ(w.objectName(), "BrenuSearchToolsClass");
    EXPECT_EQ(w.windowTitle(), U("BRENU搜索工具"));
    // At least the form's 1194 x 566, wide enough for every column, where the screen
    // has room; never more than the screen offers (offscreen: 800 x 600).
    const QRect available = w.screen()->availableGeometry();
    const QSize room = available.size() - QSize(2 * kScreenMargin, 2 * kScreenMargin);
    EXPECT_LE(w.width(), room.width());
    EXPECT_GE(w.width(), std::min(1430, room.width())) << "the nine columns' widths";
    EXPECT_EQ(w.height(), std::min(566, room.height()));

    auto *layout = w.centralWidget()->layout();
    EXPECT_EQ(layout->objectName(), "verticalLayout");
    EXPECT_EQ(layout->spacing(), 6);
    EXPECT_EQ(layout->contentsMargins(), QMargins(11, 11, 11, 11));
    auto *row = layout->itemAt(0)->layout();
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->objectName(), "horizontalLayout");
    EXPECT_EQ(layout->itemAt(1)->widget(), w.Table());
    const char *order[] = {"label", "label_2", "lab_brenuNum", "lab_searchState", nullptr, "edt_filter", "btn_reboot",
                           "btn_refresh", "btn_ranges"};
    ASSERT_EQ(row->count(), 9);
    for (int i = 0; i < 9; ++i) {
        if (order[i])
            EXPECT_EQ(row->itemAt(i)->widget()->objectName(), order[i]) << i;
        else
            EXPECT_EQ(row->itemAt(i)->spacerItem()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    }

    EXPECT_EQ(w.findChild<QLabel *>("label")->text(), U("设备总数:"));
    EXPECT_EQ(w.findChild<QLabel *>("label_2")->frameShape(), QFrame::VLine);
    auto *count = w.findChild<QLabel *>("lab_brenuNum");
    EXPECT_EQ(count->text(), "0");
    EXPECT_EQ(count->font().family(), "Microsoft YaHei UI");
    EXPECT_EQ(count->font().pointSize(), 14);
    EXPECT_TRUE(count->font().bold());
    EXPECT_EQ(count->styleSheet(), "color: rgb(85, 170, 255);");
    EXPECT_EQ(w.findChild<QPushButton *>("btn_reboot")->text(), U("重启"));
    EXPECT_EQ(w.findChild<QPushButton *>("btn_refresh")->text(), U("刷新"));
    EXPECT_EQ(w.findChild<QPushButton *>("btn_ranges")->text(), U("搜索网段…"));

    // The three device entries first, then after a separator the list entries.
    auto *menu = w.findChild<QMenu *>();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 7);
    EXPECT_EQ(menu->actions()[0]->text(), U("修改配置"));
    EXPECT_EQ(menu->actions()[1]->text(), U("重启设备"));
    EXPECT_EQ(menu->actions()[2]->text(), U("打开网页"));
    EXPECT_TRUE(menu->actions()[3]->isSeparator());
    EXPECT_EQ(menu->actions()[4]->text(), U("复制"));
    EXPECT_EQ(menu->actions()[4]->shortcut(), QKeySequence(QKeySequence::Copy));
    EXPECT_EQ(menu->actions()[5]->text(), U("导出列表..."));
    EXPECT_EQ(menu->actions()[6]->text(), U("批量修改..."));
    EXPECT_EQ(menu->actions()[6]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_B));
}

TEST_F(WindowTest, TableHasTheNineColumnsAndTheirBehaviour)
{
    TestWindow &w = Window();
    QTableView *table = w.Table();
    QHeaderView *header = table->horizontalHeader();
    const char *titles[] = {"设备序列号", "IPv4地址", "端口", "DHCP", "子网掩码", "默认网关", "DNS服务器", "物理地址", "描述"};
    const int widths[] = {320, 150, 70, 70, 150, 150, 150, 170};
    ASSERT_EQ(w.Model()->columnCount(), 9);
    for (int column = 0; column < 9; ++column)
        EXPECT_EQ(w.Model()->horizontalHeaderItem(column)->text(), U(titles[column])) << column;
    for (int column = 0; column < 8; ++column) {
        EXPECT_EQ(header->sectionSize(column), widths[column]) << column;
        EXPECT_EQ(header->sectionResizeMode(column), QHeaderView::Interactive) << column;
    }
    EXPECT_TRUE(header->stretchLastSection()) << "the description takes what is left";
    EXPECT_EQ(header->minimumHeight(), 30);
    EXPECT_EQ(header->maximumHeight(), 30);
    EXPECT_FALSE(header->highlightSections());
    EXPECT_FALSE(header->sectionsMovable());
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(table->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_NE(qobject_cast<QMyItemDelegate *>(table->itemDelegate()), nullptr);
    EXPECT_TRUE(table->isSortingEnabled());
    EXPECT_EQ(table->contextMenuPolicy(), Qt::CustomContextMenu);

    // Nothing can be edited, whatever the operator does to a cell.
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QPoint cell = table->visualRect(w.Model()->index(0, 1)).center();
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell);
    QTest::keyClick(table, Qt::Key_F2);
    QTest::keyClick(table, Qt::Key_A);
    EXPECT_TRUE(table->findChildren<QLineEdit *>().isEmpty());
    EXPECT_EQ(w.Cell(0, 1), "10.77.0.2");
    // In a window narrower than the columns the description keeps its width, at the
    // end of the horizontal scroll bar.
    EXPECT_GE(header->sectionSize(DeviceTable::ColDescription), DeviceTable::ColumnWidth(DeviceTable::ColDescription));
}

// Records the state of every cell the delegate hands to the style.
class StateRecorder : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        if (element == CE_ItemViewItem)
            states.append(option->state);
        QProxyStyle::drawControl(element, option, painter, widget);
    }
    mutable QVector<QStyle::State> states;
};

TEST_F(WindowTest, DelegatePaintsTheCurrentCellWithoutFocusFrame)
{
    TestWindow &w = Window();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    auto *recorder = new StateRecorder;
    QApplication::setStyle(recorder); // the application takes it
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 100, 20);
    option.state = QStyle::State_Enabled | QStyle::State_Selected | QStyle::State_HasFocus;
    QImage image(100, 20, QImage::Format_ARGB32);
    QPainter painter(&image);
    w.Table()->itemDelegate()->paint(&painter, option, w.Model()->index(0, 0));
    ASSERT_EQ(recorder->states.size(), 1);
    EXPECT_FALSE(recorder->states[0] & QStyle::State_HasFocus);
    EXPECT_TRUE(recorder->states[0] & QStyle::State_Selected);
}

TEST_F(WindowTest, AnswersAddRowsOnceAndUpdateThemInPlace)
{
    TestWindow &w = Window();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2", 8001, true, U("仓库")));
    w.Answer(DeviceAnswer("SN2", "10.77.0.3"));
    ASSERT_EQ(w.Model()->rowCount(), 2);
    EXPECT_EQ(w.Count(), "2");
    EXPECT_EQ(w.Cell(0, 3), U("启用"));
    EXPECT_EQ(w.Cell(0, 8), U("仓库"));
    EXPECT_EQ(w.Model()->item(0, 0)->data(Qt::UserRole + 1).toString(), "SN1");

    // The repeated answer of SN1, from another adapter, with new values.
    w.Answer(DeviceAnswer("SN1", "10.77.0.9", 9000, false, U("新")));
    ASSERT_EQ(w.Model()->rowCount(), 2);
    EXPECT_EQ(w.Count(), "2");
    const char *expected[] = {"SN1", "10.77.0.9", "9000", "禁用", "255.255.255.0", "10.77.0.254", "10.77.0.253",
                              "02:00:00:00:00:01", "新"};
    for (int column = 0; column < 9; ++column)
        EXPECT_EQ(w.Cell(0, column), U(expected[column])) << column;
    EXPECT_EQ(w.Model()->item(0, 2)->textAlignment(), Qt::AlignRight | Qt::AlignVCenter);

    // Serial numbers are compared with their letter case; a number keys by its text.
    w.Answer(DeviceAnswer("sn1", "10.77.0.4"));
    w.Answer(SearchAnswer(R"("serialNo":4711,"address":"10.77.0.5","port":"80","subnetMask":"m","gateway":"g",)"
                          R"("dns":"d","mac":"x")"));
    ASSERT_EQ(w.Model()->rowCount(), 4);
    EXPECT_EQ(w.Count(), "4");
    EXPECT_EQ(w.Cell(3, 0), "4711");
    EXPECT_EQ(w.Cell(3, 2), "80");
    EXPECT_EQ(w.Cell(3, 3), U("禁用"));
    EXPECT_EQ(w.Cell(3, 8), "");
    EXPECT_EQ(w.Model()->item(3, 0)->data(Qt::UserRole + 1).toString(), "4711");
}

TEST_F(WindowTest, IncompleteAnswersAreDropped)
{
    TestWindow &w = Window();
    const char *members =
        R"("serialNo":"S","address":"a","port":1,"subnetMask":"m","gateway":"g","dns":"d","mac":"x")";
    w.Answer(SearchAnswer(members));
    ASSERT_EQ(w.Model()->rowCount(), 1);
    for (const char *broken :
         {R"("address":"a","port":1,"subnetMask":"m","gateway":"g","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"","port":1,"subnetMask":"m","gateway":"g","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"a","port":80.0,"subnetMask":"m","gateway":"g","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"a","port":"abc","subnetMask":"m","gateway":"g","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"a","port":0,"subnetMask":"m","gateway":"g","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"a","port":-1,"subnetMask":"m","gateway":"g","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"a","port":1,"gateway":"g","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"a","port":1,"subnetMask":"m","dns":"d","mac":"x")",
          R"("serialNo":"T","address":"a","port":1,"subnetMask":"m","gateway":"g","mac":"x")",
          R"("serialNo":"T","address":"a","port":1,"subnetMask":"m","gateway":"g","dns":"d")"})
        w.Answer(SearchAnswer(broken));
    w.Answer("{not json");
    w.Answer(R"({"params":{"list":[]}})");
    EXPECT_EQ(w.Model()->rowCount(), 1);
    EXPECT_EQ(w.Count(), "1");
}

TEST_F(WindowTest, RefreshEmptiesTheTableAndRestartsTheCount)
{
    TestWindow &w = Window();
    auto *refresh = w.findChild<QPushButton *>("btn_refresh");
    refresh->click();
    EXPECT_EQ(w.Model()->rowCount(), 0);
    EXPECT_EQ(w.Count(), "0");
    for (const char *serial : {"A", "B", "C"})
        w.Answer(DeviceAnswer(serial, "10.77.0.2"));
    EXPECT_EQ(w.Count(), "3");
    refresh->click();
    EXPECT_EQ(w.Model()->rowCount(), 0);
    EXPECT_EQ(w.Count(), "0");
    w.Answer(DeviceAnswer("B", "10.77.0.2"));
    w.Answer(DeviceAnswer("B", "10.77.0.7"));
    ASSERT_EQ(w.Model()->rowCount(), 1);
    EXPECT_EQ(w.Count(), "1");
    EXPECT_EQ(w.Cell(0, 1), "10.77.0.7");
}

TEST_F(WindowTest, SortedTableUpdatesRowsWhereTheyStandAndAppendsNewOnes)
{
    TestWindow &w = Window();
    for (int i = 0; i < 20; ++i)
        w.Answer(DeviceAnswer(QString("SN%1").arg(i, 2, 10, QChar('0')), QString("10.77.0.%1").arg(80 - i)));
    w.Table()->sortByColumn(1, Qt::AscendingOrder); // by address: SN19 first
    ASSERT_EQ(w.Cell(0, 0), "SN19");
    w.Answer(DeviceAnswer("SN05", "10.77.9.9", 1234));
    const int row = w.RowOf("SN05");
    EXPECT_EQ(row, 14);
    EXPECT_EQ(w.Cell(row, 1), "10.77.9.9");
    EXPECT_EQ(w.Cell(row, 2), "1234");
    EXPECT_EQ(w.Model()->rowCount(), 20);

    w.Answer(DeviceAnswer("NEW", "10.77.0.1"));
    EXPECT_EQ(w.Model()->rowCount(), 21);
    EXPECT_EQ(w.Cell(20, 0), "NEW");
    EXPECT_EQ(w.Count(), "21");
    w.Table()->sortByColumn(0, Qt::DescendingOrder);
    w.Answer(DeviceAnswer("NEW", "10.77.0.77"));
    EXPECT_EQ(w.Cell(w.RowOf("NEW"), 1), "10.77.0.77");
    EXPECT_EQ(w.Model()->rowCount(), 21);
}

TEST_F(WindowTest, CallbackOnlyQueuesTheAnswerForTheWindowThread)
{
    TestWindow &w = Window();
    const QByteArray text = DeviceAnswer("SN1", "10.77.0.2");
    std::thread searcher([&] {
        MsgCallBack(text.constData(), text.size(), &w);
        MsgCallBack(text.constData(), text.size(), nullptr);
    });
    searcher.join();
    EXPECT_EQ(w.Model()->rowCount(), 0);
    EXPECT_TRUE(WaitFor([&] { return w.Model()->rowCount() == 1; }, 2000));
    EXPECT_EQ(w.Count(), "1");
}

// While the window's thread is away from its event loop, answers wait in a bounded
// queue; beyond the bound they are counted, and the rest arrive in one turn.
TEST_F(WindowTest, AnswersWaitingForABusyWindowAreBoundedAndAppliedInOrder)
{
    TestWindow &w = Window();
    const auto address = [](std::size_t i) { return QString("10.77.0.%1").arg(i % 200 + 2); };
    const std::size_t sent = kMaxQueuedAnswers + 10;
    std::thread searcher([&] {
        for (std::size_t i = 0; i < sent; ++i) {
            const QByteArray text = DeviceAnswer(QString("Q%1").arg(i % 3), address(i));
            MsgCallBack(text.constData(), text.size(), &w);
        }
    });
    searcher.join(); // this thread has not returned to its event loop meanwhile
    EXPECT_EQ(w.Model()->rowCount(), 0);
    EXPECT_EQ(w.DroppedAnswers(), 10u);
    ASSERT_TRUE(WaitFor([&] { return w.Model()->rowCount() == 3; }, 2000));
    // Each row shows the last answer that was queued for it.
    for (std::size_t last = kMaxQueuedAnswers - 3; last < kMaxQueuedAnswers; ++last)
        EXPECT_EQ(w.Cell(w.RowOf(QString("Q%1").arg(last % 3)), 1), address(last));
    EXPECT_EQ(w.Count(), "3");
}

TEST_F(WindowTest, SearchFillsTheTableRefreshRefillsItAndClosingIsPrompt)
{
    // 40 devices on two addresses; each answer comes up to 1.5 s after a search.
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    Simulator devices(*net, {"--devices", "40", "--address-pool", "10.77.0.2,10.77.0.3", "--jitter", "1500"});
    ASSERT_TRUE(devices.Ready());
    TestWindow &w = Window();
    ASSERT_TRUE(WaitFor([&] { return w.Model()->rowCount() == 40; }, 4000)) << w.Model()->rowCount();
    EXPECT_EQ(w.Count(), "40");
    EXPECT_EQ(w.Cell(w.RowOf("BRSIM000001"), 3), U("启用"));
    EXPECT_EQ(w.Cell(w.RowOf("BRSIM000002"), 1), "10.77.0.3");

    // Refreshed, the table fills again with the next search, every device once.
    auto *refresh = w.findChild<QPushButton *>("btn_refresh");
    refresh->click();
    EXPECT_EQ(w.Model()->rowCount(), 0);
    ASSERT_TRUE(WaitFor([&] { return w.Model()->rowCount() == 40; }, 7500)) << w.Model()->rowCount();
    EXPECT_EQ(w.Count(), "40");

    // Closed while the answers of the next search are still coming in: the searchers
    // end at once.
    refresh->click();
    ASSERT_TRUE(WaitFor([&] { return w.Model()->rowCount() > 0; }, 6000));
    EXPECT_LT(w.Model()->rowCount(), 40);
    QElapsedTimer clock;
    clock.start();
    window.reset();
    EXPECT_LT(clock.elapsed(), 1000);
}

// Port 19009 held by another program: beside the count the window says so, with the
// holder in the tooltip, and no box opens; once the port is free and the search is
// back on it, the note goes.
TEST_F(WindowTest, HeldSearchPortIsShownBesideTheCount)
{
    int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in held = sandbox::Ipv4(sandbox::kWorkstationAddress, 19009);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&held), sizeof held), 0);
    TestWindow &w = Window();
    auto *state = w.findChild<QLabel *>("lab_searchState");
    ASSERT_NE(state, nullptr);
    const bool shown = WaitFor([&] { return !state->text().isEmpty(); }, 2500);
    close(blocker);
    ASSERT_TRUE(shown);
    EXPECT_EQ(state->text(), U("端口 19009 被占用"));
    EXPECT_TRUE(state->toolTip().startsWith(U("已改用其他端口搜索；只回复到端口 19009 的设备收不到：\n10.77.0.1 on brw0: "
                                              "port 19009 is in use by ")))
        << state->toolTip().toStdString();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(WaitFor([&] { return state->text().isEmpty(); }, 7000));
}

TEST_F(WindowTest, StopSignalClosesTheWindow)
{
    TestWindow &w = Window();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QuitOnSignal quit(&w);
    ASSERT_TRUE(quit.ok());
    raise(SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return !w.isVisible(); }, 2000));
}


// Devices behind a router: a range chosen in the window lists them, marked as routed;
// the dialog refuses what cannot be searched, and the settings keep the choices.
TEST_F(WindowTest, ARangeListsRoutedDevicesAndTheDialogRefusesWhatCannotBeSearched)
{
    ASSERT_TRUE(net->AddRoutedSubnet());
    ASSERT_TRUE(net->AddRoutedAddress("10.77.5.7/24"));
    Simulator devices(*net, {"--device", "serial=R1,address=10.77.5.7,port=8001,dhcp=off"}, true);
    ASSERT_TRUE(devices.Ready());
    TestWindow &w = Window();
    RangeSettings chosen;
    chosen.ranges << RangeChoice{"10.77.5.0/24", true} << RangeChoice{"10.77.9.0/24", false};
    w.ApplyRangeSettings(chosen);
    ASSERT_TRUE(WaitFor([&] { return w.Model()->rowCount() == 1; }, 3000));
    const QModelIndex serial = w.Model()->index(w.RowOf("R1"), 0);
    EXPECT_TRUE(serial.data(Qt::ToolTipRole).toString().startsWith(U("设备在路由器后面 (通过搜索网段发现, 本机地址 10.77.0.1)")))
        << serial.data(Qt::ToolTipRole).toString().toStdString();
    EXPECT_FALSE(serial.data(Qt::DecorationRole).isNull());

    SearchRangesDialog dialog(chosen, {sandbox::kWorkstationAddress}, &w);
    auto *edit = dialog.findChild<QLineEdit *>("edt_range");
    auto *problem = dialog.findChild<QLabel *>("lab_rangeProblem");
    for (const char *refused : {"127.0.0.0/24", "10.77.0.0/24", "10.0.0.0/8", "10.77.5.0"}) {
        edit->setText(refused);
        EXPECT_FALSE(dialog.AddTyped()) << refused;
        EXPECT_TRUE(problem->text().startsWith(U("无法搜索 ") + refused)) << problem->text().toStdString();
        // The reason speaks the window's language too: no English word in it.
        EXPECT_FALSE(problem->text().contains(QRegularExpression("[A-Za-z]"))) << problem->text().toStdString();
    }
    {
        QTranslator english;
        ASSERT_TRUE(english.load(QStringLiteral(BRENU_EN_QM)));
        QCoreApplication::installTranslator(&english);
        edit->setText("10.77.0.0/24");
        EXPECT_FALSE(dialog.AddTyped());
        QCoreApplication::removeTranslator(&english);
        EXPECT_EQ(problem->text(), "Cannot search 10.77.0.0/24: it holds 10.77.0.1, an address of this machine");
    }
    edit->setText(" 10.77.6.10-10.77.6.20 ");
    EXPECT_TRUE(dialog.AddTyped());
    EXPECT_TRUE(problem->text().isEmpty());
    const RangeSettings edited = dialog.Settings();
    ASSERT_EQ(edited.ranges.size(), 3);
    EXPECT_EQ(edited.ranges[2].text, "10.77.6.10-10.77.6.20");
    EXPECT_FALSE(edited.ranges[1].on);

    const QString path = QDir::temp().filePath("ranges_" + QString::number(getpid()) + ".ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        WriteRangeSettings(settings, edited);
    }
    QSettings settings(path, QSettings::IniFormat);
    const RangeSettings read = ReadRangeSettings(settings);
    QFile::remove(path);
    ASSERT_EQ(read.ranges.size(), 3);
    EXPECT_EQ(read.ranges[1].text, "10.77.9.0/24");
    EXPECT_FALSE(read.ranges[1].on);
    EXPECT_TRUE(read.ranges[2].on);
    EXPECT_EQ(read.rate, kDefaultRangeRate);
}

} // namespace
