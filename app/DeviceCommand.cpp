#include "app/DeviceCommand.h"

#include <QApplication>
#include <QCursor>
#include <QWidget>

#include <cstdint>

#include "protocol/Json.h"
#include "protocol/UdpClient.h"

namespace {

// Shows the wait cursor while the user-interface thread is blocked.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

bool IsCommandPort(int port)
{
    return port > 0 && port <= 65535;
}

CommandResult SendDeviceCommand(QWidget *owner, const QString &address, int port,
                                Vant::CProtocalJson &request, const QByteArray &serialNo)
{
    // The thread is about to block: bring the screen up to date first, so that the
    // box just closed leaves no remains over the window while the answer is awaited.
    // Only posted events and painting run here, no input.
    if (owner && owner->isVisible())
        owner->repaint();
    WaitCursor waitCursor;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

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
