// The filter box, the keyboard paths and what a screen reader is told.
#include <gtest/gtest.h>

#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "app/BatchWindow.h"
#include "app/DeviceTable.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

// The serial numbers of the rows shown, top to bottom.
QStringList Shown(TestWindow &w)
{
    QStringList serials;
    for (int row = 0; row < w.Model()->rowCount(); ++row)
        if (!w.Table()->isRowHidden(row))
            serials << w.Cell(row, DeviceTable::ColSerialNo);
    return serials;
}

TEST_F(WindowTest, FilterHidesRowsThatDoNotMatchAndFollowsAnswersAndSort)
{
    TestWindow &w = Window();
    w.Answer(DeviceAnswer("SN-B", "10.77.0.3", 8001, false, "Lager Nord"));
    w.Answer(DeviceAnswer("SN-A", "10.77.0.2", 8001, false, U("仓库")));
    w.Answer(DeviceAnswer("X-9", "10.77.0.9", 8001, false, "LAGER SUED"));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    auto *filter = w.findChild<QLineEdit *>("edt_filter");
    ASSERT_NE(filter, nullptr);

    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(filter->hasFocus());
    QTest::keyClicks(filter, "lager");
    EXPECT_EQ(Shown(w), QStringList({"SN-B", "X-9"}));
    EXPECT_EQ(w.Count(), "2 / 3");

    // New answers that match show up at once, others stay hidden; a row whose
    // description changes is checked again.
    w.Answer(DeviceAnswer("SN-C", "10.77.0.4", 8001, false, "lagerhalle"));
    w.Answer(DeviceAnswer("SN-D", "10.77.0.5"));
    w.Answer(DeviceAnswer("SN-A", "10.77.0.2", 8001, false, "Lager West"));
    EXPECT_EQ(Shown(w), QStringList({"SN-B", "SN-A", "X-9", "SN-C"}));
    EXPECT_EQ(w.Count(), "4 / 5");

    // Sorting moves the rows' contents; the rows shown are still the matching ones.
    w.Table()->sortByColumn(DeviceTable::ColAddress, Qt::DescendingOrder);
    EXPECT_EQ(Shown(w), QStringList({"X-9", "SN-C", "SN-B", "SN-A"}));
    // Address and MAC match too, whatever their case.
    filter->setText("10.77.0.5");
    EXPECT_EQ(Shown(w), QStringList({"SN-D"}));
    filter->setText("lager");

    // The export writes the rows shown, in the order shown.
    QTemporaryDir dir;
    const QString path = dir.filePath("shown.csv");
    ASSERT_TRUE(w.ExportListTo(path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[1].startsWith("X-9,") && lines[4].startsWith("SN-A,")) << lines.join('|').toStdString();

    // The batch window is offered the rows shown, in the order shown.
    QTest::keyClick(&w, Qt::Key_B, Qt::ControlModifier);
    auto *batch = w.findChild<BatchWindow *>();
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(batch->Model()->Rows().size(), 4u);
    EXPECT_EQ(batch->Model()->Rows()[0].device.serialNo, "X-9");
    batch->close();

    // Esc empties the box and every row is back.
    filter->setFocus();
    QTest::keyClick(filter, Qt::Key_Escape);
    EXPECT_TRUE(filter->text().isEmpty());
    EXPECT_EQ(Shown(w).size(), 5);
    EXPECT_EQ(w.Count(), "5");

    // After "刷新" the filter still holds for the answers that come back.
    filter->setText("lager");
    w.findChild<QPushButton *>("btn_refresh")->click();
    w.Answer(DeviceAnswer("SN-D", "10.77.0.5"));
    w.Answer(DeviceAnswer("SN-B", "10.77.0.3", 8001, false, "Lager Nord"));
    EXPECT_EQ(Shown(w), QStringList({"SN-B"}));
    EXPECT_EQ(w.Count(), "1 / 2");
}

TEST_F(WindowTest, KeyboardReachesEveryRowActionAndLeavesTheTableWithTab)
{
    TestWindow &w = Window();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    w.Answer(DeviceAnswer("SN2", "10.77.0.3"));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTableView *table = w.Table();
    QApplication::setActiveWindow(&w);
    table->setFocus();
    table->setCurrentIndex(w.Model()->index(1, 3));

    {
        ModalAnswerer answerer;
        QTest::keyClick(table, Qt::Key_Return);
        ASSERT_TRUE(WaitFor([&] { return answerer.seen().size() == 1; }, 3000));
        EXPECT_EQ(answerer.seen()[0].kind, "QBrenuInfo");
    }
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Menu), QKeySequence(Qt::SHIFT | Qt::Key_F10)}) {
        ModalAnswerer answerer;
        QTest::keySequence(table, key);
        ASSERT_TRUE(WaitFor([&] { return answerer.seen().size() == 1; }, 3000)) << key.toString().toStdString();
        EXPECT_EQ(answerer.seen()[0].kind, "menu");
        EXPECT_EQ(answerer.seen()[0].buttons.value(2), U("打开网页"));
    }

    // Tab leaves the table for the next control; the row stays current.
    QApplication::setActiveWindow(&w);
    table->setFocus();
    QTest::keyClick(table, Qt::Key_Tab);
    EXPECT_FALSE(table->hasFocus());
    EXPECT_EQ(table->currentIndex().row(), 1);

    // (The menus and the dialog took the activation; shortcuts go to the active window.)
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_F5);
    EXPECT_EQ(w.Model()->rowCount(), 0);
    EXPECT_EQ(w.Count(), "0");
    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(WindowTest, ScreenReaderHearsNamesAndARowsConflict)
{
    TestWindow &w = Window();
    EXPECT_FALSE(w.findChild<QLabel *>("lab_brenuNum")->accessibleName().isEmpty());
    EXPECT_FALSE(w.Table()->accessibleName().isEmpty());
    EXPECT_FALSE(w.findChild<QLineEdit *>("edt_filter")->accessibleName().isEmpty());
    w.show();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_B, Qt::ControlModifier);
    auto *batch = w.findChild<BatchWindow *>();
    ASSERT_NE(batch, nullptr);
    for (const char *field : {"edt_start", "edt_mask", "edt_gateway", "edt_dns"})
        EXPECT_FALSE(batch->findChild<QLineEdit *>(field)->accessibleName().isEmpty()) << field;
    batch->close();

    // Two devices answer with one serial number: the row's description says so.
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    w.Answer(SearchAnswer(R"("serialNo":"SN1","address":"10.77.0.7","port":8001,"dhcp":false,)"
                          R"("subnetMask":"255.255.255.0","gateway":"10.77.0.1","dns":"10.77.0.1",)"
                          R"("mac":"02:00:00:00:00:77","description":"")"));
    w.Answer(DeviceAnswer("SN2", "10.77.0.3"));
    const QString conflicted =
        w.Model()->index(w.RowOf("SN1"), DeviceTable::ColAddress).data(Qt::AccessibleDescriptionRole).toString();
    EXPECT_TRUE(conflicted.contains(U("序列号冲突"))) << conflicted.toStdString();
    EXPECT_TRUE(w.Model()->index(w.RowOf("SN2"), 0).data(Qt::AccessibleDescriptionRole).toString().isEmpty());
}

} // namespace
