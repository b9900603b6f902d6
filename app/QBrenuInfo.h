#pragma once
// The settings dialog of one device: shows the row's values, lets the operator
// change address, mask, gateway, DNS and DHCP, and sends them to the device.
#include <QDialog>
#include <QString>

#include <memory>

#include <optional>

#include "device/DeviceCommand.h"
#include "device/DeviceRecord.h"
#include "device/DeviceRequests.h"
#include "device/VerifiedUpdate.h"

class QCloseEvent;
namespace Ui {
class QBrenuInfo;
}

class QBrenuInfo : public QDialog {
    Q_OBJECT
public:
    explicit QBrenuInfo(QWidget *parent);
    ~QBrenuInfo() override;

    // The nine cell texts of a table row, in column order.
    void SetDeviceInfo(QString serialNo, QString address, QString port, QString dhcp, QString subnetMask,
                       QString gateway, QString dns, QString mac, QString description);
    // The interface to send through on-link (the device lies in a foreign subnet);
    // empty: routed as usual. Set after SetDeviceInfo, which clears it.
    void SetOnLinkInterface(const QString &device) { m_target.onLinkInterface = device; }
    // Where the update goes (on-link, exact delivery); set after SetDeviceInfo.
    void SetCommandTarget(const CommandTarget &target) { m_target = target; }
    // The device's own bytes of the texts loaded (DeviceRecord::sent): what the update
    // carries for every text the operator leaves as it is. Set after SetDeviceInfo,
    // which clears them (texts are then sent as UTF-8).
    void SetSentBytes(const SentBytes &sent) { m_sent = sent; }

    // After an update the device did not answer: what its search answers would show
    // if it took effect anyway. Taken once; empty otherwise.
    std::optional<ExpectedSettings> TakeUnansweredUpdate();

public slots:
    void slot_StateChanged(int state);
    void slot_SaveClicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // The device as loaded: what the edits are compared against, and where the
    // serial number, MAC and description of an update come from, exactly as loaded
    // (a text box may alter line breaks and spaces, and used to cut long texts).
    DeviceRecord Loaded() const;
    // The four address fields and the box. A field whose text is still what the
    // loading put there stands for the loaded value itself.
    NetworkSettings Edited() const;
    bool HasChanges() const;
    // With DHCP off: focuses and reports the first address field that is not a
    // dotted IPv4 address, or asks the operator to confirm settings that break a rule
    // (device/AddressRules.h). True when the update may go.
    bool CheckSettingsToSend();

    // The values as loaded from the row: what the edits are compared against.
    QString m_serialNo;
    int m_port = 0;
    QString m_address;
    bool m_dhcp = false;
    QString m_subnetMask;
    QString m_gateway;
    QString m_dns;
    QString m_mac;
    QString m_description;
    CommandTarget m_target;
    SentBytes m_sent;
    // The texts the address fields showed right after loading.
    NetworkSettings m_shown;
    std::optional<ExpectedSettings> m_unanswered;
    std::unique_ptr<Ui::QBrenuInfo> ui;
};
