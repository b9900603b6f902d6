#include "device/DeviceCommand.h"

#include "device/SaidText.h"

#include <arpa/inet.h>

#include <cstdint>

#include "device/Delivery.h"
#include "device/DeviceList.h"
#include "device/Ipv4Text.h"
#include "protocol/Json.h"
#include "protocol/UdpClient.h"

bool IsCommandPort(int port)
{
    return port > 0 && port <= 65535;
}

QString DestinationProblem(const QString &address, const LocalSubnets &local)
{
    Ipv4 value = 0;
    if (!ParseIpv4(address, value))
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "'%1' 不是 IPv4 地址", "'%1' is not an IPv4 address")).arg(address);
    const Ipv4 first = value >> 24;
    if (first == 0)
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 属于 0.0.0.0/8, 不指向任何主机", "%1 is in 0.0.0.0/8, which names no host")).arg(address);
    if (first == 127)
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是环回地址", "%1 is a loopback address")).arg(address);
    if (first >= 224)
        return value == 0xffffffffu ? Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是广播地址", "%1 is the broadcast address")).arg(address)
                                    : Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是组播或保留地址", "%1 is a multicast or reserved address")).arg(address);
    for (const InterfaceAddress &own : local) {
        Ipv4 ownAddress = 0;
        const Ipv4 mask = ntohl(own.netmask);
        // /31 and /32 have no network or broadcast address of their own.
        if (!mask || mask >= 0xfffffffeu || !ParseIpv4(QString::fromStdString(own.address), ownAddress) ||
            (ownAddress & mask) != (value & mask))
            continue;
        if ((value & ~mask) == 0)
            return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是 %2 所在网段的网络地址", "%1 is the network address of the subnet of %2")).arg(address, QString::fromStdString(own.device));
        if ((value & ~mask) == ~mask)
            return Said(QT_TRANSLATE_NOOP3("DeviceText", "%1 是 %2 所在网段的广播地址", "%1 is the broadcast address of the subnet of %2")).arg(address, QString::fromStdString(own.device));
    }
    return QString();
}

CommandTarget TargetOf(const HeardDevice &device)
{
    CommandTarget target{device.address, device.port, device.foreignSubnet ? device.interfaceName : QString()};
    target.exact = device.sharedAddress;
    target.mac = device.mac;
    target.interfaceName = device.interfaceName;
    target.localAddress = device.localAddress;
    return target;
}

CommandResult SendDeviceCommand(const QString &address, int port, Vant::CProtocalJson &request,
                                const QByteArray &serialNo)
{
    return SendDeviceCommand(CommandTarget{address, port, QString()}, request, serialNo);
}

CommandResult SendDeviceCommand(const CommandTarget &target, Vant::CProtocalJson &request, const QByteArray &serialNo,
                                const std::atomic<bool> *cancel, std::atomic<bool> *cleared)
{
    if (!IsCommandPort(target.port) || !DestinationProblem(target.address, ReadLocalSubnets()).isEmpty())
        return CommandResult::ConnectFailed;
    QUdpClient client;
    client.SetOnLinkInterface(target.onLinkInterface.toStdString());
    if (target.exact) {
        const CommandResult withheld = PrepareExactDelivery(target, client, cancel);
        if (withheld != CommandResult::Succeeded)
            return withheld;
    }
    if (cleared)
        cleared->store(true, std::memory_order_release);
    const QByteArray host = target.address.toUtf8();
    if (!client.Connect(host.constData(), static_cast<uint16_t>(target.port), 0, nullptr))
        return CommandResult::ConnectFailed;

    Vant::CProtocalJson answer;
    if (!client.Request(request, answer, kCommandTimeoutMs, cancel))
        return target.exact && !client.RequestSent() ? CommandResult::Withheld : CommandResult::NoAnswer;
    const bool sameDevice = Vant::ValueToString(answer.GetDataValue(0, "serialNo")) ==
                            std::string(serialNo.constData(), static_cast<size_t>(serialNo.size()));
    const bool done = Vant::ValueIsTrue(answer.GetDataValue(0, "result"));
    return sameDevice && done ? CommandResult::Succeeded : CommandResult::Failed;
}
