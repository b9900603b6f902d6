#pragma once
// The device table's model: the rows of DeviceTable (one per serial number), the
// device list behind them (device/DeviceList.h), and the look of the rows whose
// devices have gone silent (muted text, a tooltip with the time of the last answer).
//
// Silence is not stored in the items: the model answers Qt::ForegroundRole and
// Qt::ToolTipRole from its device list, so a check that mutes many rows at once
// costs one change notice instead of two per cell.
#include <QBrush>
#include <QStandardItemModel>

#include "device/DeviceList.h"

class DeviceModel : public QStandardItemModel {
    Q_OBJECT
public:
    explicit DeviceModel(QObject *parent = nullptr, int maxDevices = kMaxDeviceRows);

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // The text colour of silent rows (the view's disabled text colour).
    void SetSilentBrush(const QBrush &brush) { m_silentBrush = brush; }

    // Notes that the device list's answer for the device listed in `row` changed its
    // look (it came back, or its conflicts changed).
    void RowLookChanged(int row) { LookChanged(row, row); }
    // Mutes the rows whose devices have all been silent long enough; the number of
    // devices that went silent now.
    int CheckSilence(uint32_t tick);

    // The devices behind the rows. A row that goes takes its devices with it.
    DeviceList &Devices() { return m_devices; }
    const DeviceList &Devices() const { return m_devices; }

private:
    void ForgetRows(const QModelIndex &parent, int first, int last);
    void LookChanged(int firstRow, int lastRow);

    DeviceList m_devices;
    QBrush m_silentBrush;
};
