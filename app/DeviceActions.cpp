// What the operator does with a listed device: the context menu, reboot, the
// settings dialog and the web page.
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPersistentModelIndex>
#include <QPushButton>
#include <QStandardItemModel>
#include <QUrl>

#include "app/BrenuSearchTools.h"
#include "app/DeviceCommandUi.h"
#include "device/Delivery.h"
#include "device/DeviceRequests.h"
#include "app/DeviceTable.h"
#include "device/DeviceCommand.h"
#include "device/Ipv4Text.h"
#include "app/QBrenuInfo.h"
#include "app/QMyItemDelegate.h"
#include "app/UiTexts.h"
#include "protocol/Json.h"
#include "ui_BrenuSearchTools.h"

namespace {

// As stored: the DHCP cell holds "启用"/"禁用" whatever language the window shows.
QString CellText(const QStandardItemModel &model, int row, int column)
{
    return model.index(row, column).data(Qt::EditRole).toString();
}

// The question as it always reads, with the device it concerns below it.
bool ConfirmReboot(QWidget *parent, const QString &serialNo, const QString &address)
{
    QMessageBox box(QMessageBox::Question, UiText::ConfirmTitle(), UiText::ConfirmReboot(),
                    QMessageBox::Ok | QMessageBox::Cancel, parent);
    box.setInformativeText(DeviceTable::HeaderText(DeviceTable::ColSerialNo) + QStringLiteral(": ") +
                           VisibleCellText(serialNo) + QLatin1Char('\n') +
                           DeviceTable::HeaderText(DeviceTable::ColAddress) + QStringLiteral(": ") +
                           VisibleCellText(address));
    box.button(QMessageBox::Ok)->setText(UiText::ConfirmOk());
    box.button(QMessageBox::Cancel)->setText(UiText::ConfirmCancel());
    return box.exec() == QMessageBox::Ok;
}

} // namespace

void BrenuSearchTools::slot_OnCustomContextMenuRequested(QPoint pos)
{
    const QModelIndex index = ui->tabView_brenu->indexAt(pos);
    if (!index.isValid() || !m_model->itemFromIndex(index))
        return;
    m_menu->exec(ui->tabView_brenu->viewport()->mapToGlobal(pos));
}

void BrenuSearchTools::slot_MenuClicked()
{
    QObject *action = sender();
    const QModelIndex current = ui->tabView_brenu->currentIndex();
    if (!current.isValid())
        return;
    if (action == m_actionReboot)
        onRebootBrenu(current);
    else if (action == m_actionModify)
        onUpdateBrenu(current);
}

void BrenuSearchTools::slot_RebootClicked()
{
    const QModelIndex current = ui->tabView_brenu->currentIndex();
    if (current.isValid())
        onRebootBrenu(current);
}

void BrenuSearchTools::onUpdateBrenu(QModelIndex index)
{
    if (!index.isValid() || !m_model->itemFromIndex(index))
        return;
    const int row = index.row();
    if (RefuseIdentityConflict(CellText(*m_model, row, DeviceTable::ColSerialNo)))
        return;
    QStringList cells;
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        cells.append(CellText(*m_model, row, column));
    m_infoDialog->SetDeviceInfo(cells[0], cells[1], cells[2], cells[3], cells[4], cells[5], cells[6],
                                cells[7], cells[8]);
    m_infoDialog->SetCommandTarget(TargetFor(cells[0], cells[1], cells[2].toInt(nullptr, 10)));
    if (const HeardDevice *device = m_model->Devices().Latest(cells[0]))
        m_infoDialog->SetSentBytes(device->sent);
    m_infoDialog->exec();
    if (std::optional<ExpectedSettings> expected = m_infoDialog->TakeUnansweredUpdate())
        WatchUnansweredUpdate(*expected);
}

void BrenuSearchTools::onRebootBrenu(QModelIndex index)
{
    if (!index.isValid() || !m_model->itemFromIndex(index))
        return;
    // Answers keep arriving while the message boxes are open; the persistent index
    // follows the device's row whatever happens to the table meanwhile.
    const QPersistentModelIndex deviceRow(index);
    QString serialNo, address;
    int port = 0;
    // Reads the row; false, after saying why where there is something to say, when no
    // command may go to its device.
    const auto readRow = [&] {
        const int row = deviceRow.row();
        serialNo = CellText(*m_model, row, DeviceTable::ColSerialNo);
        address = CellText(*m_model, row, DeviceTable::ColAddress);
        port = CellText(*m_model, row, DeviceTable::ColPort).toInt(nullptr, 10);
        if (address.isEmpty() || !IsCommandPort(port) || RefuseIdentityConflict(serialNo))
            return false;
        if (const QString problem = DestinationProblem(address, ReadLocalSubnets()); !problem.isEmpty()) {
            QMessageBox::warning(this, UiText::BoxTitle(), UiText::DestinationRefused().arg(problem),
                                 QMessageBox::Ok);
            return false;
        }
        return true;
    };
    // What refuses the command is said before anything is asked; the row may change
    // while the box is open (a new answer), so it is read and checked again after.
    if (!readRow() || !ConfirmReboot(this, serialNo, address) || !deviceRow.isValid() || !readRow())
        return;

    Vant::CProtocalJson request;
    // The serial number goes as the device sent it; the answer must carry it back so.
    const HeardDevice *device = m_model->Devices().Latest(serialNo);
    const QByteArray serialBytes =
        device ? BytesToSend(*device, TextMember::SerialNo, serialNo) : serialNo.toUtf8();
    BuildRebootRequest(serialBytes, request);

    const CommandTarget target = TargetFor(serialNo, address, port);
    const CommandResult result = SendDeviceCommand(this, target, request, serialBytes);
    if (result == CommandResult::ConnectFailed || result == CommandResult::Withheld) {
        QMessageBox::warning(this, UiText::BoxTitle(),
                             result == CommandResult::Withheld ? UiText::WithheldBecause(TakeLinkSendRefusal()) : UiText::ConnectFailed(),
                             QMessageBox::Ok);
        return;
    }
    const bool succeeded = result == CommandResult::Succeeded;
    QString text = succeeded ? UiText::Succeeded() : UiText::Failed();
    if (target.exact)
        text += QLatin1Char('\n') + UiText::DeliveredWay().arg(DeliveryWayText(SharedAddressWay()));
    QMessageBox::information(this, UiText::BoxTitle(), text, QMessageBox::Ok);
    if (!succeeded || !deviceRow.isValid())
        return;
    m_deviceCount.fetch_sub(1);
    UpdateDeviceCount();
    m_model->removeRow(deviceRow.row());
}

bool BrenuSearchTools::RefuseIdentityConflict(const QString &serialNo)
{
    // Named like every other naming of conflicts: at most kMaxConflictNames sources,
    // the further devices in a conflict only counted, whatever number of devices
    // share the serial number (thousands, under a forged flood).
    QStringList sources;
    int more = 0;
    for (const HeardDevice &device : m_model->Devices().WithSerial(serialNo)) {
        if (device.otherSources.isEmpty())
            continue;
        if (sources.size() >= kMaxConflictNames) {
            ++more;
            continue;
        }
        sources << m_model->Devices().Conflicts(device).sameIdentity
                << device.source.address + QStringLiteral(" \u2192 ") + device.address;
        sources.removeDuplicates();
    }
    if (sources.isEmpty())
        return false;
    QMessageBox::warning(this, UiText::BoxTitle(), UiText::IdentityConflictRefused().arg(NameSome(sources, more)),
                         QMessageBox::Ok);
    return true;
}

CommandTarget BrenuSearchTools::TargetFor(const QString &serialNo, const QString &address, int port) const
{
    // The row shows the latest answer of its serial number; that device's hearing
    // (and whether others share its address) decides, as long as it still announces
    // the address shown.
    const HeardDevice *device = m_model->Devices().Latest(serialNo);
    if (!device || device->address != address)
        return CommandTarget(address, port);
    CommandTarget target = TargetOf(m_model->Devices().WithSharing(*device));
    target.port = port;
    return target;
}

void BrenuSearchTools::onOpenHttpView(QModelIndex index)
{
    if (!index.isValid() || !m_model->itemFromIndex(index))
        return;
    const QByteArray address = CellText(*m_model, index.row(), DeviceTable::ColAddress).toUtf8();
    if (!IsIpv4Text(std::string_view(address.constData(), static_cast<size_t>(address.size()))))
        return;
    // The desktop's default browser opens the device's own page. openUrl fails when
    // no handler for http is set up (on a bare desktop: xdg-open, from xdg-utils, is
    // missing); the operator is told rather than left clicking at nothing.
    const QString url = QStringLiteral("http://") + QString::fromUtf8(address);
    if (!QDesktopServices::openUrl(QUrl(url)))
        QMessageBox::warning(this, UiText::BoxTitle(),
                             tr("无法打开网页 %1: 没有可用的浏览器 (需要 xdg-utils 和默认浏览器)").arg(url),
                             QMessageBox::Ok);
}
