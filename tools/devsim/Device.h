#pragma once
// The simulated device: the settings it announces in its search answers and how it
// behaves (answering by unicast or broadcast, faults, length of a reboot).
#include <string>
#include <vector>

#include "Faults.h"

namespace devsim {

// What a device announces; the member names of its search answer are in brackets.
struct DeviceSettings {
    std::string serialNo;    // "serialNo"
    std::string address;     // "address": IPv4 text
    int port = 0;            // "port": the command port
    bool dhcp = false;       // "dhcp"
    std::string subnetMask;  // "subnetMask"
    std::string gateway;     // "gateway"
    std::string dns;         // "dns"
    std::string mac;         // "mac"
    std::string description; // "description", UTF-8
};

struct DeviceConfig {
    DeviceSettings settings;
    bool answerByBroadcast = false; // search answers go to 255.255.255.255
    // Search answers go to the broadcast address of the device's own subnet (for
    // 10.77.0.3/24: 10.77.0.255), as some devices answer.
    bool answerBySubnetBroadcast = false;
    // Firmware that carries out any command reaching it, whatever serial number the
    // command names (as some devices do); otherwise a command for another serial
    // number is ignored.
    bool anySerial = false;
    // The "address" its search answers announce when not empty (any text: a name, a
    // loopback or broadcast address), while it listens on settings.address.
    std::string announcedAddress;
    FaultSet faults;                // this device's own faults (global ones are merged in)
    int rebootMs = -1;              // silence after a reboot; -1 = the global setting
};

// Settings of the generated device number `index` (0-based): serial "BRSIM" + six
// digits, address from `addressPool` round robin, the command port `port`, DHCP on for
// every third device, fixed mask/gateway/DNS, a locally administered MAC and an
// English description (every tenth one Chinese).
DeviceConfig GeneratedDevice(int index, const std::vector<std::string> &addressPool, int port);

// Applies a settings list such as "serial=SN1,address=10.77.0.3,port=8001,dhcp=on,
// description=仓库\, 一号,answer=broadcast,fault=garbage+split,reboot=2000" to `device`.
// A comma or backslash inside a value is written "\," or "\\". Returns false (and
// says why) on an unknown key or a bad value.
bool ApplyDeviceSettings(const std::string &text, DeviceConfig &device, std::string &error);

// "on/true/yes/1" and "off/false/no/0".
bool ParseSwitch(const std::string &text, bool &value);

} // namespace devsim
