#include "app/BatchWindow.h"

#include "app/DeviceListText.h"
#include "app/QMyItemDelegate.h"
#include "device/Delivery.h"
#include "device/SaveFile.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "app/DeviceTable.h"
#include "app/UiTexts.h"
#include "device/ColumnTitles.h"
#include "device/DeviceRecord.h"
#include "device/KeyedText.h"

namespace {

QString PlanProblemUiText(const PlanProblem &problem)
{
    QString what;
    switch (problem.kind) {
    case PlanProblem::NoHeader: what = QCoreApplication::translate("BatchWindow", "表头缺少列 %1").arg(problem.text); break;
    case PlanProblem::BadQuoting: what = QCoreApplication::translate("BatchWindow", "引号未闭合"); break;
    case PlanProblem::FieldCount: what = QCoreApplication::translate("BatchWindow", "列数与表头不符"); break;
    case PlanProblem::NoSerial: what = QCoreApplication::translate("BatchWindow", "缺少设备序列号"); break;
    case PlanProblem::BadDhcp: what = QCoreApplication::translate("BatchWindow", "DHCP 值 \"%1\" 无效").arg(problem.text); break;
    case PlanProblem::BadAddress: what = QCoreApplication::translate("BatchWindow", "%1 不是 IPv4 地址").arg(problem.text); break;
    case PlanProblem::DuplicateSerial: what = QCoreApplication::translate("BatchWindow", "序列号 %1 重复").arg(problem.text); break;
    case PlanProblem::TooManyRows: what = QCoreApplication::translate("BatchWindow", "行数超过 %1").arg(kMaxPlanRows); break;
    case PlanProblem::TooLarge: what = QCoreApplication::translate("BatchWindow", "文件超过 %1 字节").arg(kMaxPlanFileBytes); break;
    case PlanProblem::Encoding: what = QCoreApplication::translate("BatchWindow", "含有 NUL 字节或非 UTF-8 字节"); break;
    case PlanProblem::DuplicateColumn: what = QCoreApplication::translate("BatchWindow", "表头重复列 %1").arg(problem.text); break;
    }
    return UiText::BatchPlanProblemLine().arg(problem.line).arg(what);
}

// At most this many problems are listed in one message box; a plan with more is
// wrong as a whole, and a box taller than the screen cannot be closed.
constexpr int kMaxProblemsShown = 20;

QString ProblemList(const QStringList &problems)
{
    QStringList shown = problems.mid(0, kMaxProblemsShown);
    if (problems.size() > kMaxProblemsShown)
        shown << QStringLiteral("... (%1)").arg(problems.size());
    return shown.join(QLatin1Char('\n'));
}

} // namespace

BatchWindow::BatchWindow(QWidget *parent, BatchWindowOptions options)
    : QDialog(parent), m_options(std::move(options))
{
    setWindowTitle(UiText::BatchTitle());
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint);
    // Never larger than the screen's available area (a scale factor of 2 halves it).
    resize(FitWindowSize(QSize(1000, 560), screen()->availableGeometry()));
    m_local = m_options.local ? *m_options.local : LocalSubnets{};
    ReadLocal();
    if (!m_options.sender)
        m_options.sender = SendUpdate;
    if (!m_options.probe) {
        // Through the interface whose subnet holds the candidates, else through all; the
        // machine's addresses as they are when the probe runs.
        m_options.probe = [](const std::vector<Ipv4> &candidates) {
            const LocalSubnets local = ReadLocalSubnets();
            const Ipv4 first = candidates.empty() ? 0 : candidates.front();
            return ProbeNeighbours(candidates, ProbeInterfacesFor(first, DefaultMask(first, local), local));
        };
    }

    m_model = new BatchModel(this);
    m_view = new QTableView(this);
    m_view->setObjectName(QStringLiteral("tabView_batch"));
    m_view->setModel(m_model);
    m_view->setItemDelegate(new QMyItemDelegate(m_view)); // device text shown safely, as in the main table
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->verticalHeader()->setVisible(false);
    // Tab moves on to the next control, not from cell to cell.
    m_view->setTabKeyNavigation(false);
    m_view->setAccessibleName(UiText::BatchTitle());
    m_view->horizontalHeader()->setStretchLastSection(true);
    const int widths[] = {170, 140, 110, 70, 110};
    for (int column = 0; column < 5; ++column)
        m_view->horizontalHeader()->resizeSection(column, widths[column]);

    auto button = [this](const QString &text, const char *name) {
        auto *made = new QPushButton(text, this);
        made->setObjectName(QLatin1String(name));
        made->setAutoDefault(false);
        return made;
    };
    auto *selections = new QHBoxLayout;
    QPushButton *all = button(UiText::BatchAll(), "btn_all");
    QPushButton *none = button(UiText::BatchNone(), "btn_none");
    QPushButton *foreign = button(UiText::BatchForeignOnly(), "btn_foreign");
    QPushButton *conflict = button(UiText::BatchConflictOnly(), "btn_conflict");
    for (QPushButton *each : {all, none, foreign, conflict})
        selections->addWidget(each);
    selections->addStretch();

    auto field = [this](const char *name) {
        auto *edit = new QLineEdit(this);
        edit->setObjectName(QLatin1String(name));
        edit->setMaxLength(15);
        connect(edit, &QLineEdit::textEdited, this, [this] {
            m_fieldsChosen = true;
            m_planEntries.clear(); // typing returns from a plan file to the address plan
            Recompute();
        });
        return edit;
    };
    m_dhcp = new QCheckBox(UiText::BatchDhcp(), this);
    m_dhcp->setObjectName(QStringLiteral("cb_dhcp"));
    m_start = field("edt_start");
    m_mask = field("edt_mask");
    m_gateway = field("edt_gateway");
    m_dns = field("edt_dns");
    auto *settings = new QFormLayout;
    settings->addRow(m_dhcp);
    settings->addRow(UiText::BatchStart(), m_start);
    settings->addRow(DeviceColumnShownTitle(DeviceColumn::SubnetMask), m_mask);
    settings->addRow(DeviceColumnShownTitle(DeviceColumn::Gateway), m_gateway);
    settings->addRow(DeviceColumnShownTitle(DeviceColumn::Dns), m_dns);
    // Named for a screen reader as their labels name them.
    m_start->setAccessibleName(UiText::BatchStart());
    m_mask->setAccessibleName(DeviceColumnShownTitle(DeviceColumn::SubnetMask));
    m_gateway->setAccessibleName(DeviceColumnShownTitle(DeviceColumn::Gateway));
    m_dns->setAccessibleName(DeviceColumnShownTitle(DeviceColumn::Dns));

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("bar_progress"));
    m_progress->setValue(0);
    m_progress->setAccessibleName(UiText::BatchProgress());
    m_import = button(UiText::BatchImport(), "btn_import");
    m_apply = button(UiText::BatchApply(), "btn_apply");
    m_save = button(UiText::BatchSave(), "btn_save");
    QPushButton *close = button(UiText::BatchClose(), "btn_close");
    auto *actions = new QHBoxLayout;
    actions->addWidget(m_progress, 1);
    for (QPushButton *each : {m_import, m_apply, m_save, close})
        actions->addWidget(each);

    auto *top = new QHBoxLayout;
    auto *left = new QVBoxLayout;
    left->addLayout(selections);
    left->addWidget(m_view, 1);
    top->addLayout(left, 1);
    top->addLayout(settings);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(actions);

    m_probeTimer = new QTimer(this);
    m_probeTimer->setSingleShot(true);
    m_probeTimer->setInterval(kProbeDelayMs);
    connect(m_probeTimer, &QTimer::timeout, this, &BatchWindow::StartProbe);
    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(kPollMs);
    connect(m_pollTimer, &QTimer::timeout, this, &BatchWindow::Poll);

    connect(all, &QPushButton::clicked, this, [this] { m_model->CheckWhere([](const BatchRow &) { return true; }); });
    connect(none, &QPushButton::clicked, this, [this] { m_model->CheckWhere([](const BatchRow &) { return false; }); });
    connect(foreign, &QPushButton::clicked, this,
            [this] { m_model->CheckWhere([](const BatchRow &row) { return row.foreignSubnet; }); });
    connect(conflict, &QPushButton::clicked, this,
            [this] { m_model->CheckWhere([](const BatchRow &row) { return !row.conflict.isEmpty(); }); });
    connect(m_model, &BatchModel::checksChanged, this, [this] {
        SuggestFields();
        Recompute();
    });
    connect(m_dhcp, &QCheckBox::toggled, this, [this](bool on) {
        for (QLineEdit *edit : {m_start, m_mask, m_gateway, m_dns})
            edit->setEnabled(!on);
        m_planEntries.clear();
        Recompute();
    });
    connect(m_apply, &QPushButton::clicked, this, &BatchWindow::Apply);
    connect(m_import, &QPushButton::clicked, this, &BatchWindow::ImportClicked);
    connect(m_save, &QPushButton::clicked, this, &BatchWindow::SaveClicked);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
}

BatchFields BatchWindow::Fields() const
{
    return {m_start->text(), m_mask->text(), m_gateway->text(), m_dns->text()};
}

void BatchWindow::SuggestFields()
{
    if (m_fieldsChosen)
        return;
    std::vector<HeardDevice> checked;
    for (int row : m_model->CheckedRows())
        checked.push_back(m_model->Rows()[static_cast<size_t>(row)].device);
    const SuggestedSettings suggested = SuggestBatchSettings(checked, AllDevices(), m_local);
    m_start->setText(suggested.start);
    m_mask->setText(suggested.mask);
    m_gateway->setText(suggested.gateway);
    m_dns->setText(suggested.dns);
}

void BatchWindow::SetFields(const BatchFields &fields)
{
    m_fieldsChosen = true;
    m_start->setText(fields.start);
    m_mask->setText(fields.mask);
    m_gateway->setText(fields.gateway);
    m_dns->setText(fields.dns);
    Recompute();
}

BatchWindow::~BatchWindow()
{
    // The probe thread finishes its round (at most kNeighbourProbeWaitMs); the run's
    // destructor waits for the requests under way and sends no more.
    if (m_probeThread.joinable())
        m_probeThread.join();
    if (m_job)
        m_job->Cancel();
}

void BatchWindow::ReadLocal()
{
    if (!m_options.local)
        m_local = ReadLocalSubnets();
}

bool BatchWindow::Running() const
{
    return m_pollTimer->isActive();
}

void BatchWindow::SetDevices(std::vector<BatchRow> rows)
{
    if (Running())
        return;
    m_job.reset();
    ReadLocal();
    m_planEntries.clear();
    m_probed.clear();
    m_answering.clear();
    m_model->SetRows(std::move(rows));
    m_progress->setValue(0);
    Recompute();
}

std::vector<HeardDevice> BatchWindow::AllDevices() const
{
    std::vector<HeardDevice> devices;
    devices.reserve(m_model->Rows().size());
    for (const BatchRow &row : m_model->Rows())
        devices.push_back(row.device);
    return devices;
}

void BatchWindow::Recompute()
{
    if (Running())
        return;
    const std::vector<BatchRow> &rows = m_model->Rows();
    std::vector<QString> preview(rows.size());
    m_plannedRows = m_model->CheckedRows();
    m_planned.clear();
    if (!m_planEntries.empty()) {
        for (size_t i = 0; i < m_planEntries.size(); ++i) {
            const int row = m_planRows[i];
            if (row >= 0 && rows[static_cast<size_t>(row)].checked)
                preview[static_cast<size_t>(row)] =
                    m_planEntries[i].target.dhcp ? UiText::BatchDhcpPreview() : m_planEntries[i].target.address;
        }
    } else if (m_dhcp->isChecked()) {
        for (int row : m_plannedRows)
            preview[static_cast<size_t>(row)] = UiText::BatchDhcpPreview();
    } else {
        Ipv4 start = 0, mask = 0;
        if (ParseIpv4(m_start->text(), start) && !m_plannedRows.empty()) {
            mask = DefaultMask(start, m_local);
            Ipv4 given = 0;
            if (ParseIpv4(m_mask->text(), given) && IsContiguousMask(given))
                mask = given;
            m_planMask = mask;
            AddressPlanInput input;
            input.start = start;
            input.mask = mask;
            for (const BatchRow &row : rows) {
                Ipv4 address = 0;
                if (ParseIpv4(row.device.address, address))
                    input.listed.push_back(address);
            }
            for (int row : m_plannedRows) {
                Ipv4 own = 0;
                ParseIpv4(rows[static_cast<size_t>(row)].device.address, own);
                input.devices.push_back(own);
            }
            for (Ipv4 address : LocalIpv4(m_local))
                input.local.insert(address);
            input.answering = m_answering;
            m_planned = PlanAddresses(input);
            for (size_t i = 0; i < m_planned.size(); ++i)
                preview[static_cast<size_t>(m_plannedRows[i])] =
                    m_planned[i] ? Ipv4Text(m_planned[i]) : BatchStatusShownText(BatchStatus::NoAddress);
            m_probeDue = true;
            m_probeTimer->start();
        }
    }
    m_model->SetPreview(preview);
}

void BatchWindow::StartProbe()
{
    if (m_probeThread.joinable())
        return; // ProbeDone starts the next round
    std::vector<Ipv4> candidates;
    for (size_t i = 0; i < m_planned.size() && static_cast<int>(candidates.size()) < kMaxProbesInFlight; ++i) {
        Ipv4 own = 0;
        ParseIpv4(m_model->Rows()[static_cast<size_t>(m_plannedRows[i])].device.address, own);
        if (m_planned[i] && m_planned[i] != own && !m_probed.count(m_planned[i]))
            candidates.push_back(m_planned[i]);
    }
    if (candidates.empty()) {
        m_probeDue = false;
        if (m_applyWhenProbed) {
            m_applyWhenProbed = false;
            Apply();
        }
        return;
    }
    m_probed.insert(candidates.begin(), candidates.end());
    m_probeThread = std::thread([this, candidates, probe = m_options.probe] {
        kit::KeyedSet<Ipv4> used = probe(candidates);
        QMetaObject::invokeMethod(this, [this, used = std::move(used)]() mutable { ProbeDone(std::move(used)); },
                                  Qt::QueuedConnection);
    });
}

void BatchWindow::ProbeDone(kit::KeyedSet<Ipv4> used)
{
    m_probeThread.join();
    bool changed = false;
    for (Ipv4 address : used)
        changed = m_answering.insert(address).second || changed;
    if (changed && m_planEntries.empty() && !m_dhcp->isChecked())
        Recompute(); // plans again without them; its timer probes what is new
    else
        StartProbe();
}

std::vector<BatchEntry> BatchWindow::Entries()
{
    std::vector<BatchEntry> entries;
    m_jobRows.clear();
    const std::vector<BatchRow> &rows = m_model->Rows();
    if (!m_planEntries.empty()) {
        for (size_t i = 0; i < m_planEntries.size(); ++i) {
            const int row = m_planRows[i];
            if (row >= 0 && !rows[static_cast<size_t>(row)].checked)
                continue;
            entries.push_back(m_planEntries[i]);
            m_jobRows.push_back(row);
        }
        return entries;
    }
    AssignSettings settings;
    settings.dhcp = m_dhcp->isChecked();
    settings.mask = Ipv4Text(m_planMask);
    settings.gateway = m_gateway->text().trimmed();
    settings.dns = m_dns->text().trimmed();
    std::vector<HeardDevice> chosen;
    for (int row : m_plannedRows) {
        chosen.push_back(rows[static_cast<size_t>(row)].device);
        m_jobRows.push_back(row);
    }
    return AssignedEntries(chosen, m_planned, settings);
}

void BatchWindow::Apply()
{
    if (Running())
        return;
    // Enabled again whatever ends this call, unless it waits for the probe below.
    m_apply->setEnabled(true);
    m_applyWhenProbed = false;
    if (m_model->CheckedRows().empty())
        return;
    if (m_planEntries.empty() && !m_dhcp->isChecked()) {
        Ipv4 start = 0, mask = 0;
        const QString maskText = m_mask->text().trimmed();
        if (!ParseIpv4(m_start->text(), start) ||
            (!maskText.isEmpty() && (!ParseIpv4(maskText, mask) || !IsContiguousMask(mask)))) {
            QMessageBox::warning(this, UiText::BoxTitle(), UiText::BadField(), QMessageBox::Ok);
            return;
        }
        if (Probing()) {
            // The preview is not final until its addresses have been probed.
            m_applyWhenProbed = true;
            m_apply->setEnabled(false);
            return;
        }
    }
    // An address this machine took since the window was filled is refused below.
    ReadLocal();
    std::vector<BatchEntry> entries = Entries();
    QStringList problems = CheckBatch(entries, AllDevices(), m_local, true);
    for (const BatchEntry &entry : entries)
        if (entry.status == BatchStatus::NoAddress)
            problems << entry.serialNo + QStringLiteral(": ") + BatchStatusShownText(BatchStatus::NoAddress);
    if (!problems.isEmpty()) {
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::BatchRefused().arg(ProblemList(problems)),
                             QMessageBox::Ok);
        return;
    }
    const int toSend = static_cast<int>(std::count_if(entries.begin(), entries.end(), [](const BatchEntry &entry) {
        return entry.status == BatchStatus::Waiting && entry.device;
    }));
    if (toSend == 0) {
        QMessageBox::information(this, UiText::BoxTitle(), UiText::BatchNothingToSend(), QMessageBox::Ok);
    } else if (m_options.confirm &&
               QMessageBox::question(this, UiText::ConfirmTitle(), UiText::BatchConfirm(toSend),
                                     QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) != QMessageBox::Ok) {
        return;
    }
    const bool shared = std::any_of(entries.begin(), entries.end(), [](const BatchEntry &entry) {
        return entry.status == BatchStatus::Waiting && entry.device && entry.device->sharedAddress;
    });
    m_job = std::make_unique<BatchJob>(std::move(entries), m_options.sender, m_options.verifyTimeoutMs);
    // Devices sharing an address: the bar says how their requests go.
    m_progress->setFormat(shared ? QStringLiteral("%v/%m  ") +
                                       UiText::DeliveredWay().arg(DeliveryWayText(SharedAddressWay()))
                                 : QStringLiteral("%p%"));
    m_progress->setMaximum(std::max(1, toSend));
    m_progress->setValue(0);
    m_job->Start();
    ShowRunning(true);
    Poll();
    m_pollTimer->start();
}

void BatchWindow::Poll()
{
    if (!m_job)
        return;
    m_job->Tick();
    // Done is read before the statuses: a run that ends between the two reads is
    // then shown with its final statuses, not stopped with older ones.
    const bool done = m_job->Done();
    const std::vector<BatchStatus> statuses = m_job->Statuses();
    std::vector<std::optional<BatchStatus>> shown(m_model->Rows().size());
    for (size_t i = 0; i < statuses.size(); ++i)
        if (m_jobRows[i] >= 0)
            shown[static_cast<size_t>(m_jobRows[i])] = statuses[i];
    m_model->SetStatuses(shown);
    m_progress->setValue(m_job->ToSend() ? m_job->Finished() : m_progress->maximum());
    if (done) {
        m_pollTimer->stop();
        ShowRunning(false);
    }
}

void BatchWindow::ShowRunning(bool running)
{
    m_model->SetLocked(running);
    for (QWidget *widget : std::initializer_list<QWidget *>{m_apply, m_import, m_dhcp})
        widget->setEnabled(!running);
    for (QLineEdit *edit : {m_start, m_mask, m_gateway, m_dns})
        edit->setEnabled(!running && !m_dhcp->isChecked());
}

void BatchWindow::Observe(QByteArray answer, QString source)
{
    if (!m_job || m_job->Done())
        return;
    HeardDevice record;
    if (!ReadDeviceRecord(answer, record) || !IsCompleteRecord(record))
        return;
    record.source.address = source;
    m_job->Observe(record);
}

void BatchWindow::ObserveRecord(const HeardDevice &answer, int64_t otherSourceAgeMs)
{
    if (m_job && !m_job->Done())
        m_job->Observe(answer, otherSourceAgeMs);
}

bool BatchWindow::LoadPlan(const QString &path)
{
    if (Running())
        return false;
    Plan plan;
    QString error;
    if (!ReadPlanFile(path, plan, error)) {
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::ReadFailed().arg(QDir::toNativeSeparators(path), error));
        return false;
    }
    if (!plan.problems.empty()) {
        QStringList problems;
        for (const PlanProblem &problem : plan.problems)
            problems << PlanProblemUiText(problem);
        if (plan.problemCount > static_cast<long long>(plan.problems.size()))
            problems << QStringLiteral("... (%1)").arg(plan.problemCount);
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::BatchRefused().arg(ProblemList(problems)));
        return false;
    }
    m_job.reset();
    m_planEntries = MatchPlan(plan.rows, AllDevices());
    m_planRows.assign(m_planEntries.size(), -1);
    const std::vector<BatchRow> &rows = m_model->Rows();
    QStringList unmatched;
    std::vector<bool> inPlan(rows.size(), false);
    // Rows by serial number and MAC: a plan of many rows is matched in linear time.
    KeyedTextHash<int> rowOf;
    for (size_t row = 0; row < rows.size(); ++row)
        rowOf.insert(rows[row].device.serialNo + QLatin1Char('\n') + rows[row].device.mac.toUpper(),
                     static_cast<int>(row));
    for (size_t i = 0; i < m_planEntries.size(); ++i) {
        const BatchEntry &entry = m_planEntries[i];
        if (!entry.device) {
            unmatched << entry.serialNo + QStringLiteral(" (") + BatchStatusShownText(entry.status) + QLatin1Char(')');
            continue;
        }
        const int row = rowOf.value(entry.serialNo + QLatin1Char('\n') + entry.device->mac.toUpper(), -1);
        m_planRows[i] = row;
        if (row >= 0)
            inPlan[static_cast<size_t>(row)] = true;
    }
    size_t row = 0;
    const std::vector<BatchEntry> keep = m_planEntries; // CheckWhere re-plans from the fields
    const std::vector<int> keepRows = m_planRows;
    m_model->CheckWhere([&](const BatchRow &) { return inPlan[row++]; });
    m_planEntries = keep;
    m_planRows = keepRows;
    Recompute();
    setWindowTitle(UiText::BatchTitle() + QStringLiteral(" - ") + UiText::BatchPlanFromFile().arg(QFileInfo(path).fileName()));
    if (!unmatched.isEmpty())
        QMessageBox::information(this, UiText::BoxTitle(), UiText::BatchPlanUnmatched().arg(ProblemList(unmatched)));
    return true;
}

bool BatchWindow::SaveResult(const QString &path)
{
    std::vector<QStringList> lines(1);
    for (int column = 0; column < DeviceColumn::Count; ++column)
        lines[0] << DeviceColumnTitle(column);
    lines[0] << UiText::BatchStatusTitle();
    // The settings each row was to get, where it had a batch entry.
    std::vector<const BatchEntry *> entryOf(m_model->Rows().size(), nullptr);
    if (m_job)
        for (size_t i = 0; i < m_job->Entries().size(); ++i)
            if (m_jobRows[i] >= 0)
                entryOf[static_cast<size_t>(m_jobRows[i])] = &m_job->Entries()[i];
    for (size_t i = 0; i < m_model->Rows().size(); ++i) {
        const BatchRow &row = m_model->Rows()[i];
        DeviceRecord shown = row.device;
        if (entryOf[i] && !entryOf[i]->target.address.isEmpty()) {
            const NetworkSettings &target = entryOf[i]->target;
            shown.address = target.address;
            shown.subnetMask = target.subnetMask;
            shown.gateway = target.gateway;
            shown.dns = target.dns;
            shown.dhcp = target.dhcp;
        }
        lines.push_back({shown.serialNo, shown.address, QString::number(shown.port), DeviceTable::DhcpText(shown.dhcp),
                         shown.subnetMask, shown.gateway, shown.dns, shown.mac, shown.description,
                         row.status ? BatchStatusText(*row.status) : QString()});
    }
    const QString reason = SaveFileAtomically(path, DeviceListText::CsvDocument(lines));
    if (reason.isEmpty())
        return true;
    QMessageBox::warning(this, UiText::BoxTitle(), UiText::ExportFailed().arg(QDir::toNativeSeparators(path), reason));
    return false;
}

void BatchWindow::ImportClicked()
{
    const QString path = QFileDialog::getOpenFileName(this, UiText::BatchPlanTitle(), QDir::homePath(),
                                                      UiText::ExportFilter());
    if (!path.isEmpty())
        LoadPlan(path);
}

void BatchWindow::SaveClicked()
{
    QFileDialog dialog(this, UiText::BatchSave(), QDir::homePath(), UiText::ExportFilter());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SaveResult(dialog.selectedFiles().first());
}
