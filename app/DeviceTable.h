#pragma once
// The layout of the device table and the operations on its rows.
#include <QList>
#include <QStandardItem>
#include <QString>
#include <Qt>

#include "device/DeviceRecord.h"

class QStandardItemModel;

namespace DeviceTable {

// The item of every cell that MakeRow makes: a QStandardItem whose whole contents (all
// roles and flags) can be copied onto another item without notices, which is how a
// sort moves rows (DeviceModel::sort). The copy shares the contents' storage.
class Cell : public QStandardItem {
public:
    static constexpr int kType = QStandardItem::UserType + 1;
    using QStandardItem::QStandardItem;
    // A copy of any item's contents.
    explicit Cell(const QStandardItem &other) : QStandardItem(other) {}
    Cell(const Cell &other) : QStandardItem(other) {}
    Cell &operator=(const Cell &) = delete;
    // Takes other's contents in place of its own, every role and the flags.
    void Take(const QStandardItem &other) { QStandardItem::operator=(other); }
    int type() const override { return kType; }
    QStandardItem *clone() const override { return new Cell(*this); }
};

enum Column {
    ColSerialNo = 0,
    ColAddress,
    ColPort,
    ColDhcp,
    ColSubnetMask,
    ColGateway,
    ColDns,
    ColMac,
    ColDescription,
    ColumnCount
};

// The column-0 item keeps the serial number under this role as the row's key.
constexpr int kSerialNoRole = Qt::UserRole + 1;
// What a click on a column title sorts by: DeviceModel::sort, from the cells' texts.

// The column's title as the window shows it (translated); files use
// DeviceColumnTitle (device/ColumnTitles.h).
QString HeaderText(int column);
int ColumnWidth(int column);

// "启用" or "禁用": what the DHCP cell holds (its edit role) and files write, in every
// language. DeviceModel shows it translated (ShownDhcpText).
QString DhcpText(bool on);
// The DHCP cell's stored text as the window shows it.
QString ShownDhcpText(const QString &stored);

// The nine items of a new row, with their texts, alignments and the key.
QList<QStandardItem *> MakeRow(const DeviceRecord &record);

// Sets the texts of columns 1 to 8 of an existing row; the key, the alignments
// and column 0 stay as they are.
void UpdateRow(QStandardItemModel &model, int row, const DeviceRecord &record);

// The first row whose key equals serialNo (case-sensitive), found by looking at
// every row in turn; -1 when there is none. The reference for the indexed lookup.
int FindRowByScan(const QStandardItemModel &model, const QString &serialNo);

} // namespace DeviceTable
