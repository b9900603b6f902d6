#include "app/DeviceTable.h"

#include <QStandardItem>
#include <QStandardItemModel>

#include "app/UiTexts.h"
#include "device/ColumnTitles.h"

namespace DeviceTable {

namespace {

// The titles are in device/ColumnTitles.h, shared with the export and plan files.
struct ColumnInfo {
    int width;
    Qt::Alignment alignment;
};

constexpr Qt::Alignment kLeft = Qt::AlignLeft | Qt::AlignVCenter;
constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignVCenter;
constexpr Qt::Alignment kCentre = Qt::AlignCenter;

const ColumnInfo kColumns[ColumnCount] = {
    {320, kLeft},
    {150, kLeft},
    {70, kRight},
    {70, kCentre},
    {150, kLeft},
    {150, kLeft},
    {150, kLeft},
    {170, kCentre},
    {200, kLeft},
};

QString CellText(const DeviceRecord &record, int column)
{
    switch (column) {
    case ColSerialNo: return record.serialNo;
    case ColAddress: return record.address;
    case ColPort: return QString::number(record.port, 10);
    case ColDhcp: return DhcpText(record.dhcp);
    case ColSubnetMask: return record.subnetMask;
    case ColGateway: return record.gateway;
    case ColDns: return record.dns;
    case ColMac: return record.mac;
    case ColDescription: return record.description;
    default: return QString();
    }
}

} // namespace

QString HeaderText(int column)
{
    return DeviceColumnShownTitle(column);
}

int ColumnWidth(int column)
{
    return column >= 0 && column < ColumnCount ? kColumns[column].width : 0;
}

QString DhcpText(bool on)
{
    return on ? UiText::DhcpOn() : UiText::DhcpOff();
}

QString ShownDhcpText(const QString &stored)
{
    if (stored == UiText::DhcpOn())
        return UiText::DhcpOnShown();
    if (stored == UiText::DhcpOff())
        return UiText::DhcpOffShown();
    return stored;
}

QList<QStandardItem *> MakeRow(const DeviceRecord &record)
{
    QList<QStandardItem *> items;
    items.reserve(ColumnCount);
    for (int column = 0; column < ColumnCount; ++column) {
        auto *item = new Cell(CellText(record, column));
        if (column == ColSerialNo)
            item->setData(record.serialNo, kSerialNoRole);
        item->setTextAlignment(kColumns[column].alignment);
        items.append(item);
    }
    return items;
}

void UpdateRow(QStandardItemModel &model, int row, const DeviceRecord &record)
{
    for (int column = ColAddress; column < ColumnCount; ++column) {
        QStandardItem *item = model.item(row, column);
        const QString text = CellText(record, column);
        if (!item || item->text() == text)
            continue;
        item->setText(text);
    }
}

int FindRowByScan(const QStandardItemModel &model, const QString &serialNo)
{
    const int rows = model.rowCount();
    for (int row = 0; row < rows; ++row) {
        const QStandardItem *item = model.item(row, ColSerialNo);
        if (item && item->data(kSerialNoRole).toString() == serialNo)
            return row;
    }
    return -1;
}

} // namespace DeviceTable
