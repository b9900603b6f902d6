#pragma once
// The requests the program sends to a device (settings update, reboot) and the
// checks made before an update is sent. The settings dialog and the command-line
// companion both build their requests here, so the device sees the same members,
// in the same order and with the same types from either.
#include <QByteArray>
#include <QString>

#include "device/DeviceRecord.h"

namespace Vant {
class CProtocalJson;
}

constexpr const char *kUpdateApi = "/brenu/model/updatecfg.htm";
constexpr const char *kRebootApi = "/brenu/model/reboot.htm";

// The network settings an operator can change.
struct NetworkSettings {
    QString address;
    QString subnetMask;
    QString gateway;
    QString dns;
    bool dhcp = false;
};

// The settings as the device reported them.
NetworkSettings SettingsOf(const DeviceRecord &device);

// True when an edit differs from what the device reported: address, mask, gateway
// and DNS compared case-sensitively, then the DHCP state.
bool SettingsChanged(const DeviceRecord &device, const NetworkSettings &edited);

// The address fields in the order they are checked before an update with DHCP off.
enum class AddressField { None = -1, Address, SubnetMask, Gateway, Dns };
// The first field whose text is not a strict dotted IPv4 address (four decimal octets
// of 0 to 255, ParseIpv4), or None. A field that merely looks like one ("10.77.0.999")
// would be taken by the device, which no command could then reach.
AddressField FirstBadAddressField(const NetworkSettings &settings);

// The update request: api kUpdateApi, then in data[0] "serialNo", "address",
// "dhcp" (boolean), "subnetMask", "gateway", "dns", "mac", "description" (strings).
// Serial number, MAC and description are the device's own bytes exactly as it sent
// them; the four addresses and the DHCP state come from `edited`, each address as the
// device's bytes while it is the text shown for them, else as UTF-8 (BytesToSend).
void BuildUpdateRequest(const DeviceRecord &device, const NetworkSettings &edited, Vant::CProtocalJson &request);

// The reboot request: api kRebootApi and data[0]."serialNo" (the device's bytes,
// DeviceBytes).
void BuildRebootRequest(const QByteArray &serialNo, Vant::CProtocalJson &request);
