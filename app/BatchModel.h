#pragma once
// The batch window's list of devices: a checkbox and the serial number, MAC address,
// current address, marks (foreign subnet, conflict), the preview of the new address
// and the progress of each device.
#include <QAbstractTableModel>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

#include "device/Batch.h"
#include "device/DeviceList.h"

struct BatchRow {
    HeardDevice device;
    bool foreignSubnet = false;
    // Other devices share its serial number or its address: what they are, for the tooltip.
    QString conflict;
    bool checked = false;
    QString newAddress;
    std::optional<BatchStatus> status;
};

class BatchModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColSerialNo, ColMac, ColAddress, ColMarks, ColNewAddress, ColStatus, ColumnCount };

    explicit BatchModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    void SetRows(std::vector<BatchRow> rows);
    const std::vector<BatchRow> &Rows() const { return m_rows; }
    // Checks the rows `which` holds for and unchecks the others.
    void CheckWhere(const std::function<bool(const BatchRow &)> &which);
    // The rows checked, in row order.
    std::vector<int> CheckedRows() const;
    // New addresses for every row (empty texts where none).
    void SetPreview(const std::vector<QString> &newAddresses);
    void SetStatuses(const std::vector<std::optional<BatchStatus>> &statuses);
    // Locks the checkboxes while a run is under way.
    void SetLocked(bool locked) { m_locked = locked; }

    // The table's text of a column.
    static QString Title(int column);

signals:
    // A checkbox was changed by the operator.
    void checksChanged();

private:
    std::vector<BatchRow> m_rows;
    bool m_locked = false;
};
