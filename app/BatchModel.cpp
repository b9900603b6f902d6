#include "app/BatchModel.h"

#include <QBrush>
#include <QColor>

#include "app/UiTexts.h"

BatchModel::BatchModel(QObject *parent) : QAbstractTableModel(parent) {}

int BatchModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int BatchModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString BatchModel::Title(int column)
{
    switch (column) {
    case ColSerialNo: return tr("设备序列号");
    case ColMac: return tr("物理地址");
    case ColAddress: return tr("当前地址");
    case ColMarks: return tr("标记");
    case ColNewAddress: return tr("新地址");
    case ColStatus: return tr("状态");
    default: return QString();
    }
}

QVariant BatchModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return Title(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags BatchModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.column() == ColSerialNo && !m_locked)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

QVariant BatchModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()))
        return QVariant();
    const BatchRow &row = m_rows[static_cast<size_t>(index.row())];
    if (role == Qt::CheckStateRole && index.column() == ColSerialNo)
        return row.checked ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case ColSerialNo: return row.device.serialNo;
        case ColMac: return row.device.mac;
        case ColAddress: return row.device.address;
        case ColMarks: {
            QStringList marks;
            if (row.foreignSubnet)
                marks << UiText::BatchForeignMark();
            if (!row.conflict.isEmpty())
                marks << UiText::BatchConflictMark();
            return marks.join(QLatin1Char(' '));
        }
        case ColNewAddress: return row.newAddress;
        case ColStatus: return row.status ? BatchStatusShownText(*row.status) : QString();
        default: return QVariant();
        }
    }
    // A screen reader reads the marks' words as the cell's description, as in the main table.
    if ((role == Qt::ToolTipRole || role == Qt::AccessibleDescriptionRole) && index.column() == ColMarks) {
        QStringList tips;
        if (row.foreignSubnet)
            tips << UiText::BatchForeignTip();
        if (!row.conflict.isEmpty())
            tips << row.conflict;
        return tips.isEmpty() ? QVariant() : QVariant(tips.join(QLatin1Char('\n')));
    }
    if (role == Qt::ForegroundRole && index.column() == ColStatus && row.status) {
        switch (*row.status) {
        case BatchStatus::Verified: return QBrush(QColor(0, 128, 0));
        case BatchStatus::Refused:
        case BatchStatus::NotConfirmed:
        case BatchStatus::NoAddress:
        case BatchStatus::Missing:
        case BatchStatus::NotSent:
        case BatchStatus::Ambiguous: return QBrush(QColor(192, 0, 0));
        default: break;
        }
    }
    if (role == Qt::ForegroundRole && index.column() == ColMarks && (row.foreignSubnet || !row.conflict.isEmpty()))
        return QBrush(QColor(192, 96, 0));
    return QVariant();
}

bool BatchModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (m_locked || role != Qt::CheckStateRole || index.column() != ColSerialNo || !index.isValid() ||
        index.row() >= static_cast<int>(m_rows.size()))
        return false;
    m_rows[static_cast<size_t>(index.row())].checked = value.toInt() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit checksChanged();
    return true;
}

void BatchModel::SetRows(std::vector<BatchRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void BatchModel::CheckWhere(const std::function<bool(const BatchRow &)> &which)
{
    if (m_locked || m_rows.empty())
        return;
    for (BatchRow &row : m_rows)
        row.checked = which(row);
    emit dataChanged(index(0, ColSerialNo), index(rowCount() - 1, ColSerialNo), {Qt::CheckStateRole});
    emit checksChanged();
}

std::vector<int> BatchModel::CheckedRows() const
{
    std::vector<int> rows;
    for (size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].checked)
            rows.push_back(static_cast<int>(i));
    return rows;
}

void BatchModel::SetPreview(const std::vector<QString> &newAddresses)
{
    for (size_t i = 0; i < m_rows.size() && i < newAddresses.size(); ++i)
        m_rows[i].newAddress = newAddresses[i];
    if (!m_rows.empty())
        emit dataChanged(index(0, ColNewAddress), index(rowCount() - 1, ColNewAddress), {Qt::DisplayRole});
}

void BatchModel::SetStatuses(const std::vector<std::optional<BatchStatus>> &statuses)
{
    for (size_t i = 0; i < m_rows.size() && i < statuses.size(); ++i)
        m_rows[i].status = statuses[i];
    if (!m_rows.empty())
        emit dataChanged(index(0, ColStatus), index(rowCount() - 1, ColStatus), {Qt::DisplayRole, Qt::ForegroundRole});
}
