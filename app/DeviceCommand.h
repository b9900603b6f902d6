#pragma once
// One command exchange with a device: connect, send the request, wait for the
// answer and judge it. Blocks the calling (user-interface) thread for up to
// kCommandTimeoutMs.
#include <QByteArray>
#include <QString>

class QWidget;
namespace Vant {
class CProtocalJson;
}

constexpr int kCommandTimeoutMs = 10000;

enum class CommandResult {
    ConnectFailed, // the address could not be used; nothing was sent
    Failed,        // no answer in time, another serial number, or "result" not true
    Succeeded,     // the answer carries serialNo and a true "result"
};

// Ports a command can be sent to. A port outside 1..65535 would otherwise be cut
// to 16 bits and the command sent to some other service of the device.
bool IsCommandPort(int port);

// Sends `request` to address:port and waits for the first valid answer. The
// command succeeded when the answer's data[0] "serialNo" is serialNo byte for byte
// and its "result" is true. `owner` is repainted first, so the window shows no
// remains of a closed message box while the thread waits.
CommandResult SendDeviceCommand(QWidget *owner, const QString &address, int port,
                                Vant::CProtocalJson &request, const QByteArray &serialNo);
