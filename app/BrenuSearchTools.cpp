#include "app/BrenuSearchTools.h"

#include <QAccessible>
#include <QAction>
#include <QHBoxLayout>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QStringList>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <string>
#include <vector>

#include "app/AccessibleLabels.h"
#include "app/AccessibleTable.h"
#include "app/BatchWindow.h"
#include "app/DeviceFilter.h"
#include "app/DeviceModel.h"
#include "app/DeviceRowIndex.h"
#include "app/DeviceTable.h"
#include "app/QBrenuInfo.h"
#include "app/QMyItemDelegate.h"
#include "app/UiTexts.h"
#include "device/DeviceSearch.h"
#include "device/SaidText.h"
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
    // Problems device/ explains (destinations, settings rules, plans, verification)
    // are shown in the window's language, not in brenu-search's English.
    SayInOperatorLanguage();
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
    m_countWordsTimer = new QTimer(this);
    m_countWordsTimer->setSingleShot(true);
    m_countWordsTimer->setInterval(0);
    connect(m_countWordsTimer, &QTimer::timeout, this, &BrenuSearchTools::UpdateCountWords);
    SetUpTable();
    SetUpFilter();
    SetUpKeys();
    FitDefaultSize();

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
    m_firewall.Begin();
    m_udpCastGroup->Start();

    // Devices behind routers: ranges searched by unicast (SearchRangesDialog.h).
    auto *ranges = new QPushButton(tr("搜索网段…"), this);
    ranges->setObjectName(QStringLiteral("btn_ranges"));
    ranges->setToolTip(tr("搜索路由器后面的网段"));
    ui->horizontalLayout->insertWidget(ui->horizontalLayout->indexOf(ui->btn_refresh) + 1, ranges);
    connect(ranges, &QPushButton::clicked, this, &BrenuSearchTools::slot_EditRanges);

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
    m_model->SetRowNumbers(nullptr);
    delete m_batchWindow;
    m_batchWindow = nullptr;
}

void BrenuSearchTools::FitDefaultSize()
{
    // Wide enough for every column at its default width where the screen allows it,
    // never larger than the screen's available area (at a scale factor of 2 a
    // 1920 x 1080 screen offers 960 x 540): narrower, the table scrolls sideways.
    const QTableView *view = ui->tabView_brenu;
    int table = 2 * view->frameWidth() + view->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                view->fontMetrics().horizontalAdvance(QStringLiteral("000000"));
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        table += DeviceTable::ColumnWidth(column);
    const QMargins margins = ui->verticalLayout->contentsMargins();
    const QSize wanted(std::max(width(), table + margins.left() + margins.right()), height());
    resize(FitWindowSize(wanted, screen()->availableGeometry()));
}

void BrenuSearchTools::SetUpFilter()
{
    // Above the table, before the buttons.
    m_filterEdit = new QLineEdit(this);
    m_filterEdit->setObjectName(QStringLiteral("edt_filter"));
    m_filterEdit->setPlaceholderText(tr("筛选: 序列号、地址、物理地址、描述 (Ctrl+F)"));
    m_filterEdit->setClearButtonEnabled(true);
    m_filterEdit->setMinimumWidth(260);
    m_filterEdit->setAccessibleName(tr("筛选设备"));
    m_filterEdit->setAccessibleDescription(tr("只显示序列号、地址、物理地址或描述包含此文本的设备"));
    // The box's own clear button (Qt's, made by setClearButtonEnabled).
    for (QToolButton *button : m_filterEdit->findChildren<QToolButton *>()) {
        button->setAccessibleName(tr("清除筛选"));
        button->setToolTip(tr("清除筛选 (Esc)"));
    }
    ui->horizontalLayout->insertWidget(ui->horizontalLayout->indexOf(ui->btn_reboot), m_filterEdit);
    m_filter = new DeviceFilter(m_model, ui->tabView_brenu, this);
    m_model->SetRowNumbers(m_filter);
    connect(m_filterEdit, &QLineEdit::textChanged, m_filter, &DeviceFilter::SetText);
    connect(m_filter, &DeviceFilter::shownChanged, this, &BrenuSearchTools::UpdateDeviceCount);
    // A screen reader is told of the rows shown, not of every row the model holds.
    UseShownRowsTable(ui->tabView_brenu, m_filter);
    connect(m_filter, &DeviceFilter::shownChanged, this, [this] { AnnounceShownRowsChanged(ui->tabView_brenu); });
    // Esc in the box empties it.
    auto *clear = new QAction(m_filterEdit);
    clear->setShortcut(QKeySequence(Qt::Key_Escape));
    clear->setShortcutContext(Qt::WidgetShortcut);
    connect(clear, &QAction::triggered, m_filterEdit, &QLineEdit::clear);
    m_filterEdit->addAction(clear);
}

void BrenuSearchTools::SetUpKeys()
{
    auto windowKey = [this](const QKeySequence &key, auto slot) {
        auto *action = new QAction(this);
        action->setShortcut(key);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
        return action;
    };
    windowKey(QKeySequence(Qt::Key_F5), [this] { ui->btn_refresh->click(); });
    windowKey(QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
    windowKey(QKeySequence(Qt::CTRL | Qt::Key_F), [this] {
        m_filterEdit->setFocus(Qt::ShortcutFocusReason);
        m_filterEdit->selectAll();
    });
    ui->btn_refresh->setToolTip(tr("清空列表并重新搜索 (F5)"));

    QTableView *view = ui->tabView_brenu;
    // Tab moves on to the next control, not from cell to cell.
    view->setTabKeyNavigation(false);
    view->installEventFilter(this);

    // What a screen reader says. The count and the search state report their name
    // and, apart from it, what they show (AccessibleLabels.h).
    ShowsCount(ui->lab_brenuNum, tr("设备总数"), m_maxRows);
    UpdateDeviceCount();
    ShowsValue(m_searchState, tr("搜索状态"));
    IsSeparator(ui->label_2);
    view->setAccessibleName(tr("设备列表"));
    view->setAccessibleDescription(tr("回车: 修改配置; 菜单键: 更多操作"));
    ui->btn_reboot->setAccessibleDescription(tr("重启选中的设备"));
}

bool BrenuSearchTools::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->tabView_brenu) {
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
            if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && modifiers == Qt::NoModifier) {
                const QModelIndex current = ui->tabView_brenu->currentIndex();
                if (current.isValid() && m_filter->IsShown(current.row()))
                    onUpdateBrenu(current);
                return true;
            }
            if (key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier)) {
                OpenMenuAtCurrentRow();
                return true;
            }
        } else if (event->type() == QEvent::ContextMenu &&
                   static_cast<QContextMenuEvent *>(event)->reason() == QContextMenuEvent::Keyboard) {
            OpenMenuAtCurrentRow();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void BrenuSearchTools::OpenMenuAtCurrentRow()
{
    QTableView *view = ui->tabView_brenu;
    const QModelIndex current = view->currentIndex();
    if (!current.isValid() || !m_filter->IsShown(current.row()))
        return;
    view->scrollTo(current);
    const QRect cell = view->visualRect(current.sibling(current.row(), DeviceTable::ColSerialNo));
    m_menu->exec(view->viewport()->mapToGlobal(QPoint(cell.left() + 8, cell.bottom())));
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
    // What a double click does, for the keyboard.
    m_actionWeb = new QAction(tr("打开网页"), m_menu);
    connect(m_actionWeb, &QAction::triggered, this, [this] {
        const QModelIndex current = ui->tabView_brenu->currentIndex();
        if (current.isValid())
            onOpenHttpView(current);
    });
    m_menu->addAction(m_actionWeb);

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
    // The operator may narrow or widen every column; the description takes what is
    // left, but never less than its own width: in a window narrower than the columns
    // it stays readable at the end of the horizontal scroll bar (a stretched section
    // would shrink to a sliver there).
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        header->setSectionResizeMode(column, QHeaderView::Interactive);
    header->setStretchLastSection(true);
    header->setFixedHeight(30);
    header->setHighlightSections(false);
    header->setSectionsMovable(false);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setItemDelegate(new QMyItemDelegate(view));
    // No sort until the operator clicks a column title: without this the header shows
    // Qt's default indicator (first column, descending) over rows in arrival order,
    // and that sort would be remembered as if chosen.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    view->setSortingEnabled(true);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
}

void BrenuSearchTools::UpdateDeviceCount()
{
    const bool overflowed = m_model->Devices().Overflowed();
    const int listed = m_deviceCount.load();
    QString text = QString::number(listed, 10);
    if (overflowed)
        text += QLatin1Char('+');
    // While filtering: shown / listed.
    if (m_filter && m_filter->Active())
        text = QString::number(m_filter->ShownCount()) + QStringLiteral(" / ") + text;
    ui->lab_brenuNum->setText(text);
    ui->lab_brenuNum->setToolTip(overflowed ? OverflowTip() : QString());
    SetShownCount(ui->lab_brenuNum, listed);
    // The sentence once per turn of the event loop, not once per row of a search round.
    if (!m_countWordsTimer->isActive())
        m_countWordsTimer->start();
}

void BrenuSearchTools::UpdateCountWords()
{
    // A sentence for a screen reader, which hears the number also as the label's value.
    QString said = tr("已列出 %n 台设备", nullptr, m_deviceCount.load());
    if (m_filter && m_filter->Active())
        said = tr("显示 %n 台设备", nullptr, m_filter->ShownCount()) + QStringLiteral(", ") + said;
    const QString tip = ui->lab_brenuNum->toolTip();
    if (!tip.isEmpty())
        said += QStringLiteral("; ") + tip;
    if (said != ui->lab_brenuNum->accessibleDescription())
        ui->lab_brenuNum->setAccessibleDescription(said);
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
    } else if (!m_firewallHint.isEmpty()) {
        text = m_firewallHint;
        tip = m_firewallHintTip;
    }
    if (text == m_searchState->text() && tip == m_searchState->toolTip())
        return;
    m_searchState->setText(text);
    m_searchState->setToolTip(tip);
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent changed(m_searchState, text);
        QAccessible::updateAccessibility(&changed);
    }
    QString line = text.isEmpty() ? QStringLiteral("search runs on port 19009") : text + QLatin1Char(' ') + tip;
    Vant::LogWrite(kSearchLogTag, line.replace(QLatin1Char('\n'), QStringLiteral("; ")).toUtf8().toStdString());
}

void BrenuSearchTools::SetRangeSettingsFile(const QString &path)
{
    m_rangeSettingsFile = path;
    QSettings settings(path, QSettings::IniFormat);
    ApplyRangeSettings(ReadRangeSettings(settings));
}

void BrenuSearchTools::ApplyRangeSettings(const RangeSettings &choices)
{
    m_rangeSettings = choices;
    QString problem;
    const SearchRanges searched = choices.Searched(LocalAddresses(), &problem);
    if (!problem.isEmpty())
        Vant::LogWrite(kSearchLogTag, ("search range left out: " + problem).toUtf8().toStdString());
    m_model->Devices().SetRanges(searched);
    if (m_udpCastGroup)
        m_udpCastGroup->SetRanges(searched, choices.rate);
}

void BrenuSearchTools::slot_EditRanges()
{
    SearchRangesDialog dialog(m_rangeSettings, LocalAddresses(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    ApplyRangeSettings(dialog.Settings());
    if (m_rangeSettingsFile.isEmpty())
        return;
    QSettings settings(m_rangeSettingsFile, QSettings::IniFormat);
    WriteRangeSettings(settings, m_rangeSettings);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        Vant::LogWrite("Settings", ("cannot write " + settings.fileName()).toUtf8().toStdString());
}

void BrenuSearchTools::CheckFirewall()
{
    std::vector<std::string> searched;
    if (m_udpCastGroup)
        for (const QUdpCastGroup::SearcherState &state : m_udpCastGroup->SearcherStates())
            searched.push_back(state.target.device);
    const uint64_t dropped = m_firewall.Dropped();
    m_firewall.Begin();
    const std::vector<std::string> silent = SilentLinks(searched, m_answersByLink);
    m_answersByLink.clear();
    if (silent.empty() || dropped == 0) {
        m_firewallHint.clear();
        m_firewallHintTip.clear();
        return;
    }
    m_firewallHint = tr("防火墙可能拦截了设备的应答");
    m_firewallHintTip = tr("网卡 %1 没有收到任何应答, 而本机防火墙丢弃了 %2 个传入的数据包。\n"
                           "请放行 UDP 端口 19009:\n%3")
                            .arg(Lines(silent).replace(QLatin1Char('\n'), QStringLiteral(", ")))
                            .arg(dropped)
                            .arg(QString::fromStdString(FirewallFixText()).replace(QStringLiteral("; or "),
                                                                                   QStringLiteral("\n")));
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
        CheckFirewall();
    }
}

namespace {

// When a remembered sort is applied to the rows: once the answers to the first search
// request (sent at the start) are in, well before the second one (5 s). Rows that come
// later are added at the end, as after any click on a column title.
constexpr int kRestoredSortMs = 3000;

} // namespace

WindowLayout BrenuSearchTools::Layout() const
{
    WindowLayout layout = m_batchLayout;
    layout.geometry = normalGeometry();
    layout.maximized = isMaximized();
    const QHeaderView *header = ui->tabView_brenu->horizontalHeader();
    layout.columnWidths.clear();
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        layout.columnWidths.append(header->sectionSize(column));
    layout.sortColumn = header->isSortIndicatorShown() ? header->sortIndicatorSection() : -1;
    if (layout.sortColumn >= DeviceTable::ColumnCount)
        layout.sortColumn = -1;
    layout.sortOrder = header->sortIndicatorOrder();
    if (m_batchWindow) {
        layout.batchGeometry = m_batchWindow->normalGeometry();
        layout.hasBatchFields = true;
        layout.batchFields = m_batchWindow->Fields();
    }
    return layout;
}

void BrenuSearchTools::ApplyLayout(const WindowLayout &layout, const QList<QRect> &screens)
{
    m_screens = screens;
    if (layout.geometry.isValid()) {
        const QRect fitted = ClampToScreens(layout.geometry, screens);
        if (fitted.isValid())
            setGeometry(fitted);
    }
    if (layout.maximized)
        setWindowState(windowState() | Qt::WindowMaximized);
    QHeaderView *header = ui->tabView_brenu->horizontalHeader();
    if (layout.columnWidths.size() == DeviceTable::ColumnCount) {
        // The description stretches: its width follows from the others.
        for (int column = 0; column < DeviceTable::ColDescription; ++column)
            header->resizeSection(column, layout.columnWidths[column]);
    }
    if (layout.sortColumn >= 0 && layout.sortColumn < DeviceTable::ColumnCount) {
        ui->tabView_brenu->sortByColumn(layout.sortColumn, layout.sortOrder);
        QTimer::singleShot(kRestoredSortMs, this, [this] {
            const QHeaderView *shown = ui->tabView_brenu->horizontalHeader();
            m_model->sort(shown->sortIndicatorSection(), shown->sortIndicatorOrder());
        });
    }
    m_batchLayout = layout;
    if (m_batchLayout.batchGeometry.isValid())
        m_batchLayout.batchGeometry = ClampToScreens(m_batchLayout.batchGeometry, screens);
}

void BrenuSearchTools::slot_OpenBatch()
{
    if (!m_batchWindow) {
        // It sees every answer the window takes (AddAnswer).
        m_batchWindow = new BatchWindow(this);
        if (m_batchLayout.batchGeometry.isValid())
            m_batchWindow->setGeometry(m_batchLayout.batchGeometry);
        if (m_batchLayout.hasBatchFields)
            m_batchWindow->SetFields(m_batchLayout.batchFields);
    }
    // An open window keeps its list and the results of its last run.
    if (!m_batchWindow->Running() && !m_batchWindow->isVisible()) {
        const DeviceList &list = m_model->Devices();
        std::vector<HeardDevice> devices;
        if (m_filter->Active()) {
            for (int row : m_filter->ShownRows()) {
                const QString serialNo =
                    m_model->index(row, DeviceTable::ColSerialNo).data(DeviceTable::kSerialNoRole).toString();
                for (HeardDevice &device : list.WithSerial(serialNo))
                    devices.push_back(std::move(device));
            }
        } else {
            devices = list.Devices();
        }
        std::vector<BatchRow> rows;
        for (const HeardDevice &device : devices) {
            BatchRow row;
            row.device = device;
            row.foreignSubnet = device.foreignSubnet;
            const DeviceConflicts conflicts = list.Conflicts(device, kMaxNamedInTip);
            QStringList tips;
            if (!conflicts.sameSerial.isEmpty())
                tips << UiText::BatchSameSerialTip().arg(NameSome(conflicts.sameSerial, conflicts.moreSameSerial));
            if (!conflicts.sameAddress.isEmpty())
                tips << UiText::BatchSameAddressTip().arg(NameSome(conflicts.sameAddress, conflicts.moreSameAddress));
            if (!conflicts.sameIdentity.isEmpty())
                tips << UiText::IdentityConflictTip().arg(NameSome(conflicts.sameIdentity));
            row.conflict = tips.join(QLatin1Char('\n'));
            rows.push_back(std::move(row));
        }
        m_batchWindow->SetDevices(std::move(rows));
    }
    m_batchWindow->show();
    m_batchWindow->raise();
    m_batchWindow->activateWindow();
}
