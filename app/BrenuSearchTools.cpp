#include "app/BrenuSearchTools.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QStringList>
#include <QStyle>
#include <QTimer>

#include <string>
#include <vector>

#include "app/BatchWindow.h"
#include "app/DeviceModel.h"
#include "app/DeviceRowIndex.h"
#include "app/DeviceTable.h"
#include "app/QBrenuInfo.h"
#include "app/QMyItemDelegate.h"
#include "app/UiTexts.h"
#include "kit/Log.h"
#include "protocol/UdpCastGroup.h"
#include "ui_BrenuSearchTools.h"

namespace {

// How often rows are checked for devices gone silent. Silence counts in whole search
// periods, so a row greys at most a second late; the check itself looks only at the
// devices that went silent since the last one.
constexpr int kSilenceCheckMs = 1000;
// Every this many checks (one search period) the local subnets are read again.
constexpr int kSubnetReadChecks = 5;

// The log context of what the window says about the search itself.
constexpr const char *kSearchLogTag = "Search";

QString Lines(const std::vector<std::string> &lines)
{
    QStringList text;
    for (const std::string &line : lines)
        text << QString::fromUtf8(line.c_str());
    return text.join(QLatin1Char('\n'));
}

} // namespace

BrenuSearchTools::BrenuSearchTools(QWidget *parent, WindowOptions options)
    : QMainWindow(parent),
      m_clock(options.clock ? std::move(options.clock) : Vant::SystemClock()),
      m_maxRows(options.maxRows),
      ui(new Ui::BrenuSearchToolsClass)
{
    ui->setupUi(this);
    SetUpMenu();
    // Beside the device count, empty while the search runs as it should.
    m_searchState = new QLabel(this);
    m_searchState->setObjectName(QStringLiteral("lab_searchState"));
    m_searchState->setStyleSheet(QStringLiteral("color: rgb(220, 80, 0);"));
    ui->horizontalLayout->insertWidget(ui->horizontalLayout->indexOf(ui->lab_brenuNum) + 1, m_searchState);

    qRegisterMetaType<InterfaceAddress>();
    m_model = new DeviceModel(this, m_maxRows);
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        m_model->setHorizontalHeaderItem(column, new QStandardItem(DeviceTable::HeaderText(column)));
    m_rowIndex = new DeviceRowIndex(m_model, DeviceTable::ColSerialNo, DeviceTable::kSerialNoRole, this);
    SetUpTable();

    m_silenceTimer = new QTimer(this);
    connect(m_silenceTimer, &QTimer::timeout, this, &BrenuSearchTools::slot_CheckSilence);
    connect(m_silenceTimer, &QTimer::timeout, this, &BrenuSearchTools::slot_CheckSearch);
    m_silenceTimer->start(kSilenceCheckMs);
    m_overflowTipTimer = new QTimer(this);
    m_overflowTipTimer->setSingleShot(true);
    m_overflowTipTimer->setInterval(0);
    connect(m_overflowTipTimer, &QTimer::timeout, this, &BrenuSearchTools::UpdateDeviceCount);

    connect(this, &BrenuSearchTools::signal_MsgCallBack, this, &BrenuSearchTools::slot_MsgCallBack);
    connect(this, &BrenuSearchTools::signal_HeardAnswer, this, &BrenuSearchTools::slot_HeardAnswer);
    connect(ui->btn_refresh, &QPushButton::clicked, this, &BrenuSearchTools::slot_RefreshClicked);
    connect(ui->btn_reboot, &QPushButton::clicked, this, &BrenuSearchTools::slot_RebootClicked);
    connect(ui->tabView_brenu, &QTableView::doubleClicked, this, &BrenuSearchTools::onOpenHttpView);
    connect(ui->tabView_brenu, &QTableView::customContextMenuRequested, this,
            &BrenuSearchTools::slot_OnCustomContextMenuRequested);

    // The search runs from here until the destructor; answers arrive through
    // AnswerCallBack on the searchers' socket threads.
    m_udpCastGroup = new QUdpCastGroup(MsgCallBack, this);
    m_udpCastGroup->SetAnswerCallBack(AnswerCallBack);
    m_udpCastGroup->Start();

    m_infoDialog = new QBrenuInfo(this);

    m_deviceCount.store(0);
}

BrenuSearchTools::~BrenuSearchTools()
{
    // Stop returns only after every searcher thread has ended, so no callback can
    // reach the window while it is taken apart.
    if (m_udpCastGroup) {
        m_udpCastGroup->Stop();
        delete m_udpCastGroup;
        m_udpCastGroup = nullptr;
    }
    delete m_infoDialog;
    m_infoDialog = nullptr;
    delete m_batchWindow;
    m_batchWindow = nullptr;
}

void BrenuSearchTools::SetUpMenu()
{
    m_menu = new QMenu(this);
    m_actionModify = new QAction(UiText::MenuModify(), m_menu);
    connect(m_actionModify, &QAction::triggered, this, &BrenuSearchTools::slot_MenuClicked);
    m_menu->addAction(m_actionModify);
    m_actionReboot = new QAction(UiText::MenuReboot(), m_menu);
    connect(m_actionReboot, &QAction::triggered, this, &BrenuSearchTools::slot_MenuClicked);
    m_menu->addAction(m_actionReboot);

    m_menu->addSeparator();
    // The same action serves the menu and Ctrl+C on the table.
    m_actionCopy = new QAction(UiText::MenuCopy(), m_menu);
    m_actionCopy->setShortcut(QKeySequence::Copy);
    m_actionCopy->setShortcutContext(Qt::WidgetShortcut);
    connect(m_actionCopy, &QAction::triggered, this, &BrenuSearchTools::slot_CopyRow);
    m_menu->addAction(m_actionCopy);
    ui->tabView_brenu->addAction(m_actionCopy);
    m_actionExport = new QAction(UiText::MenuExport(), m_menu);
    connect(m_actionExport, &QAction::triggered, this, &BrenuSearchTools::slot_ExportList);
    m_menu->addAction(m_actionExport);
    // Ctrl+B opens it from anywhere in the window, not only from the menu.
    m_actionBatch = new QAction(UiText::MenuBatch(), this);
    m_actionBatch->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    m_actionBatch->setShortcutContext(Qt::WindowShortcut);
    connect(m_actionBatch, &QAction::triggered, this, &BrenuSearchTools::slot_OpenBatch);
    m_menu->addAction(m_actionBatch);
    addAction(m_actionBatch);
}

void BrenuSearchTools::SetUpTable()
{
    QTableView *view = ui->tabView_brenu;
    view->setModel(m_model);
    m_model->Devices().SetLocalSubnets(ReadLocalSubnets());
    m_model->SetSilentBrush(view->palette().brush(QPalette::Disabled, QPalette::Text));
    m_model->SetMarkIcons(view->style()->standardIcon(QStyle::SP_MessageBoxWarning),
                          view->style()->standardIcon(QStyle::SP_MessageBoxInformation));
    QHeaderView *header = view->horizontalHeader();
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        header->resizeSection(column, DeviceTable::ColumnWidth(column));
    for (int column = 0; column < DeviceTable::ColDescription; ++column)
        header->setSectionResizeMode(column, QHeaderView::Fixed);
    header->setSectionResizeMode(DeviceTable::ColDescription, QHeaderView::Stretch);
    header->setFixedHeight(30);
    header->setHighlightSections(false);
    header->setSectionsMovable(false);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setItemDelegate(new QMyItemDelegate(view));
    view->setSortingEnabled(true);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
}

void BrenuSearchTools::UpdateDeviceCount()
{
    const bool overflowed = m_model->Devices().Overflowed();
    QString text = QString::number(m_deviceCount.load(), 10);
    if (overflowed)
        text += QLatin1Char('+');
    ui->lab_brenuNum->setText(text);
    ui->lab_brenuNum->setToolTip(overflowed ? OverflowTip() : QString());
}

void BrenuSearchTools::slot_CheckSearch()
{
    if (!m_udpCastGroup)
        return;
    QString text, tip;
    const std::string cannot = m_udpCastGroup->CannotSearchReason();
    const std::vector<std::string> otherPort = m_udpCastGroup->OtherPortNotes();
    if (!cannot.empty()) {
        text = tr("无法搜索");
        tip = tr("没有一个搜索端口能打开，每 5 秒重试：\n") + QString::fromUtf8(cannot.c_str());
    } else if (!otherPort.empty()) {
        text = tr("端口 19009 被占用");
        tip = tr("已改用其他端口搜索；只回复到端口 19009 的设备收不到：\n") + Lines(otherPort);
    }
    if (text == m_searchState->text() && tip == m_searchState->toolTip())
        return;
    m_searchState->setText(text);
    m_searchState->setToolTip(tip);
    QString line = text.isEmpty() ? QStringLiteral("search runs on port 19009") : text + QLatin1Char(' ') + tip;
    Vant::LogWrite(kSearchLogTag, line.replace(QLatin1Char('\n'), QStringLiteral("; ")).toUtf8().toStdString());
}

void BrenuSearchTools::slot_RefreshClicked()
{
    m_model->RemoveAllRows();
    m_model->Devices().Clear();
    m_deviceCount.exchange(0);
    UpdateDeviceCount();
}

void BrenuSearchTools::slot_CheckSilence()
{
    m_model->CheckSilence(m_clock->Tick());
    // The local subnets decide which devices are marked foreign; they are read again
    // once per search period, as the search group reads the addresses.
    if (++m_checksSinceSubnets >= kSubnetReadChecks) {
        m_checksSinceSubnets = 0;
        m_model->Devices().SetLocalSubnets(ReadLocalSubnets());
    }
}

void BrenuSearchTools::slot_OpenBatch()
{
    if (!m_batchWindow) {
        // It sees every answer the window takes (AddAnswer).
        m_batchWindow = new BatchWindow(this);
    }
    // An open window keeps its list and the results of its last run.
    if (!m_batchWindow->Running() && !m_batchWindow->isVisible()) {
        const DeviceList &list = m_model->Devices();
        std::vector<BatchRow> rows;
        for (const HeardDevice &device : list.Devices()) {
            BatchRow row;
            row.device = device;
            row.foreignSubnet = device.foreignSubnet;
            const DeviceConflicts conflicts = list.Conflicts(device, kMaxNamedInTip);
            QStringList tips;
            if (!conflicts.sameSerial.isEmpty())
                tips << UiText::BatchSameSerialTip().arg(NameSome(conflicts.sameSerial, conflicts.moreSameSerial));
            if (!conflicts.sameAddress.isEmpty())
                tips << UiText::BatchSameAddressTip().arg(NameSome(conflicts.sameAddress, conflicts.moreSameAddress));
            row.conflict = tips.join(QLatin1Char('\n'));
            rows.push_back(std::move(row));
        }
        m_batchWindow->SetDevices(std::move(rows));
    }
    m_batchWindow->show();
    m_batchWindow->raise();
    m_batchWindow->activateWindow();
}
