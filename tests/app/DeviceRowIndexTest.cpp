// The serial-number index against the plain scan from row 0, through every kind of
// change the table sees: appends, sorting, single-row removal, refresh, keys set or
// replaced in place, and rows that share a key.
#include <gtest/gtest.h>

#include <QStandardItem>
#include <QStandardItemModel>

#include <random>

#include "app/DeviceRowIndex.h"
#include "app/DeviceTable.h"
#include "QtPrinters.h"

namespace {

using DeviceTable::FindRowByScan;
using DeviceTable::kSerialNoRole;

QList<QStandardItem *> Row(const QString &key, const QString &address)
{
    auto *first = new QStandardItem(key);
    first->setData(key, kSerialNoRole);
    return {first, new QStandardItem(address)};
}

class DeviceRowIndexTest : public ::testing::Test {
protected:
    void ExpectAgreesWithScan(const QStringList &keys)
    {
        for (const QString &key : keys)
            ASSERT_EQ(index.FindRow(key), FindRowByScan(model, key)) << key.toStdString();
    }

    QStandardItemModel model;
    DeviceRowIndex index{&model, DeviceTable::ColSerialNo, kSerialNoRole};
};

TEST_F(DeviceRowIndexTest, FindsRowsThroughSortingAndRemoval)
{
    QStringList keys;
    for (int i = 0; i < 50; ++i) {
        keys << QString("SN%1").arg(i, 3, 10, QChar('0'));
        model.appendRow(Row(keys.last(), QString("10.0.%1.%2").arg(i % 7).arg(99 - i)));
    }
    keys << "sn001" << "missing" << "";
    ExpectAgreesWithScan(keys);
    EXPECT_EQ(index.FindRow("SN001"), 1);
    EXPECT_EQ(index.FindRow("sn001"), -1);

    model.sort(1, Qt::DescendingOrder);
    ExpectAgreesWithScan(keys);
    EXPECT_NE(index.FindRow("SN001"), 1);

    model.removeRow(index.FindRow("SN010"));
    model.removeRows(3, 5);
    ExpectAgreesWithScan(keys);
    EXPECT_EQ(index.FindRow("SN010"), -1);

    model.appendRow(Row("SN010", "1.1.1.1"));
    EXPECT_EQ(index.FindRow("SN010"), model.rowCount() - 1);
    ExpectAgreesWithScan(keys);

    model.removeRows(0, model.rowCount());
    EXPECT_EQ(index.KeyCount(), 0);
    ExpectAgreesWithScan(keys);
    model.appendRow(Row("SN000", "x"));
    EXPECT_EQ(index.FindRow("SN000"), 0);
}

TEST_F(DeviceRowIndexTest, FollowsKeysChangedOrReplacedInPlace)
{
    for (const char *key : {"A", "B", "C"})
        model.appendRow(Row(key, "x"));
    model.item(1, 0)->setData("B2", kSerialNoRole);
    QList<QStandardItem *> replacement = Row("C2", "y");
    model.setItem(2, 0, replacement.takeFirst());
    qDeleteAll(replacement);
    delete model.takeItem(0, 0);
    ExpectAgreesWithScan({"A", "B", "B2", "C", "C2"});
    EXPECT_EQ(index.FindRow("B2"), 1);
    EXPECT_EQ(index.FindRow("C2"), 2);
    EXPECT_EQ(index.FindRow("A"), -1);
}

TEST_F(DeviceRowIndexTest, SharedKeysAnswerTheTopmostRow)
{
    model.appendRow(Row("K", "late"));
    model.insertRow(0, Row("K", "early"));
    model.appendRow(Row("K", "last"));
    EXPECT_EQ(index.FindRow("K"), 0);
    model.sort(1, Qt::DescendingOrder); // late, last, early
    EXPECT_EQ(index.FindRow("K"), 0);
    EXPECT_EQ(model.item(0, 1)->text(), "late");
    model.removeRow(0);
    ASSERT_EQ(index.FindRow("K"), 0);
    EXPECT_EQ(model.item(0, 1)->text(), "last");
}

TEST_F(DeviceRowIndexTest, RandomEditsKeepAgreeingWithTheScan)
{
    std::mt19937 random(7);
    QStringList keys;
    for (int i = 0; i < 40; ++i)
        keys << QString("D%1").arg(i) << QString("d%1").arg(i);
    for (int step = 0; step < 3000; ++step) {
        const int rows = model.rowCount();
        const QString key = keys[random() % keys.size()];
        switch (random() % 10) {
        case 0:
        case 1:
        case 2:
            model.appendRow(Row(key, QString::number(random() % 1000)));
            break;
        case 3:
            model.insertRow(rows ? int(random() % rows) : 0, Row(key, "inserted"));
            break;
        case 4:
            if (rows)
                model.removeRow(random() % rows);
            break;
        case 5:
            model.sort(random() % 2, random() % 2 ? Qt::AscendingOrder : Qt::DescendingOrder);
            break;
        case 6:
            if (rows)
                model.item(random() % rows, 0)->setData(key, kSerialNoRole);
            break;
        case 7:
            if (random() % 20 == 0)
                model.removeRows(0, rows);
            break;
        default:
            break;
        }
        ASSERT_EQ(index.FindRow(key), FindRowByScan(model, key)) << "step " << step;
    }
    ExpectAgreesWithScan(keys);
}

} // namespace
