#pragma once
// The main window: the live device table, the device count, refresh, the context
// menu, reboot, the web page and the one settings dialog; silent devices muted, a row
// copied, the list exported.
#include <QHash>
#include <QMainWindow>
#include <QModelIndex>
#include <QPoint>
#include <QString>

#include <atomic>
#include <memory>

#include "app/DeviceModel.h"
#include "device/DeviceRecord.h"
#include "device/VerifiedUpdate.h"
#include "kit/Clock.h"
#include "protocol/LocalAddresses.h"

Q_DECLARE_METATYPE(InterfaceAddress)

class QAction;
class QMenu;
class QTimer;
class QUdpCastGroup;
class QBrenuInfo;
class DeviceRowIndex;
namespace Ui {
class BrenuSearchToolsClass;
}

// Hands one search answer from a searcher's socket thread to the window given as
// `user`: it only makes a string of the text and emits signal_MsgCallBack.
void MsgCallBack(const char *text, int length, void *user);
// The same with the local address that heard it: emits signal_HeardAnswer.
void AnswerCallBack(const char *text, int length, const InterfaceAddress &heardOn, void *user);

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

signals:
    void signal_MsgCallBack(QString msg);
    void signal_HeardAnswer(QString msg, InterfaceAddress heardOn);

protected slots:
    // An answer whose hearing address is not known (counted as heard in the device's subnet).
    void slot_MsgCallBack(QString msg);
    void slot_HeardAnswer(QString msg, InterfaceAddress heardOn);
    void slot_RefreshClicked();
    void slot_MenuClicked();
    void slot_OnCustomContextMenuRequested(QPoint pos);
    void slot_RebootClicked();
    void onUpdateBrenu(QModelIndex index);
    void onRebootBrenu(QModelIndex index);
    void onOpenHttpView(QModelIndex index);
    // Mutes the rows of devices that stopped answering; run every second.
    void slot_CheckSilence();
    // The selected row to the clipboard as tab-separated text.
    void slot_CopyRow();
    // Asks for a file name and saves the list there as CSV.
    void slot_ExportList();

protected:
    // Saves the list as CSV to path (all or nothing); a warning box tells of a failure.
    bool ExportListTo(const QString &path);
    // Watches the next search answers of a device whose answer to an update was lost;
    // when they show the new settings within kUnansweredUpdateWatchMs, its row's
    // tooltip says so.
    void WatchUnansweredUpdate(const ExpectedSettings &expected);

private:
    void SetUpTable();
    void SetUpMenu();
    // An answer of a new device while the table is full.
    void NoteUnlisted();
    QString OverflowTip() const;
    // The interface to send a command through on-link to the device of serialNo at
    // `address`, when it lies in a foreign subnet; else empty.
    QString OnLinkInterface(const QString &serialNo, const QString &address) const;
    void CheckUnansweredUpdate(const DeviceRecord &record, uint32_t tick);

    QUdpCastGroup *m_udpCastGroup = nullptr;
    // Rows added since the last refresh, less the devices rebooted since.
    std::atomic<int> m_deviceCount{0};
    DeviceModel *m_model = nullptr;
    QMenu *m_menu = nullptr;
    QAction *m_actionModify = nullptr;
    QAction *m_actionReboot = nullptr;
    QAction *m_actionCopy = nullptr;
    QAction *m_actionExport = nullptr;
    std::shared_ptr<Vant::IClock> m_clock;
    QTimer *m_silenceTimer = nullptr;
    int m_checksSinceSubnets = 0;
    const int m_maxRows;
    QTimer *m_overflowTipTimer = nullptr;
    QBrenuInfo *m_infoDialog = nullptr;
    std::unique_ptr<Ui::BrenuSearchToolsClass> ui;
    // Updates whose answer was lost, by serial number (one per row at most: each comes
    // from the operator's own use of the settings dialog), with their deadline tick.
    struct UnansweredUpdate {
        ExpectedSettings expected;
        uint32_t since = 0;
    };
    QHash<QString, UnansweredUpdate> m_unansweredUpdates;
    // Finds a device's row by serial number; follows m_model by itself.
    DeviceRowIndex *m_rowIndex = nullptr;
};
