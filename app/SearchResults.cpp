// How search answers become rows of the device table, up to the table's row bound.
#include <QLabel>
#include <QTimer>

#include <cstdio>

#include "app/BrenuSearchTools.h"
#include "app/DeviceModel.h"
#include "app/DeviceRecord.h"
#include "app/DeviceRowIndex.h"
#include "app/DeviceTable.h"
#include "app/UiTexts.h"
#include "ui_BrenuSearchTools.h"

void MsgCallBack(const char *text, int length, void *user)
{
    if (!user || !text || length < 0)
        return;
    static_cast<BrenuSearchTools *>(user)->QueueAnswer(text, length);
}

void BrenuSearchTools::QueueAnswer(const char *text, int length)
{
    if (m_answers.RefuseIfFull())
        return;
    DeviceRecord record;
    if (ReadDeviceRecord(QByteArray::fromRawData(text, length), record) && IsCompleteRecord(record))
        m_answers.Push(std::move(record));
}

void BrenuSearchTools::TakeAnswers()
{
    for (const DeviceRecord &record : m_answers.Take())
        AddAnswer(record);
}

void BrenuSearchTools::slot_MsgCallBack(QString msg)
{
    DeviceRecord record;
    if (ReadDeviceRecord(msg.toUtf8(), record) && IsCompleteRecord(record))
        AddAnswer(record);
}

void BrenuSearchTools::AddAnswer(const DeviceRecord &record)
{
    const uint32_t tick = m_clock->Tick();
    const int row = m_rowIndex->FindRow(record.serialNo);
    if (row >= 0) {
        DeviceTable::UpdateRow(*m_model, row, record);
        m_model->NoteAnswer(row, tick, m_clock->Now());
        return;
    }
    if (m_model->rowCount() >= m_maxRows) {
        NoteUnlisted(record.serialNo);
        return;
    }
    m_deviceCount.fetch_add(1);
    UpdateDeviceCount();
    const int newRow = m_model->rowCount();
    m_model->insertRow(newRow, DeviceTable::MakeRow(record));
    m_model->NoteAnswer(newRow, tick, m_clock->Now());
}

void BrenuSearchTools::NoteUnlisted(const QString &serialNo)
{
    const bool first = !m_unlisted.Any();
    m_unlisted.Note(serialNo);
    if (!first) {
        // A flood brings thousands of these a second: the tooltip's figure is brought
        // up to date once the window gets back to its event loop, not for each one.
        if (!m_overflowTipTimer->isActive())
            m_overflowTipTimer->start();
        return;
    }
    std::fprintf(stderr,
                 "BrenuSearchTools: the device table is full (%d rows); devices that answer from now on are not "
                 "listed until refresh\n",
                 m_maxRows);
    UpdateDeviceCount();
}

QString BrenuSearchTools::OverflowTip() const
{
    return UiText::OverflowTip().arg(m_maxRows).arg(m_unlisted.Estimate());
}
