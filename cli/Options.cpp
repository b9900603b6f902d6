#include "cli/Options.h"

#include "device/DeviceRecord.h"
#include "device/KeyedText.h"

#include <QCommandLineParser>

#include <algorithm>
#include <QRegularExpression>

#include <arpa/inet.h>

#include "device/DeviceSearch.h"
#include "device/Ipv4Text.h"
#include "cli/BatchCommands.h"
#include "cli/Output.h"

#ifndef BRENU_SEARCH_VERSION
#define BRENU_SEARCH_VERSION "0.0.0"
#endif

namespace cli {

namespace {

struct CommandName {
    const char *name;
    Command command;
};
const CommandName kCommands[] = {{"list", Command::List},
                                 {"watch", Command::Watch},
                                 {"set", Command::Set},
                                 {"reboot", Command::Reboot},
                                 {"url", Command::Url},
                                 {"doctor", Command::Doctor},
                                 {"apply", Command::Apply},
                                 {"assign", Command::Assign}};

// Without --wait, list waits this long for answers; set, reboot and url wait at
// most kFindWaitMs and stop as soon as every device named has answered.
constexpr int kListWaitMs = 2000;
constexpr int kFindWaitMs = 5000;

bool IsDottedQuad(const QString &text)
{
    Ipv4 parsed = 0;
    return ParseIpv4(text, parsed);
}

} // namespace

std::string ReadAddressOptions(const QCommandLineParser &parser, std::initializer_list<AddressOption> options)
{
    for (const AddressOption &field : options) {
        if (!parser.isSet(field.option))
            continue;
        const QString value = parser.value(field.option);
        if (!IsDottedQuad(value))
            return "--" + Utf8(field.option.names().first()) + " takes an IPv4 address, not '" +
                   Utf8(TerminalText(value)) + "'";
        field.value = value;
    }
    return "";
}

// Serial numbers are compared byte for byte with what devices send; the check only
// refuses what cannot be one: empty, too long, white space or control characters.
bool IsSerialText(const QString &text)
{
    if (text.isEmpty() || text.toUtf8().size() > kMaxSerialBytes)
        return false;
    for (uint c : text.toUcs4())
        if (c <= 0x20 || (c >= 0x7f && c < 0xa0) || QChar::isSpace(c) || c == 0xfffd)
            return false;
    return true;
}

namespace {

std::string ParseFormat(const QString &text, Command command, Format &format)
{
    const bool watch = command == Command::Watch;
    if (text == "table")
        format = Format::Table;
    else if (text == "jsonl")
        format = Format::Jsonl;
    else if (text == "prometheus" && watch)
        format = Format::Prometheus;
    else if (text == "openmetrics" && watch)
        format = Format::OpenMetrics;
    else if (text == "json" && !watch)
        format = Format::Json;
    else if (text == "csv" && !watch)
        format = Format::Csv;
    else
        return "unknown format '" + Utf8(text) + "' (" + (watch ? "jsonl, table, prometheus or openmetrics" : "table, json, jsonl or csv") +
               ")";
    return "";
}

} // namespace

std::optional<double> ParseDuration(const QString &text)
{
    static const struct {
        QChar suffix;
        double seconds;
    } kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    QString number = text;
    double unit = 1;
    for (const auto &each : kUnits)
        if (text.endsWith(each.suffix)) {
            number.chop(1);
            unit = each.seconds;
        }
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (!ok || !(value > 0) || number.contains(QRegularExpression("[^0-9.]")))
        return std::nullopt;
    return value * unit;
}

std::string ParseWait(const QString &text, int &waitMs)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < 0 || value > kMaxWaitMs)
        return "--wait takes milliseconds from 0 to " + std::to_string(kMaxWaitMs) + ", not '" + Utf8(text) + "'";
    waitMs = value;
    return "";
}

std::string ReadRangeOptions(const QCommandLineParser &parser, const QCommandLineOption &range,
                             const QCommandLineOption &rate, Invocation &invocation)
{
    for (const QString &text : parser.values(range)) {
        const std::string why = invocation.ranges.Add(Utf8(text));
        if (!why.empty())
            return "--range " + Utf8(TerminalText(text)) + " is refused: " + why;
    }
    if (!invocation.ranges.Empty()) {
        const std::string why = invocation.ranges.CheckLocal(LocalAddresses());
        if (!why.empty())
            return "--range " + why;
    }
    if (parser.isSet(rate)) {
        bool ok = false;
        const unsigned value = parser.value(rate).toUInt(&ok, 10);
        if (!ok || value < 1 || value > kMaxRangeRate)
            return "--range-rate takes requests per second from 1 to " + std::to_string(kMaxRangeRate) + ", not '" +
                   Utf8(TerminalText(parser.value(rate))) + "'";
        if (invocation.ranges.Empty())
            return "--range-rate needs --range";
        invocation.rangeRate = value;
    }
    return "";
}

void WaitForRanges(Invocation &invocation, bool waitGiven)
{
    if (waitGiven || invocation.ranges.Empty())
        return;
    const unsigned rate = invocation.rangeRate ? invocation.rangeRate : kDefaultRangeRate;
    const long long sweepMs = (static_cast<long long>(invocation.ranges.Count()) * 1000 + rate - 1) / rate + 1000;
    invocation.waitMs = static_cast<int>(std::min<long long>(kMaxWaitMs, std::max<long long>(invocation.waitMs, sweepMs)));
}

std::string RangeHelpLines()
{
    return "  --range RANGE     also search the addresses of RANGE by unicast, for devices behind\n"
           "                    a router (10.78.5.0/24 or 10.78.5.10-10.78.5.99; repeatable; at most " +
           std::to_string(kMaxRangeAddresses) +
           "\n"
           "                    addresses in all); they are marked \"routed\"\n"
           "  --range-rate N    range requests per second (default " +
           std::to_string(kDefaultRangeRate) + ", at most " + std::to_string(kMaxRangeRate) + ")\n";
}

std::string ParseCommandLine(const QStringList &arguments, bool stdoutIsTerminal, Invocation &invocation)
{
    // The command is the first argument that is neither an option nor the value of
    // one: options may stand before the command as well as after it.
    // Every option of any command that takes a value (here and in cli/BatchCommands.cpp).
    static const QStringList kValueOptions = {"wait",       "format", "address",        "stale-after",
                                              "forget-after", "mask", "gateway",        "dns",
                                              "dhcp",       "mac",    "verify-timeout", "textfile",
                                              "start",      "state",      "at",
                                              "range",      "range-rate"};
    QString commandName;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == "--") { // the end of the options: the command follows
            if (i + 1 < arguments.size())
                commandName = arguments[i + 1];
            break;
        }
        if (!argument.startsWith('-')) {
            commandName = argument;
            break;
        }
        QString name = argument.mid(argument.startsWith("--") ? 2 : 1);
        if (!name.contains('=') && kValueOptions.contains(name))
            ++i; // its value
    }
    if (!commandName.isEmpty()) {
        for (const CommandName &known : kCommands)
            if (commandName == known.name)
                invocation.command = known.command;
        if (invocation.command == Command::None)
            return "unknown command '" + Utf8(commandName) +
                   "' (list, watch, set, reboot, url, doctor, apply or assign)";
    }
    const Command command = invocation.command;
    if (command == Command::Apply || command == Command::Assign)
        return ParseBatchCommandLine(arguments, stdoutIsTerminal, invocation);

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    QCommandLineOption help(QStringList{"h", "help"}), version("version"), log("log");
    QCommandLineOption wait("wait", "", "MS"), format("format", "", "F"), address("address", "", "A");
    QCommandLineOption staleAfter("stale-after", "", "S"), mask("mask", "", "M"), gateway("gateway", "", "G");
    QCommandLineOption dns("dns", "", "D"), dhcp("dhcp", "", "on|off"), yes("yes"), mac("mac", "", "MAC");
    QCommandLineOption at("at", "", "ADDRESS");
    QCommandLineOption range("range", "", "RANGE"), rangeRate("range-rate", "", "N");
    QCommandLineOption verifyTimeout("verify-timeout", "", "MS"), noVerify("no-verify"), dryRun("dry-run"),
        force("force");
    QCommandLineOption textfile("textfile", "", "FILE"), forgetAfter("forget-after", "", "DURATION"),
        state("state", "", "FILE");
    parser.addOptions({help, version, log});
    if (command == Command::List)
        parser.addOptions({wait, format, address});
    else if (command == Command::Watch)
        parser.addOptions({format, address, staleAfter, forgetAfter, textfile, state});
    else if (command == Command::Set)
        parser.addOptions({wait, address, mask, gateway, dns, dhcp, mac, at, verifyTimeout, noVerify, dryRun, force});
    else if (command == Command::Reboot)
        parser.addOptions({wait, yes, mac, at});
    else if (command == Command::Url)
        parser.addOptions({wait, mac, at});
    else if (command == Command::Doctor)
        parser.addOptions({wait});
    parser.addOptions({range, rangeRate});
    if (!parser.parse(arguments))
        return Utf8(parser.errorText());

    invocation.help = parser.isSet(help);
    invocation.version = parser.isSet(version);
    invocation.log = parser.isSet(log);
    if (invocation.help || invocation.version)
        return "";
    if (command == Command::None)
        return "no command given (list, watch, set, reboot, url, doctor, apply or assign)";
    {
        std::string error = ReadRangeOptions(parser, range, rangeRate, invocation);
        if (!error.empty())
            return error;
    }

    QStringList positional = parser.positionalArguments();
    positional.removeFirst(); // the command
    if (command == Command::List || command == Command::Watch || command == Command::Doctor) {
        if (!positional.isEmpty())
            return "unexpected argument '" + Utf8(positional.first()) + "'";
    } else {
        if (positional.isEmpty())
            return "a serial number is missing";
        if (command != Command::Reboot && positional.size() > 1)
            return "only one serial number, not also '" + Utf8(positional[1]) + "'";
        // As many as one listing holds, like the rows of a plan; duplicates are
        // dropped through a set, in one pass whatever their number.
        if (positional.size() > kMaxDeviceRows)
            return "more than " + std::to_string(kMaxDeviceRows) + " serial numbers";
        KeyedTextSet seen;
        for (const QString &serial : positional) {
            if (!IsSerialText(serial))
                return "'" + Utf8(serial) + "' is not a serial number (1 to " + std::to_string(kMaxSerialBytes) +
                       " bytes without spaces or control characters)";
            if (!seen.contains(serial)) {
                seen.insert(serial);
                invocation.serials << serial;
            }
        }
    }

    const bool lists = command == Command::List || command == Command::Watch;
    if (!lists && command != Command::Doctor && parser.isSet(mac)) {
        invocation.mac = parser.value(mac);
        if (!IsSerialText(invocation.mac))
            return "'" + Utf8(invocation.mac) + "' is not a MAC address (1 to " + std::to_string(kMaxSerialBytes) +
                   " bytes without spaces or control characters)";
        if (invocation.serials.size() > 1)
            return "--mac chooses one device: give only one serial number with it";
    }
    if (!lists && command != Command::Doctor && parser.isSet(at)) {
        invocation.at = parser.value(at);
        if (!IsDottedQuad(invocation.at))
            return "--at takes the IPv4 address the device answers from, not '" + Utf8(invocation.at) + "'";
        if (invocation.serials.size() > 1)
            return "--at pins one device: give only one serial number with it";
    }

    invocation.waitMs = command == Command::List || command == Command::Doctor ? kListWaitMs : kFindWaitMs;
    if (command != Command::Watch && parser.isSet(wait)) {
        std::string error = ParseWait(parser.value(wait), invocation.waitMs);
        if (!error.empty())
            return error;
    }
    if (command != Command::Watch) // watch waits for nothing
        WaitForRanges(invocation, parser.isSet(wait));
    invocation.toTerminal = stdoutIsTerminal;
    invocation.format = stdoutIsTerminal ? Format::Table : command == Command::Watch ? Format::Jsonl : Format::Json;
    if (lists && parser.isSet(format)) {
        std::string error = ParseFormat(parser.value(format), command, invocation.format);
        if (!error.empty())
            return error;
    }
    if (command == Command::Watch && parser.isSet(textfile)) {
        if (invocation.format != Format::Prometheus && invocation.format != Format::OpenMetrics)
            return "--textfile needs --format prometheus or openmetrics";
        invocation.textfile = parser.value(textfile);
        if (invocation.textfile.isEmpty())
            return "--textfile needs a file name";
    }
    if (command == Command::Watch && parser.isSet(state)) {
        if (invocation.format != Format::Prometheus && invocation.format != Format::OpenMetrics)
            return "--state needs --format prometheus or openmetrics";
        invocation.statePath = parser.value(state);
        if (invocation.statePath.isEmpty())
            return "--state needs a file name";
    }
    if (command == Command::Watch && parser.isSet(staleAfter)) {
        bool ok = false;
        const double value = parser.value(staleAfter).toDouble(&ok);
        if (!ok || !(value >= kMinStaleAfterS && value <= kMaxStaleAfterS))
            return "--stale-after takes seconds from 0.1 to 86400, not '" + Utf8(parser.value(staleAfter)) + "'";
        invocation.staleAfterS = value;
    }
    if (command == Command::Watch && parser.isSet(forgetAfter)) {
        const std::optional<double> seconds = ParseDuration(parser.value(forgetAfter));
        if (!seconds || *seconds > kMaxForgetAfterS)
            return "--forget-after takes a duration up to 20d (such as 3600, 90m, 24h or 7d), not '" +
                   Utf8(parser.value(forgetAfter)) + "'";
        invocation.forgetAfterS = *seconds;
    }
    if (command == Command::Watch && invocation.forgetAfterS <= invocation.staleAfterS)
        return "--forget-after must be longer than --stale-after";

    if (lists) {
        for (const QString &from : parser.values(address)) {
            if (!IsDottedQuad(from))
                return "--address takes a local IPv4 address, not '" + Utf8(from) + "'";
            invocation.searchFrom.push_back(Utf8(from));
        }
    }
    if (command == Command::Set) {
        std::string error = ReadAddressOptions(parser, {{address, invocation.address},
                                                        {mask, invocation.subnetMask},
                                                        {gateway, invocation.gateway},
                                                        {dns, invocation.dns}});
        if (!error.empty())
            return error;
        if (parser.isSet(dhcp)) {
            const QString value = parser.value(dhcp);
            if (value != "on" && value != "off")
                return "--dhcp takes on or off, not '" + Utf8(value) + "'";
            invocation.dhcp = value == "on";
        }
        if (!invocation.address && !invocation.subnetMask && !invocation.gateway && !invocation.dns &&
            !invocation.dhcp)
            return "nothing to set: give --address, --mask, --gateway, --dns or --dhcp";
        if (parser.isSet(verifyTimeout)) {
            bool ok = false;
            const int value = parser.value(verifyTimeout).toInt(&ok, 10);
            if (!ok || value < 1 || value > kMaxWaitMs)
                return "--verify-timeout takes milliseconds from 1 to " + std::to_string(kMaxWaitMs) + ", not '" +
                       Utf8(parser.value(verifyTimeout)) + "'";
            invocation.verifyTimeoutMs = value;
        }
        if (parser.isSet(noVerify)) {
            if (parser.isSet(verifyTimeout))
                return "--no-verify and --verify-timeout exclude each other";
            invocation.verifyTimeoutMs = 0;
        }
        invocation.dryRun = parser.isSet(dryRun);
        invocation.force = parser.isSet(force);
    }
    invocation.yes = command == Command::Reboot && parser.isSet(yes);
    return "";
}

std::string VersionText()
{
    return std::string("brenu-search ") + BRENU_SEARCH_VERSION + "\n";
}

std::string ExitStatusTable()
{
    return R"(Exit status (the same for every command):
  0      done: listed, confirmed or verified, nothing to change, a dry run whose
         rows could all be sent, no problem found (doctor)
  1      a device refused the command (it answered no); the output could not be
         written; doctor found a problem (no address to search from is one);
         url: no IPv4 address announced, or one no command may go to
  2      usage error or bad value; a plan or batch refused as a whole; settings
         refused without --force; not confirmed at the prompt
  3      a device named was not found
  4      more devices answered than a listing holds (list, watch)
  5      several devices answer with a serial number named (--mac chooses), or
         several source addresses answer for one device (--at pins one); nothing
         sent
  6      cannot search: no local IPv4 address, or no search socket could be opened
         (doctor reports these as problems, 1; watch with metrics waits for an
         address instead)
  7      sent, but not confirmed: no answer in time, and no search answer from the
         device itself showed the change
  8      nothing could be sent: the device's address is not a unicast IPv4 address
         a command may go to, its port takes no commands, no socket could be
         opened towards it, another device at its shared address answers for it,
         or the address it was to take was not freed
  128+N  ended by signal N (SIGINT, SIGTERM) before the command was done
With several devices (reboot, apply, assign) the highest status of any wins.
)";
}

std::string HelpText(Command command)
{
    // Every command but the overview searches, and takes the range options.
    const std::string ranges =
        command == Command::None ? std::string() : "\nDevices behind a router:\n" + RangeHelpLines();
    return CommandHelpText(command) + ranges + "\n" + ExitStatusTable();
}

std::string CommandHelpText(Command command)
{
    switch (command) {
    case Command::List:
        return R"(usage: brenu-search list [--wait MS] [--format table|json|jsonl|csv] [--address A]...

Searches for devices for MS milliseconds (default 2000; the search request goes out
at once and again every 5 s), then prints every device heard once, by serial number
in ascending order, with its latest answer. Answers are taken as the window takes
them: a record needs serialNo, address, a port above 0, subnetMask, gateway, dns and
mac; serial numbers compare case-sensitively.

  --wait MS         how long to listen (0 to 3600000)
  --format F        table (default on a terminal), json (default otherwise): an array
                    of objects with the members serialNo, address, port (number), dhcp
                    (true/false), subnetMask, gateway, dns, mac, description,
                    interface and localAddress (where it was heard), subnet ("local";
                    "foreign": outside every subnet of that interface; "routed":
                    heard through a search range), conflict
                    (an array of "serial": another device answers with its serial
                    number, "address": another serial number answers from its
                    address); jsonl: one such object per line; csv: a header line and
                    RFC 4180 records (cells starting with = + - @ TAB or CR get a
                    leading apostrophe)
  --address A       search only from this local address (repeatable)

Devices answering with one serial number are listed separately (a device is its
serial number and MAC). The table ends with a "Note:" line for each device in a
conflict or a foreign subnet. JSON escapes control, line-separator and bidi
characters as \uXXXX; on a terminal no format shows them raw.

At most 20000 devices are listed. When more answer, the listing ends with a note (a
last table line, a last json/jsonl object {"overflow":true,"limit":20000,
"ignoredAnswers":N}; csv keeps its records only), one line goes to standard error
and the exit status is 4.
)";
    case Command::Watch:
        return R"(usage: brenu-search watch [--format jsonl|table|prometheus|openmetrics]
                          [--textfile FILE]
                          [--stale-after S] [--forget-after DURATION] [--state FILE]
                          [--address A]...

Keeps searching (a request every 5 s) and prints one line per event until SIGINT or
SIGTERM: "appeared" (a new device), "changed" (its answer differs; the changed
members are named), "silent" (not heard for S seconds, default 15), "back" (heard
again after being silent). jsonl (default when not on a terminal) prints objects
{"time","event","serialNo","changed"?,"device"}; table prints readable lines.
prometheus and openmetrics print no events: after every search round they print
every device as metrics (brenu_device_info, brenu_device_up,
brenu_device_last_seen_timestamp_seconds, brenu_device_conflict, brenu_devices,
brenu_search_rounds_total, brenu_ignored_answers_total, brenu_build_info; see the
manual page), in the Prometheus text format 0.0.4 or in OpenMetrics 1.0.

  --format F        jsonl, table (default on a terminal), prometheus or openmetrics
  --textfile FILE   metrics only: replace FILE whole after every round (written
                    beside it, then renamed) instead of printing, for node_exporter's
                    textfile collector; its folder must exist
  --stale-after S   seconds without an answer before a device counts as silent
                    (0.1 to 86400, default 15; keep it above the 5 s search period)
  --forget-after DURATION
                    how long a silent device stays before it is dropped ("forgotten"
                    event; metrics: brenu_devices_forgotten_total): seconds, or with
                    s, m, h or d (default 24h, at most 20d)
  --state FILE      metrics only: keep the device set in FILE (saved every minute
                    and at the end, read at the start), so that a restart keeps
                    the devices that are down
  --address A       search only from this local address (repeatable); with
                    metrics, one the machine does not hold yet (DHCP at boot) is
                    waited for, and so is any address at all without --address

At most 20000 devices are watched; when more answer, one "overflow" event is printed
(metrics: one line on standard error, and brenu_ignored_answers_total counts
them) and the exit status is 4.
It ends when its output is a pipe whose reader has gone (within a second, even
without anything to print), and on SIGINT or SIGTERM: cleanly, then by that signal.
)";
    case Command::Set:
        return R"(usage: brenu-search set SERIAL [--address A] [--mask M] [--gateway G] [--dns D] [--dhcp on|off]
                        [--mac MAC] [--at A] [--verify-timeout MS | --no-verify] [--dry-run] [--force]

Finds the device by a search (at most --wait MS, default 5000) and sends it the same
update request as the window's settings dialog: serial number, MAC and description as
the device reported them, the addresses and DHCP state given here, the others as the
device reported them. With DHCP off, all four addresses must be dotted IPv4 text
(three dots, digits only). Addresses can only be set with DHCP off, as in the dialog.
If nothing differs from what the device reports, nothing is sent. The request goes to
the address and port the device announced (on-link through the interface that heard
it when it lies outside every subnet of that interface); the device has 10 s to
answer. Then the search goes on until the device (same serial number and MAC)
answers with the new settings: that confirms the change, even when its answer to the
command was lost; a device that says yes but still shows the old settings is not
confirmed.

Refused unless --force (status 2, nothing sent): the address 0.0.0.0, 127.0.0.0/8,
224.0.0.0 and above, the network or broadcast address of the new subnet, or an
address of this machine; a mask whose one bits are not contiguous (or 0.0.0.0); a
gateway outside the new subnet; a DNS server 0.0.0.0, 127.0.0.0/8 or 224.0.0.0 and
above.

  --address A, --mask M, --gateway G, --dns D   new IPv4 settings
  --dhcp on|off                                 switch DHCP
  --mac MAC                                     the device with this MAC, when
                                                several answer with SERIAL
  --at ADDRESS                                  the device answering from (and
                                                announcing) ADDRESS, when several
                                                source addresses answer with its
                                                serial number and MAC
  --verify-timeout MS                           how long to wait for the search to
                                                show the change (default 15000)
  --no-verify                                   the device's answer decides
  --dry-run                                     print each setting old -> new and the
                                                request; send nothing
  --force                                       send settings refused above
  --wait MS                                     how long to search for the device

Prints "SERIAL: succeeded" when the change is confirmed (0), "refused by the device"
(1), "not confirmed" with what was missing when it was sent but not confirmed (7),
and, with nothing sent, why: an address or port that takes no command, "could not
connect", "not sent: another device at this address answers for it" (8).
)";
    case Command::Reboot:
        return R"(usage: brenu-search reboot SERIAL... [--yes] [--wait MS] [--mac MAC] [--at A]

Finds the devices by a search (at most --wait MS, default 5000), asks for
confirmation when standard input is a terminal (without a terminal --yes is
required), sends each device the window's reboot request and prints one verdict per
device: "SERIAL: succeeded" (0), "refused by the device" (1), "not found" (3), "not
confirmed" when sent without an answer in time (7), or, with nothing sent, the
reason: an address or port that takes no command, "could not connect", "not sent:
another device at this address answers for it" (8).

  --yes       do not ask
  --wait MS   how long to search for the devices
  --mac MAC   with one SERIAL: the device with this MAC, when several answer with it
  --at A      with one SERIAL: the device answering from (and announcing) A, when
              several source addresses answer with its serial number and MAC

A device outside every subnet of the interface that heard it is sent the request
on-link through that interface.
)";
    case Command::Url:
        return R"(usage: brenu-search url SERIAL [--wait MS] [--mac MAC] [--at A]

Finds the device by a search (at most --wait MS, default 5000) and prints its web
address, "http://" followed by its IPv4 address (status 1 when it announces none,
or one no command may go to: this machine, a broadcast or network address). --mac
MAC chooses among devices answering with SERIAL.
)";
    case Command::Doctor:
        return R"(usage: brenu-search doctor [--wait MS]

Explains an empty or short device list. Prints the local addresses and whether each
is searched (interfaces that are down, without link or loopback are not), runs one
search round of MS milliseconds (default 2000) and reports: the port each address
searches from and, when port 19009 is held, by which program; the receivers of
broadcast answers; failed requests by cause; the reverse-path filter (rp_filter) of
each interface searched and whether it drops the broadcast answers of devices in
other subnets; the number of devices that answered. Each problem comes with what to
do about it.
)";
    case Command::Apply:
    case Command::Assign:
        return BatchHelpText(command);
    case Command::None:
        break;
    }
    return R"(usage: brenu-search [--log] COMMAND [OPTIONS]
       brenu-search -h | --help | --version | COMMAND --help

Finds Brenu devices on the local networks by UDP broadcast (a search request from
port 19009 of every local IPv4 address to 255.255.255.255:19010) and sends them
commands, like the BrenuSearchTools window, without a display.

Commands:
  list      list the devices that answer
  watch     print devices that appear, change, go silent or come back
  set       change one device's network settings
  reboot    reboot devices
  url       print a device's web address
  doctor    explain an empty or short list: addresses, ports, receivers, filters
  apply     send new settings to many devices from a plan file, verified
  assign    give many devices addresses from a start address upward, verified

  --log       write the log the window writes, to the same folder: log/ beside
              the program when it can be written there, otherwise
              $XDG_STATE_HOME/BrenuSearchTools/log/ (~/.local/state/...);
              without it nothing is logged
  -h, --help  this text, or a command's
  --version   the program's version

Options may stand before the command as well as after it. SIGINT or SIGTERM ends a
command cleanly and then the program by that signal (a signal ignored at the start
stays ignored). Output to a closed pipe ends the program quietly.
)";
}

} // namespace cli
