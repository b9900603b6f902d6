#pragma once
// Finds a device's row by serial number without looking at every row.
//
// The index follows the model through its signals: rows inserted or removed, keys
// set or changed, sorting and resets. It stores persistent indexes, which the model
// itself moves when rows are sorted or shifted, so a hit always names the row where
// the device stands now. Each hit is checked against the row's current key, and
// when several rows carry the same key the one nearest the top wins, exactly as a
// scan from row 0 would find it.
#include <QHash>
#include <QObject>
#include <QPersistentModelIndex>
#include <QString>
#include <QVector>

class QStandardItemModel;

class DeviceRowIndex : public QObject {
    Q_OBJECT
public:
    // Indexes the top-level rows of model by the data of column `column` under `role`.
    DeviceRowIndex(QStandardItemModel *model, int column, int role, QObject *parent = nullptr);

    // The first row whose key equals key (case-sensitive), or -1.
    int FindRow(const QString &key) const;

    // Number of distinct keys indexed (for tests and diagnostics).
    int KeyCount() const { return m_rows.size(); }

private:
    void Rebuild();
    void AddRows(int first, int last);
    void NoteRemovedRows(const QModelIndex &parent, int first, int last);
    void DropRemovedRows();
    void KeysChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QVector<int> &roles);
    QString KeyOfRow(int row, bool *hasItem) const;

    QStandardItemModel *m_model;
    int m_column;
    int m_role;
    // Entries whose row has gone or whose key has changed are dropped when met.
    mutable QHash<QString, QVector<QPersistentModelIndex>> m_rows;
    QVector<QString> m_removedKeys;
};
