#pragma once
// The command line of brenu-search: which command, its options, and the help texts.
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "cli/Output.h"
#include "protocol/SearchRanges.h"

namespace cli {

enum class Command { None, List, Watch, Set, Reboot, Url, Doctor, Apply, Assign };

// The longest wait a command accepts. Waits are given in milliseconds as an int;
// an hour is far beyond any search round and keeps every sum in range.
constexpr int kMaxWaitMs = 3600 * 1000;
// The longest serial number accepted on the command line, in UTF-8 bytes. Real
// serial numbers are a dozen characters; a longer argument is a mistake (a path or a
// pasted line), and it bounds the texts printed back in messages.
constexpr int kMaxSerialBytes = 64;
// --stale-after bounds in seconds: below a tenth of a second every device would go
// silent between two answers; a day is far beyond any use and keeps the
// milliseconds in range.
constexpr double kMinStaleAfterS = 0.1;
constexpr double kMaxStaleAfterS = 86400;
// --forget-after: how long a silent device stays listed by watch (and in the
// metrics) before it is dropped as retired. The default, a day, outlasts a night's
// power cut or a weekend switch swap only when raised, but keeps a replaced device's
// alert from firing for ever. The bound, 20 days, stays below 2^31 ms, the longest
// span the list's millisecond ticks (taken modulo 2^32) can compare.
constexpr double kDefaultForgetAfterS = 24 * 3600;
constexpr double kMaxForgetAfterS = 20 * 86400;

// A duration as seconds ("3600", "1.5") or with a unit: s, m, h or d ("90m", "7d");
// nothing when it is not one or not above 0.
std::optional<double> ParseDuration(const QString &text);

struct Invocation {
    Command command = Command::None;
    bool help = false;
    bool version = false;
    bool log = false;

    int waitMs = 0;
    Format format = Format::Table;
    // Standard output is a terminal: no format passes control characters to it.
    bool toTerminal = false;
    std::vector<std::string> searchFrom; // list/watch --address: local addresses
    // --range (every command that searches): addresses behind routers searched by
    // unicast; --range-rate: their requests per second (0: kDefaultRangeRate).
    SearchRanges ranges;
    unsigned rangeRate = 0;
    double staleAfterS = 15;
    double forgetAfterS = kDefaultForgetAfterS;
    QString textfile; // watch --textfile: where the metrics text goes
    QString statePath; // watch --state: the exporter's device set across restarts

    QStringList serials;
    // set, reboot, url: --mac, the MAC address that chooses among devices answering
    // with one serial number (empty: none given).
    QString mac;
    // set, reboot, url: --at, the source address that answers for the device, to pin
    // one when several answer with its serial number and MAC (empty: none given).
    QString at;
    // set: the values given, if any.
    std::optional<QString> address, subnetMask, gateway, dns;
    std::optional<bool> dhcp;
    // set: how long to wait for the device's search answers to show the change (0:
    // --no-verify, the device's answer decides); --dry-run; --force (also apply, assign).
    int verifyTimeoutMs = 15000;
    bool dryRun = false;
    bool force = false;
    bool yes = false;
    // apply: the plan file; assign: --start (the mask, gateway, DNS and DHCP state
    // are the fields above).
    QString planPath;
    std::optional<QString> start;
};

// Reads argv. Returns "" on success, else the one-line reason (without the program
// name). stdoutIsTerminal picks the default format.
std::string ParseCommandLine(const QStringList &arguments, bool stdoutIsTerminal, Invocation &invocation);

// Whether text can be a serial number: not empty, at most kMaxSerialBytes, without
// white space or control characters (anything else is compared byte for byte).
bool IsSerialText(const QString &text);
// --wait: milliseconds from 0 to kMaxWaitMs; "" or the reason it is refused.
std::string ParseWait(const QString &text, int &waitMs);

// An option that takes an IPv4 address, and where its text goes once checked.
struct AddressOption {
    const QCommandLineOption &option;
    std::optional<QString> &value;
};
// Stores each of `options` that is given; "" or the reason one is refused (not a
// dotted-quad address).
std::string ReadAddressOptions(const QCommandLineParser &parser, std::initializer_list<AddressOption> options);

// --range and --range-rate: checks each range (and that none holds an address of
// this machine) into invocation.ranges; "" or the reason one is refused.
std::string ReadRangeOptions(const QCommandLineParser &parser, const QCommandLineOption &range,
                             const QCommandLineOption &rate, Invocation &invocation);
// Without --wait, a search with ranges waits at least for one sweep of them and a
// second more for the last answers (within kMaxWaitMs): a wait of the usual 2 s
// would ask only the first few hundred addresses of a large range.
void WaitForRanges(Invocation &invocation, bool waitGiven);
// The lines --help gives for --range and --range-rate.
std::string RangeHelpLines();

// The --help text of a command (Command::None: the program's overview), each ending
// with the one exit-status table (ExitStatusTable).
std::string HelpText(Command command);
std::string CommandHelpText(Command command);
// The exit statuses of every command (cli/ExitStatus.h), as --help prints them.
std::string ExitStatusTable();
std::string VersionText();

} // namespace cli
