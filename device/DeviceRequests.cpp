#include "device/DeviceRequests.h"

#include "device/Ipv4Text.h"
#include "protocol/Json.h"

namespace {

bool IsIpv4Field(const QString &text)
{
    Ipv4 address = 0;
    return ParseIpv4(text, address);
}

void SetBytes(Vant::CProtocalJson &request, const char *name, const QByteArray &bytes)
{
    request.SetDataString(0, name, bytes.constData());
}

} // namespace

NetworkSettings SettingsOf(const DeviceRecord &device)
{
    NetworkSettings settings;
    settings.address = device.address;
    settings.subnetMask = device.subnetMask;
    settings.gateway = device.gateway;
    settings.dns = device.dns;
    settings.dhcp = device.dhcp;
    return settings;
}

bool SettingsChanged(const DeviceRecord &device, const NetworkSettings &edited)
{
    return edited.address != device.address || edited.subnetMask != device.subnetMask ||
           edited.gateway != device.gateway || edited.dns != device.dns || edited.dhcp != device.dhcp;
}

AddressField FirstBadAddressField(const NetworkSettings &settings)
{
    if (!IsIpv4Field(settings.address))
        return AddressField::Address;
    if (!IsIpv4Field(settings.subnetMask))
        return AddressField::SubnetMask;
    if (!IsIpv4Field(settings.gateway))
        return AddressField::Gateway;
    if (!IsIpv4Field(settings.dns))
        return AddressField::Dns;
    return AddressField::None;
}

void BuildUpdateRequest(const DeviceRecord &device, const NetworkSettings &edited, Vant::CProtocalJson &request)
{
    request.SetApi(kUpdateApi);
    SetBytes(request, "serialNo", DeviceBytes(device, TextMember::SerialNo));
    SetBytes(request, "address", BytesToSend(device, TextMember::Address, edited.address));
    request.SetDataBool(0, "dhcp", edited.dhcp);
    SetBytes(request, "subnetMask", BytesToSend(device, TextMember::SubnetMask, edited.subnetMask));
    SetBytes(request, "gateway", BytesToSend(device, TextMember::Gateway, edited.gateway));
    SetBytes(request, "dns", BytesToSend(device, TextMember::Dns, edited.dns));
    SetBytes(request, "mac", DeviceBytes(device, TextMember::Mac));
    SetBytes(request, "description", DeviceBytes(device, TextMember::Description));
}

void BuildRebootRequest(const QByteArray &serialNo, Vant::CProtocalJson &request)
{
    request.SetApi(kRebootApi);
    request.SetDataString(0, "serialNo", serialNo.constData());
}
