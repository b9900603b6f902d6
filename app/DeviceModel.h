#pragma once
// The device table's model: the rows of DeviceTable, and the look of the rows whose
// device has gone silent (muted text, a tooltip with the time of its last answer).
//
// Silence is not stored in the items: the model answers Qt::ForegroundRole and
// Qt::ToolTipRole from its SilentDevices, so a check that mutes many rows at once
// costs one change notice instead of two per cell.
#include <QBrush>
#include <QStandardItemModel>

#include "app/SilentDevices.h"

class DeviceModel : public QStandardItemModel {
    Q_OBJECT
public:
    explicit DeviceModel(QObject *parent = nullptr);

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // The text colour of silent rows (the view's disabled text colour).
    void SetSilentBrush(const QBrush &brush) { m_silentBrush = brush; }

    // Notes an answer of the device listed in `row`; a silent row looks normal again at once.
    void NoteAnswer(int row, uint32_t tick, int64_t wallSeconds);
    // Mutes the rows whose device has been silent long enough; the number muted now.
    int CheckSilence(uint32_t tick);

    const SilentDevices &Silence() const { return m_silence; }

private:
    void ForgetRows(const QModelIndex &parent, int first, int last);
    void LookChanged(int firstRow, int lastRow);

    SilentDevices m_silence;
    QBrush m_silentBrush;
};
