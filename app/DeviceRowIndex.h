#pragma once
// Finds a device's row by serial number without looking at every row.
//
// The index keeps plain row numbers: the key of every row, and for each key the
// topmost row that carries it (when several rows share a key the one nearest the
// top wins, exactly as a scan from row 0 would find it). It follows the model
// through its signals: rows appended are added, a key set or changed in place is
// moved, and anything that renumbers rows (sorting, rows inserted above others or
// removed, moves, resets) makes it again from the rows, once per change. It holds no
// persistent indexes and never asks Qt where an item stands, so neither a sort nor a
// full table makes a lookup, an update or a refresh search the rows.
#include <QObject>
#include <QString>
#include <QVector>

#include "device/KeyedText.h"

class QStandardItemModel;

class DeviceRowIndex : public QObject {
    Q_OBJECT
public:
    // Indexes the top-level rows of model by the data of column `column` under `role`.
    DeviceRowIndex(QStandardItemModel *model, int column, int role, QObject *parent = nullptr);

    // The first row whose key equals key (case-sensitive), or -1.
    int FindRow(const QString &key) const;

    // Number of distinct keys indexed (for tests and diagnostics).
    int KeyCount() const { return m_rowsOfKey.size(); }

private:
    struct RowKey {
        QString key;
        bool hasItem = false; // a row without an item in the key column has no key
    };

    void Rebuild() const;
    void RowsInserted(const QModelIndex &parent, int first, int last);
    void RowsRemoved(const QModelIndex &parent, int first, int last);
    void KeysChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QVector<int> &roles);
    RowKey KeyOfRow(int row) const;
    // Makes row the first row of its key if none above it carries the key.
    void Note(int row) const;
    // The key of row is going: its first row moves to the next row carrying it.
    void Forget(int row);

    QStandardItemModel *m_model;
    int m_column;
    int m_role;
    struct Rows {
        int first = 0; // the topmost row carrying the key
        int count = 0; // how many rows carry it
    };
    // Mutable: a lookup that finds them out of date reads the rows again.
    mutable QVector<RowKey> m_keys; // by row
    mutable KeyedTextHash<Rows> m_rowsOfKey; // serial numbers: keyed with the process secret
};
