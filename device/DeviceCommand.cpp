#include "device/DeviceCommand.h"

#include <cstdint>

#include "device/Delivery.h"
#include "device/DeviceList.h"
#include "protocol/Json.h"
#include "protocol/UdpClient.h"

bool IsCommandPort(int port)
{
    return port > 0 && port <= 65535;
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
                                const std::atomic<bool> *cancel)
{
    if (!IsCommandPort(target.port))
        return CommandResult::ConnectFailed;
    QUdpClient client;
    client.SetOnLinkInterface(target.onLinkInterface.toStdString());
    if (target.exact) {
        const CommandResult withheld = PrepareExactDelivery(target, client, cancel);
        if (withheld != CommandResult::Succeeded)
            return withheld;
    }
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
