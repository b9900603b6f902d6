#pragma once
// One command exchange with a device: connect, send the request, wait for the
// answer and judge it. Blocks the calling thread for up to kCommandTimeoutMs. Needs
// no user interface: the window's variant (repaint, wait cursor) is in
// app/DeviceCommandUi.h.
#include <QByteArray>
#include <QString>

#include <atomic>
#include <utility>

#include "device/DeviceList.h"

namespace Vant {
class CProtocalJson;
}

constexpr int kCommandTimeoutMs = 10000;

enum class CommandResult {
    ConnectFailed, // the address could not be used; nothing was sent
    Failed,        // the answer carries another serial number, or "result" not true
    Succeeded,     // the answer carries serialNo and a true "result"
    NoAnswer,      // no valid answer in time (the command may still have been carried out)
    Withheld,      // exact delivery could not reach the device (device/Delivery.h): nothing was sent
};

// Where a command goes: the address and port the device announced, and for a device
// outside every subnet of this machine the interface that heard it, through which the
// command is sent on-link (transport/LinuxUdp.h: SetOnLinkInterface).
struct CommandTarget {
    CommandTarget() = default;
    CommandTarget(QString address_, int port_, QString onLinkInterface_ = QString())
        : address(std::move(address_)), port(port_), onLinkInterface(std::move(onLinkInterface_))
    {
    }
    QString address;
    int port = 0;
    QString onLinkInterface; // empty: routed as usual
    // Exact delivery (device/Delivery.h), for a device whose address other devices
    // share: the request must reach this MAC, heard on this interface from this
    // local address, and no other device.
    bool exact = false;
    QString mac;
    QString interfaceName;
    QString localAddress;
};

// The target of a listed device: on-link through its interface when it lies in a
// foreign subnet; exact delivery when other listed devices share its address.
CommandTarget TargetOf(const HeardDevice &device);

// Why a command must not go to `address`, or "" when it may. Commands go only to one
// host named by a strict dotted IPv4 literal (four decimal octets, no leading zeros):
// never a host name, so no resolver is ever asked and no text a device announces can
// lead a command anywhere else; never 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0/4 and above
// (multicast, reserved, 255.255.255.255), nor the network or broadcast address of a
// subnet of this machine (`local`) that holds it, all of which reach no single
// device or several at once. Every command path (the window's dialog, reboot and
// batch window, and every command of brenu-search) sends through SendDeviceCommand,
// which asks this first.
QString DestinationProblem(const QString &address, const LocalSubnets &local);

// Ports a command can be sent to. A port outside 1..65535 would otherwise be cut
// to 16 bits and the command sent to some other service of the device.
bool IsCommandPort(int port);

// Sends `request` to address:port and waits for the first valid answer; nothing is
// sent (ConnectFailed) when DestinationProblem refuses the address. The
// command succeeded when the answer's data[0] "serialNo" is serialNo byte for byte
// and its "result" is true.
CommandResult SendDeviceCommand(const QString &address, int port, Vant::CProtocalJson &request,
                                const QByteArray &serialNo);
// The same towards `target`; the wait ends early (NoAnswer) once *cancel is true.
// *cleared (when given) is set once the request may leave: at once, or for a target
// marked exact once its turn at the shared address has come (device/Delivery.h), which
// can take up to kNeighbourTurnWaitMs; a caller timing the device's reaction starts
// its clock then.
CommandResult SendDeviceCommand(const CommandTarget &target, Vant::CProtocalJson &request, const QByteArray &serialNo,
                                const std::atomic<bool> *cancel = nullptr, std::atomic<bool> *cleared = nullptr);
