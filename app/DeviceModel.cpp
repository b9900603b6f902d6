#include "app/DeviceModel.h"

#include <QDateTime>

#include "app/DeviceTable.h"
#include "app/UiTexts.h"

DeviceModel::DeviceModel(QObject *parent) : QStandardItemModel(parent)
{
    // A row that goes (refresh, reboot) takes its device's answer times with it.
    connect(this, &QAbstractItemModel::rowsAboutToBeRemoved, this, &DeviceModel::ForgetRows);
    connect(this, &QAbstractItemModel::modelAboutToBeReset, this, [this] { m_silence.Clear(); });
}

QVariant DeviceModel::data(const QModelIndex &index, int role) const
{
    if ((role != Qt::ForegroundRole && role != Qt::ToolTipRole) || !index.isValid() || index.parent().isValid())
        return QStandardItemModel::data(index, role);
    const QString serialNo =
        QStandardItemModel::data(this->index(index.row(), DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole)
            .toString();
    int64_t lastAnswer = 0;
    if (!m_silence.IsSilent(serialNo, &lastAnswer))
        return QStandardItemModel::data(index, role);
    if (role == Qt::ForegroundRole)
        return m_silentBrush;
    const QString time = QDateTime::fromSecsSinceEpoch(lastAnswer).toString(QStringLiteral("HH:mm:ss"));
    return UiText::LastAnswerTip().arg(time);
}

void DeviceModel::NoteAnswer(int row, uint32_t tick, int64_t wallSeconds)
{
    const QString serialNo =
        QStandardItemModel::data(index(row, DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole).toString();
    if (m_silence.Answered(serialNo, tick, wallSeconds))
        LookChanged(row, row);
}

int DeviceModel::CheckSilence(uint32_t tick)
{
    const int muted = m_silence.MarkSilent(tick);
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
    if (first == 0 && last == rowCount() - 1) {
        m_silence.Clear();
        return;
    }
    for (int row = first; row <= last; ++row)
        m_silence.Forget(
            QStandardItemModel::data(index(row, DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole).toString());
}
