#pragma once
// Command-line options of brenu-devsim, also readable from a config file.
#include <cstdint>
#include <string>
#include <vector>

#include "Device.h"
#include "Faults.h"

namespace devsim {

struct Options {
    int deviceCount = 0;                  // --devices N: generated devices
    std::vector<std::string> addressPool; // --address-pool A,B,...: addresses of generated devices
    int basePort = 8000;                  // --base-port P: command port of generated devices
    std::vector<std::string> deviceSettings; // --device LIST (repeatable): exact devices
    FaultSet faults;                      // --fault LIST (repeatable): faults of every device
    bool broadcast = false;               // --broadcast: every device answers searches by broadcast
    int jitterMs = 0;                     // --jitter MS: random delay 0..MS per answer
    bool answerOnce = false;              // --answer-once: one answer per device and searcher
    int rebootMs = 5000;                  // --reboot-time MS: silence after a reboot
    int splitGapMs = 20;                  // --split-gap MS: pause between the halves of a split answer
    int oversizeBytes = 2000;             // --oversize-bytes N: size of an oversize datagram
    int searchPort = 19010;               // --search-port P
    std::string logPath;                  // --log FILE ("-" = standard output)
    bool logHex = false;                  // --log-hex: datagrams in hex instead of escaped
    bool echoKeepAlive = false;           // --echo-keepalive: answer empty datagrams with one
    bool exitWithParent = false;          // --exit-with-parent
    bool quiet = false;                   // --quiet: ready line and summary only in the log
    uint32_t seed = 1;                    // --seed N: jitter random generator
    int sendBufferBytes = 8 << 20;        // --send-buffer N: SO_SNDBUF asked for
    std::string link;                     // --link IF: one device, owning IF's MAC and addresses
    bool anySerial = false;               // --firmware any-serial (default check-serial)
    std::string macOfLink;                // --mac-of-link IF: every device announces IF's MAC
    bool help = false;                    // --help
};

// Parses the arguments (without the program name). "--config FILE" reads further
// options from FILE: one option per line written without the leading "--"
// ("devices 12", "device serial=SN1,address=10.77.0.5"); blank lines and lines
// starting with "#" are skipped. Returns false and says why on an error.
bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

// The devices the options describe: the generated ones, then the exact ones, each
// with the global faults merged in. Fails on a serial number given twice.
bool BuildDevices(const Options &options, std::vector<DeviceConfig> &devices, std::string &error);

const char *UsageText();

} // namespace devsim
