#include "app/QBrenuInfo.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <limits>

#include "app/DeviceCommandUi.h"
#include "app/DeviceTable.h"
#include "app/UiTexts.h"
#include "device/AddressRules.h"
#include "device/Delivery.h"
#include "protocol/Json.h"
#include "ui_QBrenuInfo.h"

namespace {

// An address field still showing what the loading put there stands for the loaded
// value itself.
QString FieldValue(const QLineEdit *field, const QString &shown, const QString &loaded)
{
    const QString text = field->text();
    return text == shown ? loaded : text;
}

} // namespace

QBrenuInfo::QBrenuInfo(QWidget *parent) : QDialog(parent), ui(new Ui::QBrenuInfo)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint);
    setFixedSize(583, 485);
    // A line edit cuts its text at 32767 characters by default; the device's texts
    // are shown whole, so that an untouched field compares equal to what was loaded.
    for (QLineEdit *field : {ui->edt_serialNo, ui->edt_ipv4, ui->edt_subnetMask, ui->edt_gateway, ui->edt_dns,
                             ui->edt_mac})
        field->setMaxLength(std::numeric_limits<int>::max());
    // Each field is named by its label, for the keyboard (the label's buddy) and for a
    // screen reader (the label's text without its colon).
    const std::pair<QLabel *, QWidget *> labelled[] = {
        {ui->label_2, ui->edt_serialNo}, {ui->label_3, ui->edt_ipv4}, {ui->label_6, ui->edt_subnetMask},
        {ui->label_7, ui->edt_gateway},  {ui->label_8, ui->edt_dns},  {ui->label, ui->edt_mac},
        {ui->label_5, ui->edt_description},
    };
    for (const auto &[label, field] : labelled) {
        label->setBuddy(field);
        QString name = label->text().trimmed();
        while (name.endsWith(QLatin1Char(':')) || name.endsWith(QChar(0xFF1A)))
            name.chop(1);
        field->setAccessibleName(name);
    }

    connect(ui->cb_dhcp, &QCheckBox::stateChanged, this, &QBrenuInfo::slot_StateChanged);
    connect(ui->btn_close, &QPushButton::clicked, this, &QDialog::close);
    connect(ui->btn_save, &QPushButton::clicked, this, &QBrenuInfo::slot_SaveClicked);
}

QBrenuInfo::~QBrenuInfo() = default;

void QBrenuInfo::SetDeviceInfo(QString serialNo, QString address, QString port, QString dhcp,
                               QString subnetMask, QString gateway, QString dns, QString mac,
                               QString description)
{
    m_port = port.toInt(nullptr, 10);
    m_target = CommandTarget();
    m_sent = SentBytes();
    m_unanswered.reset();

    m_serialNo = serialNo;
    m_address = address;
    m_subnetMask = subnetMask;
    m_gateway = gateway;
    m_dns = dns;
    m_mac = mac;
    m_description = description;
    ui->edt_serialNo->setText(m_serialNo);
    ui->edt_ipv4->setText(m_address);
    ui->edt_subnetMask->setText(m_subnetMask);
    ui->edt_gateway->setText(m_gateway);
    ui->edt_dns->setText(m_dns);
    ui->edt_mac->setText(m_mac);
    // The description comes from the device and goes back to it in an update: it is
    // plain text. Read as rich text, markup in it would be rendered and lost from the
    // request, and an image tag would make the dialog read files of this machine.
    ui->edt_description->setPlainText(m_description);
    m_shown.address = ui->edt_ipv4->text();
    m_shown.subnetMask = ui->edt_subnetMask->text();
    m_shown.gateway = ui->edt_gateway->text();
    m_shown.dns = ui->edt_dns->text();

    // When the box keeps its state, the fields' enabled state already matches it.
    m_dhcp = dhcp == DeviceTable::DhcpText(true);
    ui->cb_dhcp->setChecked(m_dhcp);
}

void QBrenuInfo::slot_StateChanged(int state)
{
    if (state != Qt::Unchecked && state != Qt::Checked)
        return;
    const bool editable = state == Qt::Unchecked;
    ui->edt_ipv4->setEnabled(editable);
    ui->edt_subnetMask->setEnabled(editable);
    ui->edt_gateway->setEnabled(editable);
    ui->edt_dns->setEnabled(editable);
    if (editable)
        return;
    // With DHCP on the device chooses its own address: show what it has now.
    ui->edt_ipv4->setText(m_address);
    ui->edt_subnetMask->setText(m_subnetMask);
    ui->edt_gateway->setText(m_gateway);
    ui->edt_dns->setText(m_dns);
}

std::optional<ExpectedSettings> QBrenuInfo::TakeUnansweredUpdate()
{
    std::optional<ExpectedSettings> taken;
    taken.swap(m_unanswered);
    return taken;
}

void QBrenuInfo::closeEvent(QCloseEvent *event)
{
    event->accept();
    accept();
}

DeviceRecord QBrenuInfo::Loaded() const
{
    DeviceRecord device;
    device.serialNo = m_serialNo;
    device.address = m_address;
    device.port = m_port;
    device.dhcp = m_dhcp;
    device.subnetMask = m_subnetMask;
    device.gateway = m_gateway;
    device.dns = m_dns;
    device.mac = m_mac;
    device.description = m_description;
    device.sent = m_sent;
    return device;
}

NetworkSettings QBrenuInfo::Edited() const
{
    NetworkSettings edited;
    edited.address = FieldValue(ui->edt_ipv4, m_shown.address, m_address);
    edited.subnetMask = FieldValue(ui->edt_subnetMask, m_shown.subnetMask, m_subnetMask);
    edited.gateway = FieldValue(ui->edt_gateway, m_shown.gateway, m_gateway);
    edited.dns = FieldValue(ui->edt_dns, m_shown.dns, m_dns);
    edited.dhcp = ui->cb_dhcp->isChecked();
    return edited;
}

bool QBrenuInfo::HasChanges() const
{
    return SettingsChanged(Loaded(), Edited());
}

bool QBrenuInfo::CheckSettingsToSend()
{
    // The same check as brenu-search set, plans and the batch window make.
    const NetworkSettings edited = Edited();
    const SettingsCheck check = CheckSettings(edited, ReadLocalSubnets());
    if (check.bad != AddressField::None) {
        QLineEdit *fields[] = {ui->edt_ipv4, ui->edt_subnetMask, ui->edt_gateway, ui->edt_dns};
        fields[static_cast<int>(check.bad)]->setFocus();
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::BadField(), QMessageBox::Ok);
        return false;
    }
    if (check.issues.empty())
        return true;
    // Settings that would cut the device off or put it in another host's place go
    // only when the operator says so: the dialog's counterpart of --force.
    QStringList lines;
    for (const SettingIssue &issue : check.issues)
        lines << IssueText(edited, issue);
    QMessageBox box(QMessageBox::Warning, UiText::ConfirmTitle(),
                    UiText::ConfirmSettingIssues().arg(lines.join(QLatin1Char('\n'))),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.button(QMessageBox::Ok)->setText(UiText::ConfirmOk());
    box.button(QMessageBox::Cancel)->setText(UiText::ConfirmCancel());
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

void QBrenuInfo::slot_SaveClicked()
{
    if (!HasChanges() || m_address.isEmpty() || !IsCommandPort(m_port))
        return;
    if (!CheckSettingsToSend())
        return;

    Vant::CProtocalJson request;
    BuildUpdateRequest(Loaded(), Edited(), request);
    const QByteArray serialNo = DeviceBytes(Loaded(), TextMember::SerialNo);

    // The request goes to the address and port the device announced, not to an
    // address just typed in.
    m_unanswered.reset();
    CommandTarget target = m_target;
    target.address = m_address;
    target.port = m_port;
    // Devices sharing the address: the way the request took goes below the verdict.
    const QString way =
        target.exact ? QLatin1Char('\n') + UiText::DeliveredWay().arg(DeliveryWayText(SharedAddressWay())) : QString();
    switch (SendDeviceCommand(this, target, request, serialNo)) {
    case CommandResult::ConnectFailed:
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::ConnectFailed(), QMessageBox::Ok);
        break;
    case CommandResult::Withheld:
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::WithheldBecause(TakeLinkSendRefusal()), QMessageBox::Ok);
        break;
    case CommandResult::Succeeded:
        QMessageBox::information(this, UiText::BoxTitle(), UiText::Succeeded() + way, QMessageBox::Ok);
        break;
    case CommandResult::NoAnswer:
        // The message stays the failure; the window watches the device's next search
        // answers, which may show that the change took all the same.
        m_unanswered = ExpectedAfter(Loaded(), Edited());
        QMessageBox::information(this, UiText::BoxTitle(), UiText::Failed() + way, QMessageBox::Ok);
        break;
    case CommandResult::Failed:
        QMessageBox::information(this, UiText::BoxTitle(), UiText::Failed() + way, QMessageBox::Ok);
        break;
    }
}
