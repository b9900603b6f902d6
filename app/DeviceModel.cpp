#include "app/DeviceModel.h"

#include <QDateTime>

#include "app/DeviceTable.h"
#include "app/UiTexts.h"

DeviceModel::DeviceModel(QObject *parent, int maxDevices) : QStandardItemModel(parent), m_devices(maxDevices)
{
    // A row that goes (refresh, reboot) takes its devices with it.
    connect(this, &QAbstractItemModel::rowsAboutToBeRemoved, this, &DeviceModel::ForgetRows);
    connect(this, &QAbstractItemModel::modelAboutToBeReset, this, [this] { m_devices.Clear(); });
}

QVariant DeviceModel::data(const QModelIndex &index, int role) const
{
    if ((role != Qt::ForegroundRole && role != Qt::ToolTipRole) || !index.isValid() || index.parent().isValid())
        return QStandardItemModel::data(index, role);
    const QString serialNo =
        QStandardItemModel::data(this->index(index.row(), DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole)
            .toString();
    int64_t lastAnswer = 0;
    if (!m_devices.SerialSilent(serialNo, &lastAnswer))
        return QStandardItemModel::data(index, role);
    if (role == Qt::ForegroundRole)
        return m_silentBrush;
    const QString time = QDateTime::fromSecsSinceEpoch(lastAnswer).toString(QStringLiteral("HH:mm:ss"));
    return UiText::LastAnswerTip().arg(time);
}

int DeviceModel::CheckSilence(uint32_t tick)
{
    const int muted = m_devices.MarkSilent(tick);
    if (muted > 0 && rowCount() > 0)
        LookChanged(0, rowCount() - 1);
    return muted;
}

void DeviceModel::LookChanged(int firstRow, int lastRow)
{
    emit dataChanged(index(firstRow, 0), index(lastRow, columnCount() - 1), {Qt::ForegroundRole, Qt::ToolTipRole});
}

void DeviceModel::ForgetRows(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid())
        return;
    for (int row = first; row <= last; ++row)
        m_devices.ForgetSerial(
            QStandardItemModel::data(index(row, DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole).toString());
}
