#include "app/QBrenuInfo.h"

#include <QCloseEvent>
#include <QMessageBox>

#include "app/DeviceCommand.h"
#include "app/DeviceTable.h"
#include "app/Ipv4Text.h"
#include "app/UiTexts.h"
#include "protocol/Json.h"
#include "ui_QBrenuInfo.h"

namespace {

constexpr const char *kUpdateApi = "/brenu/model/updatecfg.htm";

bool IsIpv4Field(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return IsIpv4Text(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

} // namespace

QBrenuInfo::QBrenuInfo(QWidget *parent) : QDialog(parent), ui(new Ui::QBrenuInfo)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint);
    setFixedSize(583, 485);

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

void QBrenuInfo::closeEvent(QCloseEvent *event)
{
    event->accept();
    accept();
}

bool QBrenuInfo::HasChanges() const
{
    return ui->edt_ipv4->text() != m_address || ui->edt_subnetMask->text() != m_subnetMask ||
           ui->edt_gateway->text() != m_gateway || ui->edt_dns->text() != m_dns ||
           ui->cb_dhcp->isChecked() != m_dhcp;
}

bool QBrenuInfo::CheckAddressFields()
{
    for (QLineEdit *field : {ui->edt_ipv4, ui->edt_subnetMask, ui->edt_gateway, ui->edt_dns}) {
        if (IsIpv4Field(field->text()))
            continue;
        field->setFocus();
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::BadField(), QMessageBox::Ok);
        return false;
    }
    return true;
}

void QBrenuInfo::slot_SaveClicked()
{
    if (!HasChanges() || m_address.isEmpty() || !IsCommandPort(m_port))
        return;
    if (!ui->cb_dhcp->isChecked() && !CheckAddressFields())
        return;

    Vant::CProtocalJson request;
    request.SetApi(kUpdateApi);
    const QByteArray serialNo = ui->edt_serialNo->text().toUtf8();
    request.SetDataString(0, "serialNo", serialNo.constData());
    request.SetDataString(0, "address", ui->edt_ipv4->text().toUtf8().constData());
    request.SetDataBool(0, "dhcp", ui->cb_dhcp->isChecked());
    request.SetDataString(0, "subnetMask", ui->edt_subnetMask->text().toUtf8().constData());
    request.SetDataString(0, "gateway", ui->edt_gateway->text().toUtf8().constData());
    request.SetDataString(0, "dns", ui->edt_dns->text().toUtf8().constData());
    request.SetDataString(0, "mac", ui->edt_mac->text().toUtf8().constData());
    request.SetDataString(0, "description", ui->edt_description->toPlainText().toUtf8().constData());

    // The request goes to the address and port the device announced, not to an
    // address just typed in.
    switch (SendDeviceCommand(this, m_address, m_port, request, serialNo)) {
    case CommandResult::ConnectFailed:
        QMessageBox::warning(this, UiText::BoxTitle(), UiText::ConnectFailed(), QMessageBox::Ok);
        break;
    case CommandResult::Succeeded:
        QMessageBox::information(this, UiText::BoxTitle(), UiText::Succeeded(), QMessageBox::Ok);
        break;
    case CommandResult::Failed:
        QMessageBox::information(this, UiText::BoxTitle(), UiText::Failed(), QMessageBox::Ok);
        break;
    }
}
