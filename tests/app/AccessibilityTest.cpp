// What a screen reader gets, read in-process through Qt's accessibility interfaces
// (what the AT-SPI bridge hands on): every control that shows something has a name,
// the device count's number is its value, and the batch window's marks have their
// words as description.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>

#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "app/BatchModel.h"
#include "app/BatchWindow.h"
#include "app/DeviceTable.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

QAccessibleInterface *Of(QObject *object)
{
    return QAccessible::queryAccessibleInterface(object);
}

// The controls under `root` that show something and have no name (tables' cells and
// scroll bars aside: the table is checked on its own).
QStringList Unnamed(QAccessibleInterface *root)
{
    QStringList unnamed;
    for (int i = 0; i < root->childCount(); ++i) {
        QAccessibleInterface *child = root->child(i);
        if (!child || child->state().invisible)
            continue;
        const QAccessible::Role role = child->role();
        switch (role) {
        case QAccessible::StaticText:
        case QAccessible::PushButton:
        case QAccessible::EditableText:
        case QAccessible::CheckBox:
        case QAccessible::ProgressBar:
        case QAccessible::Table:
            if (child->text(QAccessible::Name).isEmpty())
                unnamed << (child->object() ? child->object()->objectName() : QString()) + QStringLiteral(" role ") +
                               QString::number(role);
            break;
        default: break;
        }
        if (role != QAccessible::Table && role != QAccessible::ScrollBar)
            unnamed << Unnamed(child);
    }
    return unnamed;
}

TEST_F(WindowTest, ScreenReaderHearsTheCountAndEveryControl)
{
    TestWindow &w = Window();
    w.Answer(DeviceAnswer("SN1", "10.77.0.2"));
    w.Answer(DeviceAnswer("SN2", "10.77.0.2")); // the same address: a conflict
    w.Answer(DeviceAnswer("SN3", "10.77.0.4"));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(Unnamed(Of(&w)), QStringList());

    QAccessibleInterface *count = Of(w.findChild<QLabel *>("lab_brenuNum"));
    EXPECT_EQ(count->text(QAccessible::Name), U("设备总数"));
    EXPECT_EQ(count->text(QAccessible::Value), "3");
    ASSERT_NE(count->valueInterface(), nullptr);
    EXPECT_EQ(count->valueInterface()->currentValue().toInt(), 3);
    EXPECT_TRUE(count->text(QAccessible::Description).contains('3')) << count->text(QAccessible::Description).toStdString();

    QAccessibleTableInterface *rows = Of(w.Table())->tableInterface();
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(rows->rowCount(), 3);
    EXPECT_EQ(rows->columnCount(), int(DeviceTable::ColumnCount));
    auto *filter = w.findChild<QLineEdit *>("edt_filter");
    filter->setText("SN2");
    // The table reports the rows shown, not the rows the model holds.
    ASSERT_EQ(rows->rowCount(), 1);
    QAccessibleInterface *cell = rows->cellAt(0, DeviceTable::ColSerialNo);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->text(QAccessible::Name), "SN2") << "the second row of the model";
    EXPECT_FALSE(cell->text(QAccessible::Description).isEmpty()) << "its conflict, as the tooltip says";
    ASSERT_NE(cell->tableCellInterface(), nullptr);
    EXPECT_EQ(cell->tableCellInterface()->rowIndex(), 0);
    EXPECT_EQ(rows->cellAt(1, 0), nullptr);
    EXPECT_EQ(count->text(QAccessible::Value), "1 / 3");
    EXPECT_EQ(count->text(QAccessible::Name), U("设备总数"));
    EXPECT_EQ(Of(filter)->text(QAccessible::Name), U("筛选设备"));
    EXPECT_EQ(Unnamed(Of(filter)), QStringList()) << "the clear button";
    EXPECT_EQ(Of(w.findChild<QLabel *>("label_2"))->role(), QAccessible::Separator);
    // The vertical header counts the rows shown.
    EXPECT_EQ(w.Model()->headerData(w.RowOf("SN2"), Qt::Vertical).toInt(), 1);
    filter->clear();

    QTest::keyClick(&w, Qt::Key_B, Qt::ControlModifier);
    auto *batch = w.findChild<BatchWindow *>();
    ASSERT_NE(batch, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(batch));
    EXPECT_EQ(Unnamed(Of(batch)), QStringList());
    EXPECT_FALSE(Of(batch->findChild<QProgressBar *>())->text(QAccessible::Name).isEmpty());
    QAccessibleTableInterface *table = Of(batch->findChild<QTableView *>("tabView_batch"))->tableInterface();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 3);
    int described = 0;
    for (int row = 0; row < 3; ++row) {
        QAccessibleInterface *marks = table->cellAt(row, BatchModel::ColMarks);
        ASSERT_NE(marks, nullptr);
        const bool marked = !marks->text(QAccessible::Name).isEmpty();
        EXPECT_EQ(!marks->text(QAccessible::Description).isEmpty(), marked) << row;
        described += marked ? 1 : 0;
    }
    EXPECT_EQ(described, 2) << "SN1 and SN2 share an address";
    batch->close();
}

} // namespace
