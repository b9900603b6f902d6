// A click on a column title: addresses and ports sort by their value, texts as text;
// the displayed texts stay; the serial-number index, persistent indexes and later
// updates follow the rows; a refresh after a sort leaves nothing behind.
#include <gtest/gtest.h>

#include <QPersistentModelIndex>
#include <QStandardItem>

#include "app/DeviceModel.h"
#include "app/DeviceRowIndex.h"
#include "app/DeviceTable.h"
#include "QtPrinters.h"

namespace {

using namespace DeviceTable;

DeviceRecord Record(const QString &serial, const QString &address, int port, const QString &description = "d")
{
    DeviceRecord r;
    r.serialNo = serial;
    r.address = address;
    r.port = port;
    r.subnetMask = "255.255.255.0";
    r.gateway = address;
    r.dns = "10.0.0.1";
    r.mac = "02:00:00:00:00:01";
    r.description = description;
    return r;
}

class DeviceSortTest : public ::testing::Test {
protected:
    void Add(const DeviceRecord &r) { model.appendRow(MakeRow(r)); }
    QStringList Column(int column) const
    {
        QStringList texts;
        for (int row = 0; row < model.rowCount(); ++row)
            texts << model.item(row, column)->text();
        return texts;
    }

    DeviceModel model;
    DeviceRowIndex index{&model, ColSerialNo, kSerialNoRole};
};

TEST_F(DeviceSortTest, AddressesAndPortsSortByValueTextsAsText)
{
    Add(Record("B", "10.0.0.100", 10000, "beta"));
    Add(Record("A", "10.0.0.61", 8001, "Alpha"));
    Add(Record("C", "9.10.0.1", 80, "alpha"));
    Add(Record("D", "not an address", 8001, "2"));

    model.sort(ColAddress, Qt::AscendingOrder);
    EXPECT_EQ(Column(ColAddress), QStringList({"9.10.0.1", "10.0.0.61", "10.0.0.100", "not an address"}));
    EXPECT_EQ(Column(ColGateway), Column(ColAddress)) << "whole rows move";
    model.sort(ColAddress, Qt::DescendingOrder);
    EXPECT_EQ(Column(ColSerialNo), QStringList({"D", "B", "A", "C"}));

    model.sort(ColPort, Qt::AscendingOrder);
    EXPECT_EQ(Column(ColPort), QStringList({"80", "8001", "8001", "10000"}));
    EXPECT_EQ(Column(ColSerialNo), QStringList({"C", "D", "A", "B"})) << "stable: equal ports keep their order";

    model.sort(ColDescription, Qt::AscendingOrder);
    EXPECT_EQ(Column(ColDescription), QStringList({"2", "Alpha", "alpha", "beta"}));
}

// Every sort reads the cells as they are: a cell that once held an address and now
// holds none (after an earlier sort moved contents, or an update) sorts as text.
TEST_F(DeviceSortTest, SortAfterSortReadsTheCellsAsTheyAre)
{
    DeviceRecord odd = Record("A", "dhcp-pending", 8000);
    odd.gateway = "";
    odd.mac = "unknown";
    odd.dhcp = true;
    Add(odd);
    for (const char *serial : {"B", "C", "D"})
        Add(Record(serial, QString("10.77.0.%1").arg(serial[0] == 'C' ? 100 : 61 + serial[0] - 'B'), 8000));

    for (int column : {int(ColSerialNo), int(ColPort), int(ColDescription)})
        for (Qt::SortOrder order : {Qt::DescendingOrder, Qt::AscendingOrder}) {
            model.sort(column, order);
            model.sort(ColAddress, Qt::AscendingOrder);
            ASSERT_EQ(Column(ColAddress), QStringList({"10.77.0.61", "10.77.0.63", "10.77.0.100", "dhcp-pending"}))
                << "after column " << column;
            model.sort(ColGateway, Qt::DescendingOrder);
            ASSERT_EQ(Column(ColGateway), QStringList({"", "10.77.0.100", "10.77.0.63", "10.77.0.61"}))
                << "empty cells last, reversed when descending";
        }
    // UpdateRow after a sort: the address that went away no longer counts.
    UpdateRow(model, model.rowCount() - 1, Record("B", "zz", 8000));
    model.sort(ColAddress, Qt::AscendingOrder);
    EXPECT_EQ(Column(ColAddress), QStringList({"10.77.0.63", "10.77.0.100", "dhcp-pending", "zz"}));

    // DHCP by state (off before on), whatever the shown text; MAC addresses by value.
    model.sort(ColDhcp, Qt::AscendingOrder);
    EXPECT_EQ(model.item(model.rowCount() - 1, ColSerialNo)->text(), "A");
    model.item(index.FindRow("C"), ColMac)->setText("02:00:00:00:00:0A");
    model.item(index.FindRow("D"), ColMac)->setText("02-00-00-00-00-09");
    model.sort(ColMac, Qt::AscendingOrder);
    EXPECT_EQ(Column(ColMac), QStringList({"02:00:00:00:00:01", "02-00-00-00-00-09", "02:00:00:00:00:0A", "unknown"}));
}

TEST_F(DeviceSortTest, RowsFollowedThroughSortUpdateAndRefresh)
{
    for (int i = 0; i < 30; ++i)
        Add(Record(QString("SN%1").arg(i, 2, 10, QChar('0')), QString("10.0.%1.%2").arg(i % 3).arg(200 - i), 8000 + i));
    model.Devices().Note(Record("SN07", "10.0.1.193", 8007), {}, 0, 0);
    const QPersistentModelIndex current = model.index(7, ColMac); // what a view keeps: selection, current cell

    model.sort(ColAddress, Qt::DescendingOrder);
    for (int row = 0; row < model.rowCount(); ++row)
        ASSERT_EQ(index.FindRow(model.item(row, ColSerialNo)->text()), row);
    const int row = index.FindRow("SN07");
    EXPECT_NE(row, 7);
    EXPECT_EQ(current.row(), row);
    EXPECT_EQ(model.item(row, ColPort)->text(), "8007");

    // The next answer changes the row where it stands now, sort key included.
    UpdateRow(model, row, Record("SN07", "10.0.9.9", 10001));
    EXPECT_EQ(model.item(row, ColAddress)->text(), "10.0.9.9");
    model.sort(ColPort, Qt::DescendingOrder);
    EXPECT_EQ(model.item(0, ColSerialNo)->text(), "SN07") << "port 10001 above 8029";

    model.RemoveAllRows();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), static_cast<int>(ColumnCount)) << "the columns stay";
    EXPECT_EQ(index.KeyCount(), 0);
    EXPECT_EQ(model.Devices().Count(), 0);
    EXPECT_FALSE(current.isValid());
    Add(Record("SN07", "10.0.0.7", 8001));
    EXPECT_EQ(index.FindRow("SN07"), 0);
}

} // namespace
