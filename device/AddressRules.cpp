#include "device/AddressRules.h"

#include "device/Ipv4Text.h"
#include "device/SaidText.h"

#include <arpa/inet.h>

namespace {

// Host byte order; false when the text is not an IPv4 address.
// A mask that marks a subnet: one bits contiguous from the top, and some of them.
bool ContiguousMask(uint32_t mask)
{
    return mask != 0 && IsContiguousMask(mask);
}

int PrefixLength(uint32_t mask)
{
    int bits = 0;
    for (; mask & 0x80000000u; mask <<= 1)
        ++bits;
    return bits;
}

// The problem of an address that no host may have, if any.
bool UnusableHost(uint32_t address, SettingProblem &problem)
{
    if (address == 0)
        problem = SettingProblem::Unspecified;
    else if ((address >> 24) == 127)
        problem = SettingProblem::Loopback;
    else if (address == 0xffffffffu)
        problem = SettingProblem::LimitedBroadcast;
    else if (address >= 0xe0000000u)
        problem = SettingProblem::Multicast;
    else
        return false;
    return true;
}

} // namespace

std::vector<SettingIssue> CheckNewSettings(const NetworkSettings &settings, const LocalSubnets &local)
{
    std::vector<SettingIssue> issues;
    uint32_t address = 0, mask = 0, gateway = 0, dns = 0;
    const bool haveAddress = ParseIpv4(settings.address, address);
    const bool haveMask = ParseIpv4(settings.subnetMask, mask);
    const bool subnet = haveMask && ContiguousMask(mask);
    SettingProblem problem;

    if (haveAddress) {
        if (UnusableHost(address, problem)) {
            issues.push_back({AddressField::Address, problem});
        } else if (subnet && PrefixLength(mask) < 31 && (address & ~mask) == 0) {
            issues.push_back({AddressField::Address, SettingProblem::NetworkAddress});
        } else if (subnet && PrefixLength(mask) < 31 && (address & ~mask) == ~mask) {
            issues.push_back({AddressField::Address, SettingProblem::SubnetBroadcast});
        } else {
            for (const InterfaceAddress &own : local) {
                uint32_t ownAddress = 0;
                if (ParseIpv4(QString::fromStdString(own.address), ownAddress) && ownAddress == address) {
                    issues.push_back({AddressField::Address, SettingProblem::LocalAddress});
                    break;
                }
            }
        }
    }
    if (haveMask && !subnet)
        issues.push_back({AddressField::SubnetMask, SettingProblem::BadMask});
    if (ParseIpv4(settings.gateway, gateway)) {
        if (UnusableHost(gateway, problem) && gateway != 0)
            issues.push_back({AddressField::Gateway, problem});
        else if (haveAddress && subnet && (gateway & mask) != (address & mask))
            issues.push_back({AddressField::Gateway, SettingProblem::GatewayOutside});
        else if (subnet && PrefixLength(mask) < 31 && (gateway & ~mask) == ~mask)
            issues.push_back({AddressField::Gateway, SettingProblem::SubnetBroadcast});
        else if (subnet && PrefixLength(mask) < 31 && (gateway & ~mask) == 0)
            issues.push_back({AddressField::Gateway, SettingProblem::NetworkAddress});
    }
    if (ParseIpv4(settings.dns, dns) && UnusableHost(dns, problem))
        issues.push_back({AddressField::Dns, problem});
    return issues;
}

SettingsCheck CheckSettings(const NetworkSettings &settings, const LocalSubnets &local)
{
    SettingsCheck check;
    if (settings.dhcp)
        return check;
    check.bad = FirstBadAddressField(settings);
    if (check.bad == AddressField::None)
        check.issues = CheckNewSettings(settings, local);
    return check;
}

QString IssueText(const NetworkSettings &settings, const SettingIssue &issue)
{
    QString value;
    switch (issue.field) {
    case AddressField::Address:
        value = settings.address;
        break;
    case AddressField::SubnetMask:
        value = settings.subnetMask;
        break;
    case AddressField::Gateway:
        value = settings.gateway;
        break;
    default:
        value = settings.dns;
        break;
    }
    uint32_t address = 0, mask = 0;
    ParseIpv4(settings.address, address);
    ParseIpv4(settings.subnetMask, mask);
    const QString subnet = Ipv4Text(address & mask) + QLatin1Char('/') + QString::number(PrefixLength(mask));
    switch (issue.problem) {
    case SettingProblem::Unspecified:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是未指定地址", "%1 is the unspecified address")).arg(value);
    case SettingProblem::Loopback:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是环回地址", "%1 is a loopback address")).arg(value);
    case SettingProblem::Multicast:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是组播或保留地址", "%1 is a multicast or reserved address")).arg(value);
    case SettingProblem::LimitedBroadcast:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是广播地址", "%1 is the broadcast address")).arg(value);
    case SettingProblem::NetworkAddress:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是 %2 的网络地址", "%1 is the network address of %2")).arg(value, subnet);
    case SettingProblem::SubnetBroadcast:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是 %2 的广播地址", "%1 is the broadcast address of %2")).arg(value, subnet);
    case SettingProblem::LocalAddress:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是本机的地址", "%1 is an address of this machine")).arg(value);
    case SettingProblem::BadMask:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 不是子网掩码 (其中为 1 的位必须连续, 且不能全为 0)",
                                       "%1 is not a subnet mask (its one bits must be contiguous, and there must be some)"))
            .arg(value);
    case SettingProblem::GatewayOutside:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "网关 %1 不在 %2 内", "gateway %1 lies outside %2")).arg(value, subnet);
    }
    return value;
}
