// The remembered layout: a round trip through the settings file, and what is not
// taken from it (a geometry off every screen, a damaged file).
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "app/BatchWindow.h"
#include "app/DeviceTable.h"
#include "app/WindowLayout.h"

namespace {

const QList<QRect> kScreen{QRect(0, 0, 1920, 1080)};

TEST_F(WindowTest, LayoutSurvivesARestartThroughTheSettingsFile)
{
    WindowLayout saved;
    saved.geometry = QRect(40, 50, 900, 500);
    saved.columnWidths = {100, 110, 60, 50, 120, 121, 122, 130, 200};
    saved.sortColumn = DeviceTable::ColAddress;
    saved.sortOrder = Qt::DescendingOrder;
    saved.batchGeometry = QRect(60, 70, 800, 400);
    saved.hasBatchFields = true;
    saved.batchFields = {"10.77.0.50", "255.255.255.0", "10.77.0.1", "10.77.0.1"};

    QTemporaryDir dir;
    const QString path = dir.filePath("layout.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        ASSERT_TRUE(WriteWindowLayout(settings, saved));
    }
    QSettings settings(path, QSettings::IniFormat);
    QString problem;
    const WindowLayout read = ReadWindowLayout(settings, DeviceTable::ColumnCount, problem);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();

    TestWindow &w = Window();
    w.ApplyLayout(read, kScreen);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QHeaderView *header = w.Table()->horizontalHeader();
    EXPECT_EQ(header->sortIndicatorSection(), DeviceTable::ColAddress);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    for (int column = 0; column < DeviceTable::ColDescription; ++column)
        EXPECT_EQ(header->sectionSize(column), saved.columnWidths[column]) << column;
    // Opened for the first time, the batch window takes its remembered place and fields.
    QTest::keyClick(&w, Qt::Key_B, Qt::ControlModifier);
    auto *batch = w.findChild<BatchWindow *>();
    ASSERT_NE(batch, nullptr);
    EXPECT_EQ(batch->findChild<QLineEdit *>("edt_start")->text(), "10.77.0.50");
    batch->findChild<QLineEdit *>("edt_dns")->setText("10.77.0.53");
    batch->close();

    const WindowLayout now = w.Layout();
    EXPECT_EQ(now.geometry, saved.geometry);
    EXPECT_EQ(now.columnWidths.mid(0, DeviceTable::ColDescription), saved.columnWidths.mid(0, DeviceTable::ColDescription));
    EXPECT_EQ(now.sortColumn, saved.sortColumn);
    EXPECT_EQ(now.sortOrder, saved.sortOrder);
    EXPECT_EQ(now.batchGeometry, saved.batchGeometry);
    EXPECT_EQ(now.batchFields.dns, "10.77.0.53");
    EXPECT_EQ(now.batchFields.gateway, "10.77.0.1");
}

TEST_F(WindowTest, GeometryOffEveryScreenIsLeftOut)
{
    TestWindow &w = Window();
    const QRect before = w.geometry();
    WindowLayout layout;
    layout.geometry = QRect(2500, 100, 900, 500); // a second screen no longer there
    layout.batchGeometry = QRect(-900, 0, 800, 400);
    w.ApplyLayout(layout, kScreen);
    EXPECT_EQ(w.geometry(), before);
    EXPECT_FALSE(w.Layout().batchGeometry.isValid());
    EXPECT_TRUE(FitsScreens(QRect(1920, 0, 800, 600), {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)}));
    EXPECT_FALSE(FitsScreens(QRect(1800, 0, 800, 600), {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)}));
}

// A window restored on a small screen, or on a 1920 x 1080 screen at a scale factor of
// 2 (960 x 540 for the window), fits it; remembered widths are brought within bounds.
TEST_F(WindowTest, GeometryAndWidthsAreBroughtOntoTheScreen)
{
    const QRect small(0, 0, 1024, 768), scaled(0, 0, 960, 540);
    EXPECT_EQ(ClampToScreens(QRect(10, 10, 1, 1), {small}), QRect(10, 10, kMinWindowWidth, kMinWindowHeight));
    EXPECT_EQ(ClampToScreens(QRect(100, 50, 1600, 900), {scaled}), QRect(48, 48, 912, 492));
    EXPECT_EQ(ClampToScreens(QRect(40, 50, 900, 400), {scaled}), QRect(40, 50, 900, 400)) << "fits: kept";
    EXPECT_FALSE(ClampToScreens(QRect(2500, 100, 900, 500), {small}).isValid());
    EXPECT_EQ(FitWindowSize(QSize(1500, 566), scaled), QSize(912, 492));

    TestWindow &w = Window();
    WindowLayout layout;
    layout.geometry = QRect(5, 5, 1, 1);
    layout.batchGeometry = QRect(0, 0, 1900, 1000);
    w.ApplyLayout(layout, {small});
    EXPECT_EQ(w.geometry(), QRect(5, 5, kMinWindowWidth, kMinWindowHeight));
    EXPECT_EQ(w.Layout().batchGeometry, QRect(0, 0, 976, 720));

    QTemporaryDir dir;
    const QString path = dir.filePath("layout.ini");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("version=1\n[table]\ncolumnWidths=9999,1,70,70,150,150,150,170,200\n");
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    QString problem;
    const WindowLayout read = ReadWindowLayout(settings, DeviceTable::ColumnCount, problem);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    ASSERT_EQ(read.columnWidths.size(), int(DeviceTable::ColumnCount));
    EXPECT_EQ(read.columnWidths[0], kMaxShownColumnWidth);
    EXPECT_EQ(read.columnWidths[1], kMinShownColumnWidth);
}

// Before the operator clicks a column title the rows stay in arrival order, the
// header shows no sort and none is remembered; a click sorts and is remembered.
TEST_F(WindowTest, NoSortUntilTheOperatorChoosesOne)
{
    TestWindow &w = Window();
    w.Answer(DeviceAnswer("SN2", "10.77.0.9"));
    w.Answer(DeviceAnswer("SN1", "10.77.0.3"));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QHeaderView *header = w.Table()->horizontalHeader();
    EXPECT_EQ(header->sortIndicatorSection(), -1);
    EXPECT_EQ(w.Cell(0, DeviceTable::ColSerialNo), "SN2");
    EXPECT_EQ(w.Layout().sortColumn, -1);

    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(DeviceTable::ColAddress) + 5, 5));
    EXPECT_EQ(w.Cell(0, DeviceTable::ColSerialNo), "SN1");
    EXPECT_EQ(w.Layout().sortColumn, DeviceTable::ColAddress);
    EXPECT_EQ(w.Layout().sortOrder, Qt::AscendingOrder);
}

TEST(WindowLayoutTest, DamagedFileGivesTheDefaultsAndSaysWhy)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("layout.ini");
    const char *damaged[] = {
        "[table]\ncolumnWidths=100, 200\n",                   // too few columns
        "[table]\ncolumnWidths=1,2,3,4,5,6,7,x,9\n",          // not a number
        "[table]\ncolumnWidths=1,2,3,4,5,6,7,99999999,9\n",   // out of bounds
        "[table]\nsortColumn=9\n",
        "[window]\ngeometry=@Rect(0 0 -5 -5)\n",
        "version=7\n",
    };
    for (const char *text : damaged) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray("version=1\n") + text);
        file.close();
        QSettings settings(path, QSettings::IniFormat);
        QString problem;
        const WindowLayout layout = ReadWindowLayout(settings, DeviceTable::ColumnCount, problem);
        EXPECT_FALSE(problem.isEmpty()) << text;
        EXPECT_TRUE(layout.columnWidths.isEmpty() && layout.sortColumn == -1 && !layout.geometry.isValid()) << text;
    }
    // Bytes that are no settings file at all: said, and written over without a false
    // report of a failed write.
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QByteArray noise;
        uint32_t state = 12345;
        for (int i = 0; i < 4096; ++i)
            noise.append(char((state = state * 1103515245u + 12345u) >> 24));
        file.write(noise);
        file.close();
        QSettings settings(path, QSettings::IniFormat);
        QString problem;
        const WindowLayout layout = ReadWindowLayout(settings, DeviceTable::ColumnCount, problem);
        EXPECT_FALSE(problem.isEmpty());
        EXPECT_TRUE(layout.columnWidths.isEmpty() && layout.sortColumn == -1);
        WindowLayout saved;
        saved.sortColumn = DeviceTable::ColPort;
        EXPECT_TRUE(WriteWindowLayout(settings, saved));
        QSettings again(path, QSettings::IniFormat);
        EXPECT_EQ(ReadWindowLayout(again, DeviceTable::ColumnCount, problem).sortColumn, int(DeviceTable::ColPort));
        EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    }
    // Nothing saved yet: the defaults, and nothing to say.
    QSettings none(dir.filePath("none.ini"), QSettings::IniFormat);
    QString problem;
    EXPECT_EQ(ReadWindowLayout(none, DeviceTable::ColumnCount, problem).sortColumn, -1);
    EXPECT_TRUE(problem.isEmpty());
}

} // namespace
