#include "app/DeviceRowIndex.h"

#include <QStandardItemModel>

DeviceRowIndex::DeviceRowIndex(QStandardItemModel *model, int column, int role, QObject *parent)
    : QObject(parent), m_model(model), m_column(column), m_role(role)
{
    connect(model, &QAbstractItemModel::rowsInserted, this, &DeviceRowIndex::RowsInserted);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &DeviceRowIndex::RowsRemoved);
    connect(model, &QAbstractItemModel::dataChanged, this, &DeviceRowIndex::KeysChanged);
    // A reset drops the rows at once; the keys go with them before the items do.
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        m_keys.clear();
        m_rowsOfKey.clear();
    });
    connect(model, &QAbstractItemModel::modelReset, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::layoutChanged, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::rowsMoved, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::columnsInserted, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::columnsRemoved, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::columnsMoved, this, &DeviceRowIndex::Rebuild);
    Rebuild();
}

int DeviceRowIndex::FindRow(const QString &key) const
{
    auto found = m_rowsOfKey.constFind(key);
    if (found == m_rowsOfKey.constEnd())
        return -1;
    const RowKey now = KeyOfRow(found->first);
    if (now.hasItem && now.key == key)
        return found->first;
    // An item taken out of the key column tells no one (QStandardItem::takeChild):
    // the rows are read again, once.
    Rebuild();
    found = m_rowsOfKey.constFind(key);
    return found == m_rowsOfKey.constEnd() ? -1 : found->first;
}

DeviceRowIndex::RowKey DeviceRowIndex::KeyOfRow(int row) const
{
    const QStandardItem *item = m_model->item(row, m_column);
    return item ? RowKey{item->data(m_role).toString(), true} : RowKey{};
}

void DeviceRowIndex::Note(int row) const
{
    const RowKey &entry = m_keys.at(row);
    if (!entry.hasItem)
        return;
    auto found = m_rowsOfKey.find(entry.key);
    if (found == m_rowsOfKey.end()) {
        m_rowsOfKey.insert(entry.key, Rows{row, 1});
        return;
    }
    ++found->count;
    if (row < found->first)
        found->first = row;
}

void DeviceRowIndex::Forget(int row)
{
    const RowKey &entry = m_keys.at(row);
    if (!entry.hasItem)
        return;
    auto found = m_rowsOfKey.find(entry.key);
    if (found == m_rowsOfKey.end())
        return;
    if (--found->count == 0) {
        m_rowsOfKey.erase(found);
        return;
    }
    if (found->first != row)
        return;
    // Another row carries the key too (rare: one row per serial number): the next
    // one below is the topmost now.
    for (int below = row + 1; below < m_keys.size(); ++below) {
        if (m_keys.at(below).hasItem && m_keys.at(below).key == entry.key) {
            found->first = below;
            return;
        }
    }
}

void DeviceRowIndex::Rebuild() const
{
    m_keys.clear();
    m_rowsOfKey.clear();
    const int rows = m_model->columnCount() > m_column ? m_model->rowCount() : 0;
    m_keys.reserve(rows);
    for (int row = 0; row < rows; ++row) {
        m_keys.append(KeyOfRow(row));
        Note(row);
    }
}

void DeviceRowIndex::RowsInserted(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid())
        return;
    if (first != m_keys.size() || m_model->columnCount() <= m_column) {
        Rebuild(); // rows below renumbered
        return;
    }
    for (int row = first; row <= last; ++row) {
        m_keys.append(KeyOfRow(row));
        Note(row);
    }
}

void DeviceRowIndex::RowsRemoved(const QModelIndex &parent, int, int)
{
    if (!parent.isValid())
        Rebuild(); // rows below renumbered
}

void DeviceRowIndex::KeysChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                                 const QVector<int> &roles)
{
    if (topLeft.parent().isValid() || topLeft.column() > m_column || bottomRight.column() < m_column)
        return;
    if (!roles.isEmpty() && !roles.contains(m_role))
        return;
    for (int row = topLeft.row(); row <= bottomRight.row() && row < m_keys.size(); ++row) {
        RowKey now = KeyOfRow(row);
        if (now.hasItem == m_keys.at(row).hasItem && now.key == m_keys.at(row).key)
            continue;
        Forget(row);
        m_keys[row] = std::move(now);
        Note(row);
    }
}
