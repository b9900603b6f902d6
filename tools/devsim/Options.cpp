#include "Options.h"

#include <cstdlib>
#include <fstream>
#include <set>
#include <tuple>

namespace devsim {
namespace {

bool ParseInt(const std::string &text, long low, long high, long &value)
{
    char *end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= low && value <= high;
}

std::vector<std::string> SplitList(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool ParseConfigFile(const std::string &path, Options &options, std::string &error, int depth);

// Applies one option; `value` is empty for switches. `used` tells whether the value
// was consumed.
bool ApplyOption(const std::string &name, const std::string *value, bool &used, Options &o, std::string &error,
                 int depth)
{
    used = false;
    auto need = [&]() -> bool {
        if (!value) {
            error = "option --" + name + " needs a value";
            return false;
        }
        used = true;
        return true;
    };
    auto number = [&](long low, long high, int &target) -> bool {
        if (!need())
            return false;
        long v = 0;
        if (!ParseInt(*value, low, high, v)) {
            error = "bad value for --" + name + ": \"" + *value + "\"";
            return false;
        }
        target = static_cast<int>(v);
        return true;
    };

    if (name == "devices")
        return number(0, 1000000, o.deviceCount);
    if (name == "address-pool") {
        if (!need())
            return false;
        o.addressPool = SplitList(*value);
        return true;
    }
    if (name == "base-port")
        return number(1, 65535, o.basePort);
    if (name == "device") {
        if (!need())
            return false;
        o.deviceSettings.push_back(*value);
        return true;
    }
    if (name == "fault")
        return need() && o.faults.AddList(*value, error);
    if (name == "broadcast") {
        o.broadcast = true;
        return true;
    }
    if (name == "jitter")
        return number(0, 600000, o.jitterMs);
    if (name == "answer-once") {
        o.answerOnce = true;
        return true;
    }
    if (name == "reboot-time")
        return number(0, 24 * 3600 * 1000, o.rebootMs);
    if (name == "split-gap")
        return number(0, 60000, o.splitGapMs);
    if (name == "oversize-bytes")
        return number(1473, 65000, o.oversizeBytes);
    if (name == "search-port")
        return number(1, 65535, o.searchPort);
    if (name == "log") {
        if (!need())
            return false;
        o.logPath = *value;
        return true;
    }
    if (name == "log-hex") {
        o.logHex = true;
        return true;
    }
    if (name == "echo-keepalive") {
        o.echoKeepAlive = true;
        return true;
    }
    if (name == "exit-with-parent") {
        o.exitWithParent = true;
        return true;
    }
    if (name == "quiet") {
        o.quiet = true;
        return true;
    }
    if (name == "seed") {
        int seed = 0;
        if (!number(0, 2147483647, seed))
            return false;
        o.seed = static_cast<uint32_t>(seed);
        return true;
    }
    if (name == "send-buffer")
        return number(4096, 1 << 30, o.sendBufferBytes);
    if (name == "link") {
        if (!need())
            return false;
        o.link = *value;
        return true;
    }
    if (name == "mac-of-link") {
        if (!need())
            return false;
        o.macOfLink = *value;
        return true;
    }
    if (name == "firmware") {
        if (!need())
            return false;
        if (*value != "any-serial" && *value != "check-serial") {
            error = "bad value for --firmware: \"" + *value + "\" (any-serial or check-serial)";
            return false;
        }
        o.anySerial = *value == "any-serial";
        return true;
    }
    if (name == "config") {
        if (!need())
            return false;
        return ParseConfigFile(*value, o, error, depth + 1);
    }
    if (name == "help") {
        o.help = true;
        return true;
    }
    error = "unknown option --" + name;
    return false;
}

bool ParseConfigFile(const std::string &path, Options &options, std::string &error, int depth)
{
    if (depth > 8) {
        error = "config files nested too deeply at " + path;
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        error = "cannot read config file " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        line.erase(0, first);
        size_t space = line.find_first_of(" \t");
        std::string name = line.substr(0, space);
        std::string value;
        bool hasValue = false;
        if (space != std::string::npos) {
            size_t start = line.find_first_not_of(" \t", space);
            if (start != std::string::npos) {
                value = line.substr(start);
                hasValue = true;
            }
        }
        bool used = false;
        bool ok = ApplyOption(name, hasValue ? &value : nullptr, used, options, error, depth);
        if (ok && hasValue && !used) {
            error = "option " + name + " takes no value";
            ok = false;
        }
        if (!ok) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            error = "unexpected argument \"" + arg + "\"";
            return false;
        }
        std::string name = arg.substr(2);
        size_t eq = name.find('=');
        bool used = false;
        if (eq != std::string::npos) {
            std::string value = name.substr(eq + 1);
            name.erase(eq);
            if (!ApplyOption(name, &value, used, options, error, 0))
                return false;
            if (!used) {
                error = "option --" + name + " takes no value";
                return false;
            }
        } else {
            const std::string *next = i + 1 < args.size() ? &args[i + 1] : nullptr;
            if (!ApplyOption(name, next, used, options, error, 0))
                return false;
            if (used)
                ++i;
        }
    }
    return true;
}

bool BuildDevices(const Options &options, std::vector<DeviceConfig> &devices, std::string &error)
{
    devices.clear();
    int total = options.deviceCount + static_cast<int>(options.deviceSettings.size());
    devices.reserve(static_cast<size_t>(total));
    for (int i = 0; i < options.deviceCount; ++i)
        devices.push_back(GeneratedDevice(i, options.addressPool, options.basePort));
    for (size_t k = 0; k < options.deviceSettings.size(); ++k) {
        // An exact device starts from the generated pattern of its position, so only
        // what differs needs to be written.
        DeviceConfig d = GeneratedDevice(static_cast<int>(devices.size()), options.addressPool, options.basePort);
        if (!ApplyDeviceSettings(options.deviceSettings[k], d, error)) {
            error = "--device " + options.deviceSettings[k] + ": " + error;
            return false;
        }
        devices.push_back(std::move(d));
    }
    if (!options.link.empty() && devices.size() != 1) {
        error = "--link plays exactly one device, not " + std::to_string(devices.size());
        return false;
    }
    // Two devices may share a serial number (a cloned firmware image) as long as their
    // MAC addresses tell them apart, or their addresses do (a host answering with
    // another device's serial number and MAC from its own address).
    std::set<std::tuple<std::string, std::string, std::string>> identities;
    for (DeviceConfig &d : devices) {
        if (!identities.insert({d.settings.serialNo, d.settings.mac, d.settings.address}).second) {
            error = "serial number " + d.settings.serialNo + " is given twice with MAC " + d.settings.mac + " at " +
                    d.settings.address;
            return false;
        }
        d.faults.Merge(options.faults);
        if (options.anySerial)
            d.anySerial = true;
        if (options.broadcast)
            d.answerByBroadcast = true;
        if (d.rebootMs < 0)
            d.rebootMs = options.rebootMs;
    }
    return true;
}

const char *UsageText()
{
    return R"(usage: brenu-devsim [options]
Plays Brenu devices on UDP for tests and demos. Run it only inside the device
namespace of the project's network sandbox; it refuses to start when its network
namespace holds an IPv4 address outside 127.0.0.0/8 and 10.77.0.0/16.

Devices
  --devices N            generate N devices (serial BRSIM000001...)
  --address-pool A,B     addresses of generated devices, round robin (default 10.77.0.2)
  --base-port P          command port of generated devices (default 8000)
  --device LIST          an exact device, e.g. serial=SN1,address=10.77.0.3,port=8001,
                         dhcp=on,mask=255.255.255.0,gateway=10.77.0.254,dns=10.77.0.253,
                         mac=02:00:00:00:00:01,description=text,answer=broadcast,
                         fault=garbage+command:silent,reboot=2000,firmware=any-serial
                         ("\," for a comma); announce=TEXT: its answers announce
                         TEXT as address (a name, 127.0.0.1) while it listens on
                         address;
                         answer=unicast|broadcast (255.255.255.255)|directed (the
                         broadcast address of the device's subnet)
  --config FILE          more options from FILE, one per line without "--"
  --link IF              play one device as a box of its own on link IF (one
                         namespace per device on a switched LAN): its MAC is IF's,
                         and a new address replaces the old one on IF
  --mac-of-link IF       every device announces IF's MAC: one host playing many
                         devices behind one interface, which a request sent to that
                         MAC reaches (devices at one address are told apart by
                         serial number)
Behaviour
  --firmware MODE        check-serial (default): a device carries out only commands
                         naming its serial number; any-serial: it applies whatever
                         update or reboot reaches it (the request log notes each
                         "foreign" request, one naming another serial number)
  --broadcast            all devices answer searches by broadcast
  --jitter MS            delay each answer by a random 0..MS ms (default 0)
  --answer-once          each device answers only the first search of each searcher
  --reboot-time MS       a rebooted device stays silent MS ms (default 5000)
  --fault LIST           faults of every device: garbage, split, double, api-case,
                         no-data, oversize, wrong-serial, result-false, result-number,
                         result-string, silent, lost, ignored (says yes, changes
                         nothing); "search:" or "command:" limits one
  --split-gap MS         pause between the two halves of a split answer (default 20)
  --oversize-bytes N     size of an oversize datagram (default 2000)
  --echo-keepalive       answer an empty datagram on a command port with an empty one
  --search-port P        search port (default 19010)
  --seed N               seed of the jitter (default 1)
  --send-buffer BYTES    SO_SNDBUF to ask for (default 8 MiB)
Output
  --log FILE             every received datagram, one line each ("-" = stdout);
                         the ready line, notes and the summary go there too
  --log-hex              datagram bytes in hex instead of escaped text
  --exit-with-parent     end when the process that started it ends
  --quiet                no ready line and summary on stdout (the log still has them)
  --help
)";
}

} // namespace devsim
