#pragma once
// One command exchange with a device: connect, send the request, wait for the
// answer and judge it. Blocks the calling thread for up to kCommandTimeoutMs. Needs
// no user interface: the window's variant (repaint, wait cursor) is in
// app/DeviceCommandUi.h.
#include <QByteArray>
#include <QString>

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
// and its "result" is true.
CommandResult SendDeviceCommand(const QString &address, int port, Vant::CProtocalJson &request,
                                const QByteArray &serialNo);
