#include "device/DeviceCommand.h"

#include <cstdint>

#include "protocol/Json.h"
#include "protocol/UdpClient.h"

bool IsCommandPort(int port)
{
    return port > 0 && port <= 65535;
}

CommandResult SendDeviceCommand(const QString &address, int port, Vant::CProtocalJson &request,
                                const QByteArray &serialNo)
{
    QUdpClient client;
    const QByteArray host = address.toUtf8();
    if (!client.Connect(host.constData(), static_cast<uint16_t>(port), 0, nullptr))
        return CommandResult::ConnectFailed;

    Vant::CProtocalJson answer;
    if (!client.Request(request, answer, kCommandTimeoutMs))
        return CommandResult::Failed;
    const bool sameDevice = Vant::ValueToString(answer.GetDataValue(0, "serialNo")) ==
                            std::string(serialNo.constData(), static_cast<size_t>(serialNo.size()));
    const bool done = Vant::ValueIsTrue(answer.GetDataValue(0, "result"));
    return sameDevice && done ? CommandResult::Succeeded : CommandResult::Failed;
}
