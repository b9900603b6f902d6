#include "app/DeviceRowIndex.h"

#include <QStandardItemModel>

#include <algorithm>

DeviceRowIndex::DeviceRowIndex(QStandardItemModel *model, int column, int role, QObject *parent)
    : QObject(parent), m_model(model), m_column(column), m_role(role)
{
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &parent, int first, int last) {
                if (!parent.isValid())
                    AddRows(first, last);
            });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, &DeviceRowIndex::NoteRemovedRows);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &DeviceRowIndex::DropRemovedRows);
    connect(model, &QAbstractItemModel::dataChanged, this, &DeviceRowIndex::KeysChanged);
    // Sorting keeps the persistent indexes right by itself, but a layout change also
    // reports items replaced in place, so the index is made again from the rows.
    connect(model, &QAbstractItemModel::layoutChanged, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::modelReset, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::rowsMoved, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::columnsInserted, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::columnsRemoved, this, &DeviceRowIndex::Rebuild);
    connect(model, &QAbstractItemModel::columnsMoved, this, &DeviceRowIndex::Rebuild);
    Rebuild();
}

int DeviceRowIndex::FindRow(const QString &key) const
{
    auto found = m_rows.find(key);
    if (found == m_rows.end())
        return -1;
    QVector<QPersistentModelIndex> &entries = found.value();
    int best = -1;
    for (int i = 0; i < entries.size();) {
        const QPersistentModelIndex &entry = entries.at(i);
        if (!entry.isValid() || entry.data(m_role).toString() != key) {
            entries.remove(i);
            continue;
        }
        if (best < 0 || entry.row() < best)
            best = entry.row();
        ++i;
    }
    if (entries.isEmpty())
        m_rows.erase(found);
    return best;
}

QString DeviceRowIndex::KeyOfRow(int row, bool *hasItem) const
{
    const QStandardItem *item = m_model->item(row, m_column);
    *hasItem = item != nullptr;
    return item ? item->data(m_role).toString() : QString();
}

void DeviceRowIndex::AddRows(int first, int last)
{
    for (int row = first; row <= last; ++row) {
        bool hasItem = false;
        const QString key = KeyOfRow(row, &hasItem);
        if (!hasItem)
            continue;
        const QPersistentModelIndex entry(m_model->index(row, m_column));
        QVector<QPersistentModelIndex> &entries = m_rows[key];
        if (!entries.contains(entry))
            entries.append(entry);
    }
}

void DeviceRowIndex::Rebuild()
{
    m_rows.clear();
    m_removedKeys.clear();
    if (m_model->columnCount() > m_column && m_model->rowCount() > 0)
        AddRows(0, m_model->rowCount() - 1);
}

void DeviceRowIndex::NoteRemovedRows(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid())
        return;
    // The persistent indexes of these rows turn invalid once the rows have gone;
    // remember the keys so that only their entries need looking at afterwards.
    if (first == 0 && last == m_model->rowCount() - 1) {
        m_removedKeys.clear();
        m_rows.clear();
        return;
    }
    for (int row = first; row <= last; ++row) {
        bool hasItem = false;
        const QString key = KeyOfRow(row, &hasItem);
        if (hasItem)
            m_removedKeys.append(key);
    }
}

void DeviceRowIndex::DropRemovedRows()
{
    for (const QString &key : qAsConst(m_removedKeys)) {
        auto found = m_rows.find(key);
        if (found == m_rows.end())
            continue;
        QVector<QPersistentModelIndex> &entries = found.value();
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [](const QPersistentModelIndex &e) { return !e.isValid(); }),
                      entries.end());
        if (entries.isEmpty())
            m_rows.erase(found);
    }
    m_removedKeys.clear();
}

void DeviceRowIndex::KeysChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                                 const QVector<int> &roles)
{
    if (topLeft.parent().isValid() || topLeft.column() > m_column || bottomRight.column() < m_column)
        return;
    if (!roles.isEmpty() && !roles.contains(m_role))
        return;
    // A changed key leaves the old entry behind; FindRow drops it when it meets it.
    AddRows(topLeft.row(), bottomRight.row());
}
