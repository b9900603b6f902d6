// How search answers become rows of the device table, up to the table's row bound.
#include <QLabel>
#include <QTimer>

#include <cstdio>

#include "app/BrenuSearchTools.h"
#include "app/BatchWindow.h"
#include "app/DeviceModel.h"
#include "app/DeviceRowIndex.h"
#include "app/DeviceTable.h"
#include "app/UiTexts.h"
#include "device/DeviceRecord.h"
#include "protocol/Json.h"
#include "protocol/Searcher.h"
#include "ui_BrenuSearchTools.h"

void MsgCallBack(const char *text, int length, void *user)
{
    if (!user || !text || length < 0)
        return;
    static_cast<BrenuSearchTools *>(user)->QueueAnswer(text, length, InterfaceAddress{});
}

void AnswerCallBack(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn, const AnswerSource &source,
                    void *user)
{
    if (!user)
        return;
    static_cast<BrenuSearchTools *>(user)->QueueAnswer(message, heardOn, &source);
}

void BrenuSearchTools::QueueAnswer(const char *text, int length, const InterfaceAddress &heardOn)
{
    if (!text || length < 0 || m_answers.RefuseIfFull())
        return;
    // Exactly `length` bytes are read: the text need not be terminated.
    Vant::CProtocalJson message;
    if (message.Parse(text, static_cast<std::size_t>(length)))
        QueueRecord(message, heardOn);
}

void BrenuSearchTools::QueueAnswer(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn,
                                   const AnswerSource *source)
{
    if (!m_answers.RefuseIfFull())
        QueueRecord(message, heardOn, source);
}

void BrenuSearchTools::QueueRecord(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn,
                                   const AnswerSource *source)
{
    QueuedAnswer answer{DeviceRecord{}, heardOn};
    if (!ReadDeviceRecord(message, answer.record) || !IsCompleteRecord(answer.record))
        return;
    if (source && source->address)
        answer.record.source = AnswerOrigin{QString::fromStdString(*source->address), source->port};
    m_answers.Push(std::move(answer));
}

void BrenuSearchTools::TakeAnswers()
{
    for (const QueuedAnswer &answer : m_answers.Take())
        AddAnswer(answer.record, answer.heardOn);
}

void BrenuSearchTools::slot_MsgCallBack(QByteArray msg)
{
    slot_HeardAnswer(msg, InterfaceAddress{});
}

void BrenuSearchTools::slot_HeardAnswer(QByteArray msg, InterfaceAddress heardOn)
{
    DeviceRecord record;
    if (ReadDeviceRecord(msg, record) && IsCompleteRecord(record))
        AddAnswer(record, heardOn);
}

void BrenuSearchTools::AddAnswer(const DeviceRecord &record, const InterfaceAddress &heardOn)
{
    // The device list bounds what is held (at most m_maxRows devices, so at most as
    // many rows, one per serial number).
    const uint32_t tick = m_clock->Tick();
    ++m_answersByLink[heardOn.device];
    const DeviceList::Heard heard = m_model->Devices().Note(record, heardOn, tick, m_clock->Now());
    // A running batch verifies its devices by their answers, listed or not, knowing
    // where each was heard and whether another source answers for the same device.
    if (m_batchWindow) {
        HeardDevice answer;
        static_cast<DeviceRecord &>(answer) = record;
        answer.localAddress = QString::fromStdString(heardOn.address);
        answer.interfaceName = QString::fromStdString(heardOn.device);
        uint32_t otherTick = 0;
        const bool other =
            m_model->Devices().OtherSourceTick(record.serialNo, record.mac, record.source.address, otherTick);
        m_batchWindow->ObserveRecord(answer, other ? int64_t{static_cast<uint32_t>(tick - otherTick)} : int64_t{-1});
    }
    if (heard.outcome == DeviceList::Heard::Refused) {
        NoteUnlisted();
        return;
    }
    if (!m_unansweredUpdates.isEmpty())
        CheckUnansweredUpdate(record, m_clock->Tick());
    const int row = m_rowIndex->FindRow(record.serialNo);
    if (row >= 0) {
        DeviceTable::UpdateRow(*m_model, row, record);
        if (heard.back)
            m_model->RowLookChanged(row);
    } else {
        m_deviceCount.fetch_add(1);
        // Counted once the row is there (and the filter has decided whether it shows).
        m_model->insertRow(m_model->rowCount(), DeviceTable::MakeRow(record));
        UpdateDeviceCount();
    }
    for (const QString &serialNo : heard.conflictsChanged) {
        const int changed = m_rowIndex->FindRow(serialNo);
        if (changed >= 0)
            m_model->RowMarkChanged(changed);
    }
}

namespace {

// How long the window watches for a device whose answer to an update was lost to show
// the new settings: as long as brenu-search waits by default (three search periods).
constexpr uint32_t kUnansweredUpdateWatchMs = kDefaultVerifyTimeoutMs;

} // namespace

void BrenuSearchTools::WatchUnansweredUpdate(const ExpectedSettings &expected)
{
    m_unansweredUpdates.insert(expected.serialNo, UnansweredUpdate{expected, m_clock->Tick()});
}

void BrenuSearchTools::CheckUnansweredUpdate(const DeviceRecord &record, uint32_t tick)
{
    for (auto it = m_unansweredUpdates.begin(); it != m_unansweredUpdates.end();) {
        if (static_cast<uint32_t>(tick - it->since) > kUnansweredUpdateWatchMs)
            it = m_unansweredUpdates.erase(it);
        else
            ++it;
    }
    const auto found = m_unansweredUpdates.find(record.serialNo);
    if (found == m_unansweredUpdates.end() || !ShowsSettings(record, found->expected))
        return;
    // Only the device itself shows that the update took (device/VerifiedUpdate.h).
    const HeardDevice *heard = m_model->Devices().Find(record.serialNo, record.mac);
    uint32_t otherTick = 0;
    const bool other = heard && m_model->Devices().OtherSourceTick(record.serialNo, record.mac, record.source.address,
                                                                   otherTick);
    if (!heard || !UntrustedReason(*heard, found->expected, ReadLocalSubnets(),
                                   other ? int64_t{static_cast<uint32_t>(tick - otherTick)} : int64_t{-1})
                       .isEmpty())
        return;
    // With DHCP on, only an answer sent by the device's MAC; an address not resolved
    // yet is nudged and looked at again with the device's next answer.
    QString notDevice;
    if (found->expected.settings.dhcp &&
        m_sourceMac.Check(*heard, found->expected, notDevice) != SourceMacCheck::Verdict::Device)
        return;
    m_unansweredUpdates.erase(found);
    m_model->SetRowNote(record.serialNo, UiText::UpdateShownTip());
    const int row = m_rowIndex->FindRow(record.serialNo);
    if (row >= 0)
        m_model->RowLookChanged(row);
}

void BrenuSearchTools::NoteUnlisted()
{
    if (m_model->Devices().IgnoredAnswers() > 1) {
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
    return UiText::OverflowTip().arg(m_maxRows).arg(m_model->Devices().UnlistedEstimate());
}
