#include "app/DeviceModel.h"

#include <QDateTime>

#include "app/DeviceTable.h"
#include "app/UiTexts.h"

DeviceModel::DeviceModel(QObject *parent, int maxDevices) : QStandardItemModel(parent), m_devices(maxDevices)
{
    // A row that goes (refresh, reboot) takes its devices with it.
    connect(this, &QAbstractItemModel::rowsAboutToBeRemoved, this, &DeviceModel::ForgetRows);
    connect(this, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        m_devices.Clear();
        m_notes.clear();
    });
}

namespace {

// The most devices or serial numbers a tooltip names. A forged flood can make
// thousands of devices share one serial number or address; the tooltip names the
// first few (in sorted order) and counts the rest, so hovering stays instant.
constexpr int kMaxNamedInTip = 8;

QString NameSome(QStringList names)
{
    const int more = names.size() - kMaxNamedInTip;
    if (more > 0) {
        names = names.mid(0, kMaxNamedInTip);
        names << UiText::AndMore().arg(more);
    }
    return names.join(QStringLiteral(", "));
}

} // namespace

QVariant DeviceModel::data(const QModelIndex &index, int role) const
{
    const bool decoration = role == Qt::DecorationRole && index.column() == DeviceTable::ColSerialNo;
    if ((role != Qt::ForegroundRole && role != Qt::ToolTipRole && !decoration) || !index.isValid() ||
        index.parent().isValid())
        return QStandardItemModel::data(index, role);
    const QString serialNo =
        QStandardItemModel::data(this->index(index.row(), DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole)
            .toString();
    if (decoration) {
        if (m_devices.SerialHasConflict(serialNo))
            return m_conflictIcon;
        const HeardDevice *device = m_devices.Latest(serialNo);
        if (device && device->foreignSubnet)
            return m_foreignIcon;
        return QStandardItemModel::data(index, role);
    }
    int64_t lastAnswer = 0;
    const bool silent = m_devices.SerialSilent(serialNo, &lastAnswer);
    if (role == Qt::ForegroundRole)
        return silent ? QVariant(m_silentBrush) : QStandardItemModel::data(index, role);
    const QString tip = ToolTip(serialNo, silent, lastAnswer);
    return tip.isEmpty() ? QStandardItemModel::data(index, role) : QVariant(tip);
}

QString DeviceModel::ToolTip(const QString &serialNo, bool silent, int64_t lastAnswer) const
{
    QStringList lines;
    if (m_devices.SerialHasConflict(serialNo)) {
        const DeviceConflicts conflicts = m_devices.SerialConflicts(serialNo);
        if (!conflicts.sameSerial.isEmpty())
            lines << UiText::SerialConflictTip().arg(conflicts.sameSerial.size()).arg(NameSome(conflicts.sameSerial));
        if (!conflicts.sameAddress.isEmpty())
            lines << UiText::AddressConflictTip().arg(NameSome(conflicts.sameAddress));
    }
    const HeardDevice *device = m_devices.Latest(serialNo);
    if (device && device->foreignSubnet)
        lines << UiText::ForeignSubnetTip().arg(device->interfaceName, device->localAddress);
    const auto note = m_notes.constFind(serialNo);
    if (note != m_notes.constEnd())
        lines << *note;
    if (silent)
        lines << UiText::LastAnswerTip().arg(
            QDateTime::fromSecsSinceEpoch(lastAnswer).toString(QStringLiteral("HH:mm:ss")));
    return lines.join(QLatin1Char('\n'));
}

void DeviceModel::SetRowNote(const QString &serialNo, const QString &note)
{
    if (note.isEmpty())
        m_notes.remove(serialNo);
    else
        m_notes.insert(serialNo, note);
}

int DeviceModel::CheckSilence(uint32_t tick)
{
    const int muted = m_devices.MarkSilent(tick);
    if (muted > 0 && rowCount() > 0)
        LookChanged(0, rowCount() - 1);
    return muted;
}

void DeviceModel::RowMarkChanged(int row)
{
    const QModelIndex serial = index(row, DeviceTable::ColSerialNo);
    emit dataChanged(serial, serial, {Qt::DecorationRole});
}

void DeviceModel::LookChanged(int firstRow, int lastRow)
{
    emit dataChanged(index(firstRow, 0), index(lastRow, columnCount() - 1), {Qt::ForegroundRole, Qt::ToolTipRole});
}

void DeviceModel::ForgetRows(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid())
        return;
    for (int row = first; row <= last; ++row) {
        const QString serialNo =
            QStandardItemModel::data(index(row, DeviceTable::ColSerialNo), DeviceTable::kSerialNoRole).toString();
        m_devices.ForgetSerial(serialNo);
        m_notes.remove(serialNo);
    }
}
