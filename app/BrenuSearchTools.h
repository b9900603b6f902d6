#pragma once
// The main window: the live device table, the device count, refresh, the context
// menu, reboot, the web page and the one settings dialog.
#include <QMainWindow>
#include <QModelIndex>
#include <QPoint>
#include <QString>

#include <atomic>
#include <memory>

class QAction;
class QMenu;
class QStandardItemModel;
class QUdpCastGroup;
class QBrenuInfo;
class DeviceRowIndex;
namespace Ui {
class BrenuSearchToolsClass;
}

// Hands one search answer from a searcher's socket thread to the window given as
// `user`: it only makes a string of the text and emits signal_MsgCallBack.
void MsgCallBack(const char *text, int length, void *user);

class BrenuSearchTools : public QMainWindow {
    Q_OBJECT
public:
    explicit BrenuSearchTools(QWidget *parent = nullptr);
    ~BrenuSearchTools() override;

    // Shows the device count in lab_brenuNum.
    void UpdateDeviceCount();

signals:
    void signal_MsgCallBack(QString msg);

protected slots:
    void slot_MsgCallBack(QString msg);
    void slot_RefreshClicked();
    void slot_MenuClicked();
    void slot_OnCustomContextMenuRequested(QPoint pos);
    void slot_RebootClicked();
    void onUpdateBrenu(QModelIndex index);
    void onRebootBrenu(QModelIndex index);
    void onOpenHttpView(QModelIndex index);

private:
    void SetUpTable();

    QUdpCastGroup *m_udpCastGroup = nullptr;
    // Rows added since the last refresh, less the devices rebooted since.
    std::atomic<int> m_deviceCount{0};
    QStandardItemModel *m_model = nullptr;
    QMenu *m_menu = nullptr;
    QAction *m_actionModify = nullptr;
    QAction *m_actionReboot = nullptr;
    QBrenuInfo *m_infoDialog = nullptr;
    std::unique_ptr<Ui::BrenuSearchToolsClass> ui;
    // Finds a device's row by serial number; follows m_model by itself.
    DeviceRowIndex *m_rowIndex = nullptr;
};
