#pragma once
// The main window: the live device table, the device count, refresh, the context
// menu, reboot, the web page and the one settings dialog; silent devices muted, a row
// copied, the list exported.
#include <QMainWindow>
#include <QModelIndex>
#include <QPoint>
#include <QString>

#include <atomic>
#include <map>
#include <memory>

#include "app/AnswerQueue.h"
#include "app/DeviceModel.h"
#include "app/SearchRangesDialog.h"
#include "app/WindowLayout.h"
#include "device/DeviceRecord.h"
#include "device/FirewallHint.h"
#include "device/VerifiedUpdate.h"
#include "kit/Clock.h"
#include "protocol/LocalAddresses.h"
#include "device/KeyedText.h"

Q_DECLARE_METATYPE(InterfaceAddress)

class QAction;
class QLabel;
class QLineEdit;
class DeviceFilter;
class QMenu;
class QTimer;
class QUdpCastGroup;
struct AnswerSource;
class QBrenuInfo;
class BatchWindow;
class DeviceRowIndex;
namespace Ui {
class BrenuSearchToolsClass;
}
namespace Vant {
class CProtocalJson;
}

// Hands one search answer text from a searcher's socket thread to the window given
// as `user`: it reads the record there and queues it for the window's thread
// (AnswerQueue); no widget is touched on the calling thread.
void MsgCallBack(const char *text, int length, void *user);
// The same for the parsed answer, with the local address entry of the searcher that
// heard it.
void AnswerCallBack(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn, const AnswerSource &source,
                    void *user);

// What tests set differently from the program.
struct WindowOptions {
    // Where the times of answers are read; the system clock when null.
    std::shared_ptr<Vant::IClock> clock;
    // The most rows the table holds.
    int maxRows = kMaxDeviceRows;
};

class BrenuSearchTools : public QMainWindow {
    Q_OBJECT
public:
    explicit BrenuSearchTools(QWidget *parent = nullptr, WindowOptions options = {});
    ~BrenuSearchTools() override;

    // Shows the device count in lab_brenuNum, with a "+" and a tooltip once devices
    // were left out because the table was full.
    void UpdateDeviceCount();
    // Any thread: reads one answer text, or one parsed answer, and queues its record,
    // with the address entry that heard it, for the window. Nothing is read while the
    // queue is full.
    void QueueAnswer(const char *text, int length, const InterfaceAddress &heardOn);
    // `source`: where the datagram came from (null: not known).
    void QueueAnswer(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn,
                     const AnswerSource *source = nullptr);
    // The layout to remember (WindowLayout.h): geometry, columns, sort, batch window.
    WindowLayout Layout() const;
    // Takes a remembered layout before the window is shown: a geometry that fits none
    // of `screens` is left out; a saved sort is shown at once and applied to the rows
    // of the first search round (kRestoredSortMs after the start).
    void ApplyLayout(const WindowLayout &layout, const QList<QRect> &screens);
    // Where the search ranges are kept (the window's settings file): reads them and
    // searches them; the dialog writes its choices there. Without it (tests) they
    // live as long as the window.
    void SetRangeSettingsFile(const QString &path);
    // Searches the ranges switched on in `settings` besides the broadcasts.
    void ApplyRangeSettings(const RangeSettings &settings);
    const RangeSettings &RangeChoices() const { return m_rangeSettings; }
    // Answers dropped because the window's queue was full.
    uint64_t DroppedAnswers() const { return m_answers.Dropped(); }

signals:
    // An answer's JSON text as the device sent it: bytes, since its texts need not be
    // UTF-8 (device/DeviceText.h).
    void signal_MsgCallBack(QByteArray msg);
    void signal_HeardAnswer(QByteArray msg, InterfaceAddress heardOn);

protected slots:
    // An answer whose hearing address is not known (counted as heard in the device's subnet).
    void slot_MsgCallBack(QByteArray msg);
    void slot_HeardAnswer(QByteArray msg, InterfaceAddress heardOn);
    void slot_RefreshClicked();
    void slot_MenuClicked();
    void slot_OnCustomContextMenuRequested(QPoint pos);
    void slot_RebootClicked();
    void onUpdateBrenu(QModelIndex index);
    void onRebootBrenu(QModelIndex index);
    void onOpenHttpView(QModelIndex index);
    // Mutes the rows of devices that stopped answering; run every second.
    void slot_CheckSilence();
    // Shows beside the device count whether the search can run as it should (port
    // 19009 held, no search socket at all), with the details as a tooltip, and logs
    // each change; run every second.
    void slot_CheckSearch();
    // The selected row to the clipboard as tab-separated text.
    void slot_CopyRow();
    // Asks for a file name and saves the list there as CSV.
    void slot_ExportList();
    // Opens the batch window (non-modal) with the devices listed now (those the
    // filter shows, in the table's order).
    void slot_OpenBatch();
    // The context menu at the current row (Menu key, Shift+F10).
    void OpenMenuAtCurrentRow();
    // Opens the search ranges dialog (modal) and applies and keeps what it returns.
    void slot_EditRanges();

protected:
    // Return on a row opens its settings; the Menu key and Shift+F10 its context menu.
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Saves the list as CSV to path (all or nothing); a warning box tells of a failure.
    bool ExportListTo(const QString &path);
    // Watches the next search answers of a device whose answer to an update was lost;
    // when they show the new settings within kUnansweredUpdateWatchMs, its row's
    // tooltip says so.
    void WatchUnansweredUpdate(const ExpectedSettings &expected);

private:
    void SetUpTable();
    void SetUpMenu();
    void SetUpFilter();
    void SetUpKeys();
    // The first size of the window: see WindowLayout.h (FitWindowSize).
    void FitDefaultSize();
    // Lists or updates the device of one complete record.
    void AddAnswer(const DeviceRecord &record, const InterfaceAddress &heardOn);
    // True, after saying why, when several source addresses answer for a device with
    // `serialNo`: no command goes to it from the window.
    bool RefuseIdentityConflict(const QString &serialNo);
    // QueueAnswer once the queue has room: queues the record if it is complete.
    void QueueRecord(const Vant::CProtocalJson &message, const InterfaceAddress &heardOn,
                     const AnswerSource *source = nullptr);
    // Applies every answer queued by the searchers (once per event-loop turn).
    void TakeAnswers();
    // An answer of a new device while the table is full.
    void NoteUnlisted();
    QString OverflowTip() const;
    // The count as a sentence, the label's accessible description (run after
    // UpdateDeviceCount, once per turn of the event loop).
    void UpdateCountWords();
    // The interface to send a command through on-link to the device of serialNo at
    // `address`, when it lies in a foreign subnet; else empty.
    // Where a command to the row's device goes (device/DeviceCommand.h: TargetOf).
    CommandTarget TargetFor(const QString &serialNo, const QString &address, int port) const;
    void CheckUnansweredUpdate(const DeviceRecord &record, uint32_t tick);

    QUdpCastGroup *m_udpCastGroup = nullptr;
    // See slot_CheckSearch; empty while the search runs as it should.
    QLabel *m_searchState = nullptr;
    // Search ranges (SetRangeSettingsFile); the file is empty when none is kept.
    RangeSettings m_rangeSettings;
    QString m_rangeSettingsFile;
    // The firewall hint (device/FirewallHint.h): answers per interface since the last
    // look, once a search period, and the hint it gave ("" when none).
    std::map<std::string, uint64_t> m_answersByLink;
    FirewallWatch m_firewall;
    QString m_firewallHint;
    QString m_firewallHintTip;
    // Looks at what the firewall may have hidden during the last period.
    void CheckFirewall();
    // Rows added since the last refresh, less the devices rebooted since.
    std::atomic<int> m_deviceCount{0};
    DeviceModel *m_model = nullptr;
    QMenu *m_menu = nullptr;
    QAction *m_actionModify = nullptr;
    QAction *m_actionReboot = nullptr;
    QAction *m_actionCopy = nullptr;
    QAction *m_actionExport = nullptr;
    QAction *m_actionBatch = nullptr;
    QAction *m_actionWeb = nullptr;
    QLineEdit *m_filterEdit = nullptr;
    DeviceFilter *m_filter = nullptr;
    // Made when first opened; kept (hidden) between uses so a run goes on while closed.
    BatchWindow *m_batchWindow = nullptr;
    std::shared_ptr<Vant::IClock> m_clock;
    QTimer *m_silenceTimer = nullptr;
    int m_checksSinceSubnets = 0;
    const int m_maxRows;
    QTimer *m_overflowTipTimer = nullptr;
    QTimer *m_countWordsTimer = nullptr;
    // The batch window's remembered geometry and fields, until it is first opened
    // (a saved geometry that fits no screen is already left out).
    WindowLayout m_batchLayout;
    QList<QRect> m_screens;
    QBrenuInfo *m_infoDialog = nullptr;
    std::unique_ptr<Ui::BrenuSearchToolsClass> ui;
    // Updates whose answer was lost, by serial number (one per row at most: each comes
    // from the operator's own use of the settings dialog), with their deadline tick.
    struct UnansweredUpdate {
        ExpectedSettings expected;
        uint32_t since = 0;
    };
    KeyedTextHash<UnansweredUpdate> m_unansweredUpdates;
    // With DHCP on, the MAC behind the answer that shows an unanswered update.
    SourceMacCheck m_sourceMac;
    // Finds a device's row by serial number; follows m_model by itself.
    DeviceRowIndex *m_rowIndex = nullptr;
    // The searchers' answers on their way to this thread.
    AnswerQueue m_answers{[this] { QMetaObject::invokeMethod(this, [this] { TakeAnswers(); }, Qt::QueuedConnection); }};
};
