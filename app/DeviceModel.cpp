#include "app/DeviceModel.h"

#include <QDateTime>
#include <QSignalBlocker>

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <vector>

#include "app/DeviceFilter.h"
#include "app/DeviceTable.h"
#include "app/QMyItemDelegate.h"
#include "app/UiTexts.h"
#include "device/Ipv4Text.h"

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

QVariant DeviceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical && role == Qt::DisplayRole && m_rowNumbers)
        return m_rowNumbers->RowNumber(section);
    return QStandardItemModel::headerData(section, orientation, role);
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
            lines << UiText::AddressConflictTip(conflicts.sameAddress.size() + conflicts.moreSameAddress)
                         .arg(NameSome(conflicts.sameAddress, conflicts.moreSameAddress));
        if (!conflicts.sameIdentity.isEmpty())
            lines << UiText::IdentityConflictTip().arg(NameSome(conflicts.sameIdentity));
    }
    const HeardDevice *device = m_devices.Latest(serialNo);
    if (device && AnnouncedElsewhere(*device))
        lines << UiText::SourceDiffersTip().arg(device->source.address, device->address);
    if (device && device->foreignSubnet)
        lines << UiText::ForeignSubnetTip().arg(device->interfaceName, device->localAddress);
    if (device && device->sent.notUtf8)
        lines << UiText::NotUtf8Tip().arg(NotUtf8Members(*device).join(QStringLiteral(", ")));
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

// What a cell sorts by, taken from the cell's text as it stands (never from anything
// stored beside it, which a cell could keep from the row that stood there before).
// Cells whose column has a value (addresses, port, DHCP state, MAC) and hold one come
// first, by that value; then cells with other text, by that text; then empty cells.
// Descending order is the exact reverse.
struct SortKey {
    enum Group { Value, Text, Empty };
    Group group = Empty;
    quint64 number = 0;
    QString text;
};

bool SortsBefore(const SortKey &a, const SortKey &b)
{
    if (a.group != b.group)
        return a.group < b.group;
    if (a.group == SortKey::Value)
        return a.number < b.number;
    return a.text.compare(b.text) < 0;
}

// The 48-bit value of a MAC address written as six pairs of hex digits apart by ':'
// or '-', or as twelve digits in a row.
std::optional<quint64> MacValue(const QString &text)
{
    quint64 value = 0;
    int digits = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const int digit = c.isDigit() ? c.unicode() - '0'
                          : (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ? c.unicode() - 'a' + 10
                          : (c >= QLatin1Char('A') && c <= QLatin1Char('F')) ? c.unicode() - 'A' + 10
                                                                             : -1;
        if (digit >= 0) {
            if (++digits > 12)
                return std::nullopt;
            value = value << 4 | static_cast<quint64>(digit);
        } else if ((c != QLatin1Char(':') && c != QLatin1Char('-')) || digits % 2 != 0 || digits == 0) {
            return std::nullopt;
        }
    }
    if (digits != 12)
        return std::nullopt;
    return value;
}

// The value of a cell of `column` by the column's meaning, if its text has one.
std::optional<quint64> CellValue(int column, const QString &text, const QString &dhcpOn, const QString &dhcpOff)
{
    switch (column) {
    case DeviceTable::ColAddress:
    case DeviceTable::ColSubnetMask:
    case DeviceTable::ColGateway:
    case DeviceTable::ColDns: {
        Ipv4 address = 0;
        if (ParseIpv4(text, address))
            return address;
        return std::nullopt;
    }
    case DeviceTable::ColPort: {
        bool ok = false;
        const uint port = text.toUInt(&ok, 10);
        if (ok)
            return port;
        return std::nullopt;
    }
    case DeviceTable::ColDhcp:
        // By state, whatever language shows it: off, then on.
        if (text == dhcpOff)
            return 0;
        if (text == dhcpOn)
            return 1;
        return std::nullopt;
    case DeviceTable::ColMac: return MacValue(text);
    default: return std::nullopt;
    }
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
        // The stored text: the DHCP cell holds "启用"/"禁用" in every language.
        const QString text = cell->text();
        if (text.isEmpty())
            continue;
        if (const std::optional<quint64> value = CellValue(column, text, m_dhcpOn, m_dhcpOff))
            keys[row] = {SortKey::Value, *value, QString()};
        else
            keys[row] = {SortKey::Text, 0, text};
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
    // Each cell's contents, copied without copying their storage (one small block per
    // cell: a sort of a full table copies 180,000 cells, and the heap's work for a
    // map of roles per cell made a sort after a sort markedly slower than the first).
    std::vector<DeviceTable::Cell> contents;
    std::vector<bool> present(static_cast<std::size_t>(rows) * columns, false);
    contents.reserve(static_cast<std::size_t>(rows) * columns);
    for (int row = 0; row < rows; ++row)
        for (int c = 0; c < columns; ++c) {
            const QStandardItem *cell = item(row, c);
            present[contents.size()] = cell != nullptr;
            if (cell)
                contents.emplace_back(*cell);
            else
                contents.emplace_back();
        }
    {
        // The views hear of it once, by layoutChanged below.
        const QSignalBlocker quiet(this);
        for (int row = 0; row < rows; ++row) {
            if (from[row] == row)
                continue;
            for (int c = 0; c < columns; ++c) {
                const std::size_t source = static_cast<std::size_t>(from[row]) * columns + c;
                QStandardItem *cell = item(row, c);
                if (cell && cell->type() == DeviceTable::Cell::kType && present[source]) {
                    // Every role and the flags: nothing of the row that stood here stays.
                    static_cast<DeviceTable::Cell *>(cell)->Take(contents[source]);
                } else if (cell || present[source]) {
                    // An item not made by MakeRow, or a cell without one: replaced.
                    setItem(row, c, present[source] ? new DeviceTable::Cell(contents[source]) : nullptr);
                }
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
