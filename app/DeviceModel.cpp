#include "app/DeviceModel.h"

#include <QDateTime>
#include <QSignalBlocker>

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "app/DeviceTable.h"
#include "app/QMyItemDelegate.h"
#include "app/UiTexts.h"

DeviceModel::DeviceModel(QObject *parent, int maxDevices)
    : QStandardItemModel(parent),
      m_devices(maxDevices),
      m_dhcpOn(DeviceTable::DhcpText(true)),
      m_dhcpOff(DeviceTable::DhcpText(false)),
      m_dhcpOnShown(DeviceTable::ShownDhcpText(m_dhcpOn)),
      m_dhcpOffShown(DeviceTable::ShownDhcpText(m_dhcpOff))
{
    // A row that goes (refresh, reboot) takes its devices with it.
    connect(this, &QAbstractItemModel::rowsAboutToBeRemoved, this, &DeviceModel::ForgetRows);
    connect(this, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        m_devices.Clear();
        m_notes.clear();
    });
}

QString NameSome(QStringList names, int more)
{
    if (names.size() > kMaxNamedInTip) {
        more += names.size() - kMaxNamedInTip;
        names = names.mid(0, kMaxNamedInTip);
    }
    // Device text: a line feed in a name must not make a line of its own.
    for (QString &name : names)
        name = VisibleCellText(name);
    if (more > 0)
        names << UiText::AndMore().arg(more);
    return names.join(QStringLiteral(", "));
}

QVariant DeviceModel::data(const QModelIndex &index, int role) const
{
    if (role == Qt::DisplayRole && index.column() == DeviceTable::ColDhcp) {
        const QVariant stored = QStandardItemModel::data(index, role);
        const QString text = stored.toString();
        if (text == m_dhcpOn)
            return m_dhcpOnShown;
        if (text == m_dhcpOff)
            return m_dhcpOffShown;
        return stored;
    }
    const bool decoration = role == Qt::DecorationRole && index.column() == DeviceTable::ColSerialNo;
    // A screen reader reads a cell's accessible description: the tooltip's words
    // (conflicts, foreign subnet, last answer) stand in for the icon and the colour.
    const bool tip = role == Qt::ToolTipRole || role == Qt::AccessibleDescriptionRole;
    if ((role != Qt::ForegroundRole && !tip && !decoration) || !index.isValid() || index.parent().isValid())
        return QStandardItemModel::data(index, role);
    const QString serialNo =
        QStandardItemModel::data(this->index(index.row(), DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole)
            .toString();
    if (decoration) {
        if (m_devices.SerialHasConflict(serialNo))
            return m_conflictIcon;
        const HeardDevice *device = m_devices.Latest(serialNo);
        if (device && (device->foreignSubnet || device->routed))
            return m_foreignIcon;
        return QStandardItemModel::data(index, role);
    }
    int64_t lastAnswer = 0;
    const bool silent = m_devices.SerialSilent(serialNo, &lastAnswer);
    if (role == Qt::ForegroundRole)
        return silent ? QVariant(m_silentBrush) : QStandardItemModel::data(index, role);
    const QString text = ToolTip(serialNo, silent, lastAnswer);
    return text.isEmpty() ? QStandardItemModel::data(index, role) : QVariant(text);
}

QString DeviceModel::ToolTip(const QString &serialNo, bool silent, int64_t lastAnswer) const
{
    QStringList lines;
    if (m_devices.SerialHasConflict(serialNo)) {
        // Named at the tooltip's bound before anything is copied: hovering costs the
        // same however many devices share the serial number or the address.
        const DeviceConflicts conflicts = m_devices.SerialConflicts(serialNo, kMaxNamedInTip);
        if (!conflicts.sameSerial.isEmpty())
            lines << UiText::SerialConflictTip()
                         .arg(conflicts.sameSerial.size() + conflicts.moreSameSerial)
                         .arg(NameSome(conflicts.sameSerial, conflicts.moreSameSerial));
        if (!conflicts.sameAddress.isEmpty())
            lines << UiText::AddressConflictTip().arg(NameSome(conflicts.sameAddress, conflicts.moreSameAddress));
        if (!conflicts.sameIdentity.isEmpty())
            lines << UiText::IdentityConflictTip().arg(NameSome(conflicts.sameIdentity));
    }
    const HeardDevice *device = m_devices.Latest(serialNo);
    if (device && AnnouncedElsewhere(*device))
        lines << UiText::SourceDiffersTip().arg(device->source.address, device->address);
    if (device && device->foreignSubnet)
        lines << UiText::ForeignSubnetTip().arg(device->interfaceName, device->localAddress);
    if (device && device->routed)
        lines << UiText::RoutedTip().arg(device->localAddress);
    const auto note = m_notes.constFind(serialNo);
    if (note != m_notes.constEnd())
        lines << *note;
    if (silent)
        lines << UiText::LastAnswerTip().arg(
            QDateTime::fromSecsSinceEpoch(lastAnswer).toString(QStringLiteral("HH:mm:ss")));
    return lines.join(QLatin1Char('\n'));
}

void DeviceModel::SetRowNote(const QString &serialNo, const QString &note)
{
    if (note.isEmpty())
        m_notes.remove(serialNo);
    else
        m_notes.insert(serialNo, note);
}

int DeviceModel::CheckSilence(uint32_t tick)
{
    const int muted = m_devices.MarkSilent(tick);
    if (muted > 0 && rowCount() > 0)
        LookChanged(0, rowCount() - 1);
    return muted;
}

void DeviceModel::RowMarkChanged(int row)
{
    const QModelIndex serial = index(row, DeviceTable::ColSerialNo);
    emit dataChanged(serial, serial, {Qt::DecorationRole});
}

void DeviceModel::LookChanged(int firstRow, int lastRow)
{
    emit dataChanged(index(firstRow, 0), index(lastRow, columnCount() - 1), {Qt::ForegroundRole, Qt::ToolTipRole, Qt::AccessibleDescriptionRole});
}

void DeviceModel::ForgetRows(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid())
        return;
    for (int row = first; row <= last; ++row) {
        const QString serialNo =
            QStandardItemModel::data(index(row, DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole).toString();
        m_devices.ForgetSerial(serialNo);
        m_notes.remove(serialNo);
    }
}

namespace {

// What a cell sorts by.
struct SortKey {
    bool numeric = false;
    qulonglong number = 0;
    QString text;
};

bool SortsBefore(const SortKey &a, const SortKey &b)
{
    if (a.numeric != b.numeric)
        return a.numeric;
    if (a.numeric)
        return a.number < b.number;
    return a.text.compare(b.text) < 0;
}

} // namespace

void DeviceModel::sort(int column, Qt::SortOrder order)
{
    const int rows = rowCount();
    const int columns = columnCount();
    if (column < 0 || column >= columns || rows < 2)
        return;
    std::vector<SortKey> keys(rows);
    for (int row = 0; row < rows; ++row) {
        const QStandardItem *cell = item(row, column);
        if (!cell)
            continue;
        const QVariant number = cell->data(DeviceTable::kSortRole);
        if (number.isValid())
            keys[row] = {true, number.toULongLong(), QString()};
        else
            keys[row].text = cell->text();
    }
    // from[r]: the row whose contents go to row r.
    std::vector<int> from(rows);
    std::iota(from.begin(), from.end(), 0);
    std::stable_sort(from.begin(), from.end(), [&](int a, int b) {
        return order == Qt::AscendingOrder ? SortsBefore(keys[a], keys[b]) : SortsBefore(keys[b], keys[a]);
    });
    bool moves = false;
    for (int row = 0; row < rows && !moves; ++row)
        moves = from[row] != row;
    if (!moves)
        return;

    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    struct Contents {
        QMap<int, QVariant> data;
        Qt::ItemFlags flags;
    };
    std::vector<Contents> contents(static_cast<std::size_t>(rows) * columns);
    for (int row = 0; row < rows; ++row)
        for (int c = 0; c < columns; ++c)
            if (const QStandardItem *cell = item(row, c))
                contents[static_cast<std::size_t>(row) * columns + c] = {itemData(index(row, c)), cell->flags()};
    {
        // The views hear of it once, by layoutChanged below.
        const QSignalBlocker quiet(this);
        for (int row = 0; row < rows; ++row) {
            if (from[row] == row)
                continue;
            for (int c = 0; c < columns; ++c) {
                QStandardItem *cell = item(row, c);
                if (!cell)
                    continue;
                const Contents &moved = contents[static_cast<std::size_t>(from[row]) * columns + c];
                setItemData(index(row, c), moved.data); // replaces every role
                if (cell->flags() != moved.flags)
                    cell->setFlags(moved.flags);
            }
        }
    }
    std::vector<int> to(rows);
    for (int row = 0; row < rows; ++row)
        to[from[row]] = row;
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex &old : before)
        after.append(old.isValid() && !old.parent().isValid() && old.row() < rows ? index(to[old.row()], old.column())
                                                                                   : old);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void DeviceModel::RemoveAllRows()
{
    if (rowCount() == 0)
        return;
    // A full table is some 180,000 items and 20,000 devices, about half a million
    // blocks of memory: they are taken out here and freed on the disposal worker.
    struct Removed {
        std::vector<std::unique_ptr<QStandardItem>> items;
        DeviceList devices;
    } removed{{}, m_devices.TakeAll()};
    beginResetModel();
    {
        // Inside the reset nobody needs the cell-by-cell and row-by-row notices.
        const QSignalBlocker quiet(this);
        const int rows = rowCount();
        const int columns = columnCount();
        removed.items.reserve(static_cast<std::size_t>(rows) * columns);
        for (int row = 0; row < rows; ++row)
            for (int column = 0; column < columns; ++column)
                if (QStandardItem *cell = takeItem(row, column))
                    removed.items.emplace_back(cell);
        removeRows(0, rows); // empty rows now: nothing left to free
    }
    endResetModel();
    m_disposal.Dispose(std::move(removed));
}
