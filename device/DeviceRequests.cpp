#include "device/DeviceRequests.h"

#include "device/Ipv4Text.h"
#include "protocol/Json.h"

namespace {

bool IsIpv4Field(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return IsIpv4Text(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

void SetText(Vant::CProtocalJson &request, const char *name, const QString &text)
{
    request.SetDataString(0, name, text.toUtf8().constData());
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
    SetText(request, "serialNo", device.serialNo);
    SetText(request, "address", edited.address);
    request.SetDataBool(0, "dhcp", edited.dhcp);
    SetText(request, "subnetMask", edited.subnetMask);
    SetText(request, "gateway", edited.gateway);
    SetText(request, "dns", edited.dns);
    SetText(request, "mac", device.mac);
    SetText(request, "description", device.description);
}

void BuildRebootRequest(const QByteArray &serialNo, Vant::CProtocalJson &request)
{
    request.SetApi(kRebootApi);
    request.SetDataString(0, "serialNo", serialNo.constData());
}
