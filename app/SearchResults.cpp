// How search answers become rows of the device table.
#include <QStandardItemModel>

#include "app/BrenuSearchTools.h"
#include "app/DeviceRecord.h"
#include "app/DeviceRowIndex.h"
#include "app/DeviceTable.h"

void MsgCallBack(const char *text, int /*length*/, void *user)
{
    if (!user || !text)
        return;
    auto *window = static_cast<BrenuSearchTools *>(user);
    // The window lives on the user-interface thread, so this emit only queues a
    // copy of the string there; no widget is touched on this thread.
    emit window->signal_MsgCallBack(QString::fromUtf8(text));
}

void BrenuSearchTools::slot_MsgCallBack(QString msg)
{
    DeviceRecord record;
    if (!ReadDeviceRecord(msg.toUtf8(), record) || !IsCompleteRecord(record))
        return;

    const int row = m_rowIndex->FindRow(record.serialNo);
    if (row >= 0) {
        DeviceTable::UpdateRow(*m_model, row, record);
        return;
    }
    m_deviceCount.fetch_add(1);
    UpdateDeviceCount();
    m_model->insertRow(m_model->rowCount(), DeviceTable::MakeRow(record));
}
