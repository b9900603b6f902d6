#include "Device.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace devsim {
namespace {

// Splits "a=1,b=x\,y" into key/value pairs, honouring "\," and "\\".
bool SplitSettings(const std::string &text, std::vector<std::pair<std::string, std::string>> &items, std::string &error)
{
    std::string current;
    auto finish = [&]() -> bool {
        if (current.empty())
            return true;
        size_t eq = current.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "expected key=value, got \"" + current + "\"";
            return false;
        }
        items.emplace_back(current.substr(0, eq), current.substr(eq + 1));
        current.clear();
        return true;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == ',' || text[i + 1] == '\\')) {
            current += text[++i];
        } else if (c == ',') {
            if (!finish())
                return false;
        } else {
            current += c;
        }
    }
    return finish();
}

bool ParsePort(const std::string &text, int &port)
{
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

bool IsIpv4(const std::string &text)
{
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

} // namespace

bool ParseSwitch(const std::string &text, bool &value)
{
    if (text == "on" || text == "true" || text == "yes" || text == "1") {
        value = true;
        return true;
    }
    if (text == "off" || text == "false" || text == "no" || text == "0") {
        value = false;
        return true;
    }
    return false;
}

DeviceConfig GeneratedDevice(int index, const std::vector<std::string> &addressPool, int port)
{
    DeviceConfig d;
    char text[64];
    std::snprintf(text, sizeof text, "BRSIM%06d", index + 1);
    d.settings.serialNo = text;
    d.settings.address = addressPool.empty() ? std::string("10.77.0.2")
                                             : addressPool[static_cast<size_t>(index) % addressPool.size()];
    d.settings.port = port;
    d.settings.dhcp = index % 3 == 0;
    d.settings.subnetMask = "255.255.255.0";
    d.settings.gateway = "10.77.0.254";
    d.settings.dns = "10.77.0.253";
    std::snprintf(text, sizeof text, "02:42:4D:%02X:%02X:%02X", (index >> 16) & 0xff, (index >> 8) & 0xff,
                  index & 0xff);
    d.settings.mac = text;
    if (index % 10 == 9)
        std::snprintf(text, sizeof text, "模拟设备 %d 号", index + 1);
    else
        std::snprintf(text, sizeof text, "Simulated device %d", index + 1);
    d.settings.description = text;
    return d;
}

bool ApplyDeviceSettings(const std::string &text, DeviceConfig &device, std::string &error)
{
    std::vector<std::pair<std::string, std::string>> items;
    if (!SplitSettings(text, items, error))
        return false;
    DeviceSettings &s = device.settings;
    for (const auto &[key, value] : items) {
        bool ok = true;
        if (key == "serial" || key == "serialNo") {
            ok = !value.empty();
            s.serialNo = value;
        } else if (key == "address") {
            ok = IsIpv4(value);
            s.address = value;
        } else if (key == "announce") {
            device.announcedAddress = value;
        } else if (key == "port") {
            ok = ParsePort(value, s.port);
        } else if (key == "dhcp") {
            ok = ParseSwitch(value, s.dhcp);
        } else if (key == "mask" || key == "subnetMask") {
            s.subnetMask = value;
        } else if (key == "gateway") {
            s.gateway = value;
        } else if (key == "dns") {
            s.dns = value;
        } else if (key == "mac") {
            s.mac = value;
        } else if (key == "description") {
            s.description = value;
        } else if (key == "answer") {
            ok = value == "broadcast" || value == "unicast" || value == "directed";
            device.answerByBroadcast = value == "broadcast";
            device.answerBySubnetBroadcast = value == "directed";
        } else if (key == "fault") {
            if (!device.faults.AddList(value, error))
                return false;
        } else if (key == "firmware") {
            ok = value == "any-serial" || value == "check-serial";
            device.anySerial = value == "any-serial";
        } else if (key == "reboot") {
            char *end = nullptr;
            long ms = std::strtol(value.c_str(), &end, 10);
            ok = !value.empty() && *end == '\0' && ms >= 0 && ms <= 24L * 3600 * 1000;
            device.rebootMs = static_cast<int>(ms);
        } else {
            error = "unknown device key \"" + key + "\"";
            return false;
        }
        if (!ok) {
            error = "bad value for " + key + ": \"" + value + "\"";
            return false;
        }
    }
    return true;
}

} // namespace devsim
