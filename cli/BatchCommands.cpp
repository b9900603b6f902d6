#include "cli/BatchCommands.h"

#include <QCommandLineParser>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "cli/Commands.h"
#include "device/DeviceSearch.h"
#include "cli/ExitStatus.h"
#include "cli/StopSignal.h"
#include "device/Batch.h"
#include "device/Delivery.h"
#include "device/DeviceCommand.h"
#include "kit/UnsafeText.h"
#include "protocol/Json.h"
#include "protocol/RapidJson.h"
#include "transport/LinuxNeighbourProbe.h"
#include "device/KeyedText.h"

namespace cli {

namespace {

// How often a run looks at the search for the devices' new values and at the clock.
constexpr auto kRunStep = std::chrono::milliseconds(100);
// Without --wait, the search for the devices named ends after this long, or as soon
// as every one has answered.
constexpr int kBatchFindWaitMs = 5000;

int StatusOf(BatchStatus status)
{
    switch (status) {
    case BatchStatus::Verified:
    case BatchStatus::Unchanged:
        return kExitOk;
    case BatchStatus::Refused:
    case BatchStatus::NoAddress:
        return kExitDeviceFailed;
    case BatchStatus::Missing:
        return kExitNotFound;
    case BatchStatus::HolderStayed:
    case BatchStatus::OtherAnswers:
    case BatchStatus::Stopped:
    case BatchStatus::NotSent:
        return kExitNotSent; // nothing was sent to it
    case BatchStatus::Ambiguous:
    case BatchStatus::IdentityConflict:
        return kExitAmbiguous;
    default:
        return kExitNotConfirmed;
    }
}

// Starts `search` and waits for the devices named (cli/Commands.h: WaitForNamed);
// then every device it heard is in `devices`. kExitOk, or the status to end with.
int SearchFor(DeviceSearch &search, const std::vector<NamedDevice> &names, int waitMs,
              std::vector<HeardDevice> &devices)
{
    search.Start();
    if (!CanSearch(search))
        return kCannotSearch;
    if (!WaitForNamed(search, names, waitMs))
        return Interrupted();
    search.WithDevices([&](DeviceList &list) { devices = list.Devices(); });
    return kExitOk;
}

QString Safe(const QString &text)
{
    return TerminalText(text);
}

QString SettingsText(const NetworkSettings &settings)
{
    if (settings.dhcp)
        return QStringLiteral("dhcp on");
    return Safe(settings.address) + "/" + Safe(settings.subnetMask) + " gw " + Safe(settings.gateway) + " dns " +
           Safe(settings.dns);
}

std::string FormatTable(const std::vector<BatchEntry> &entries, const std::vector<BatchStatus> &statuses,
                        bool dryRun)
{
    std::string text;
    for (size_t i = 0; i < entries.size(); ++i) {
        const BatchEntry &entry = entries[i];
        const BatchStatus status = statuses[i];
        QString line = Safe(entry.serialNo);
        if (entry.planLine)
            line = QStringLiteral("line %1 ").arg(entry.planLine) + line;
        if (entry.device) {
            line += " (" + Safe(entry.device->mac) + "): " + SettingsText(SettingsOf(*entry.device));
            if (status != BatchStatus::Unchanged && status != BatchStatus::NoAddress)
                line += " -> " + SettingsText(entry.target);
        }
        const bool toSend = dryRun && status == BatchStatus::Waiting;
        line += QStringLiteral(": ") + (toSend ? "would be sent" : BatchStatusName(status));
        text += Utf8(line) + "\n";
        if (toSend) {
            Vant::CProtocalJson request;
            BuildUpdateRequest(*entry.device, entry.target, request);
            const CommandTarget target = TargetOf(*entry.device);
            text += "  request to " + Utf8(Safe(target.address)) + ":" + std::to_string(target.port) +
                    (target.onLinkInterface.isEmpty() ? "" : " on-link via " + Utf8(Safe(target.onLinkInterface))) +
                    " " + Vant::EscapeUnsafeInJson(request.ToString()) + "\n";
        }
    }
    return text;
}

void WriteSettings(rapidjson::Writer<rapidjson::StringBuffer> &writer, const NetworkSettings &settings)
{
    auto text = [&](const char *name, const QString &value) {
        writer.Key(name);
        const QByteArray bytes = value.toUtf8();
        writer.String(bytes.constData(), static_cast<rapidjson::SizeType>(bytes.size()));
    };
    writer.StartObject();
    text("address", settings.address);
    text("subnetMask", settings.subnetMask);
    text("gateway", settings.gateway);
    text("dns", settings.dns);
    writer.Key("dhcp");
    writer.Bool(settings.dhcp);
    writer.EndObject();
}

std::string FormatJson(const std::vector<BatchEntry> &entries, const std::vector<BatchStatus> &statuses, bool dryRun)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartArray();
    for (size_t i = 0; i < entries.size(); ++i) {
        const BatchEntry &entry = entries[i];
        writer.StartObject();
        auto text = [&](const char *name, const QString &value) {
            writer.Key(name);
            const QByteArray bytes = value.toUtf8();
            writer.String(bytes.constData(), static_cast<rapidjson::SizeType>(bytes.size()));
        };
        text("serialNo", entry.serialNo);
        text("mac", entry.mac);
        if (entry.planLine) {
            writer.Key("line");
            writer.Int(entry.planLine);
        }
        if (entry.device) {
            writer.Key("from");
            WriteSettings(writer, SettingsOf(*entry.device));
            writer.Key("to");
            WriteSettings(writer, entry.target);
        }
        const bool toSend = dryRun && statuses[i] == BatchStatus::Waiting;
        text("status", QString::fromLatin1(toSend ? "would be sent" : BatchStatusName(statuses[i])));
        if (toSend) {
            Vant::CProtocalJson request;
            BuildUpdateRequest(*entry.device, entry.target, request);
            writer.Key("request");
            const std::string body = request.ToString();
            writer.RawValue(body.data(), body.size(), rapidjson::kObjectType);
        }
        writer.EndObject();
    }
    writer.EndArray();
    return Vant::EscapeUnsafeInJson(std::string(buffer.GetString(), buffer.GetSize())) + "\n";
}

std::string FormatBatch(const Invocation &invocation, const std::vector<BatchEntry> &entries,
                   const std::vector<BatchStatus> &statuses, bool dryRun)
{
    return invocation.format == Format::Json ? FormatJson(entries, statuses, dryRun)
                                              : FormatTable(entries, statuses, dryRun);
}

bool Confirm(int count)
{
    std::fprintf(stderr, "Send new settings to %d device%s? [y/N] ", count, count == 1 ? "" : "s");
    std::fflush(stderr);
    char line[64] = {};
    if (!std::fgets(line, sizeof line, stdin))
        return false;
    return line[0] == 'y' || line[0] == 'Y';
}

// Checks, shows or sends the batch, verifies it with the search still running, and
// prints the verdicts.
int RunBatch(const Invocation &invocation, Output &out, DeviceSearch &search, std::vector<BatchEntry> entries,
             const std::vector<HeardDevice> &devices)
{
    // A device that several source addresses answer for stops the whole batch: any
    // request of it might reach the host that speaks for it.
    bool identityConflict = false;
    for (const BatchEntry &entry : entries) {
        if (entry.status != BatchStatus::IdentityConflict)
            continue;
        identityConflict = true;
        Complain(Utf8(Safe(entry.serialNo)) +
                 ": several source addresses answer with this serial number and MAC; nothing sent (brenu-search set "
                 "--at pins one)");
    }
    if (identityConflict)
        return kExitAmbiguous;
    const QStringList problems = CheckBatch(entries, devices, ReadLocalSubnets(), !invocation.force);
    if (!problems.isEmpty()) {
        for (const QString &problem : problems)
            Complain(Utf8(Safe(problem)));
        Complain(invocation.force ? "nothing sent" : "nothing sent (--force sends values that are merely unusual)");
        return kExitUsage;
    }
    std::vector<BatchStatus> statuses;
    int toSend = 0;
    for (const BatchEntry &entry : entries) {
        statuses.push_back(entry.status);
        toSend += entry.status == BatchStatus::Waiting;
    }
    if (invocation.dryRun) {
        // What the run would end in for rows it would not send: not found, ambiguous.
        out.Write(FormatBatch(invocation, entries, statuses, true));
        int status = kExitOk;
        for (BatchStatus each : statuses)
            if (each != BatchStatus::Waiting)
                status = std::max(status, StatusOf(each));
        return OutputStatus(out, status);
    }
    if (toSend > 0 && !invocation.yes) {
        if (!isatty(STDIN_FILENO)) {
            Complain("not confirmed: standard input is not a terminal, give --yes");
            return kExitUsage;
        }
        if (!Confirm(toSend)) {
            Complain(StopSignal() ? "interrupted" : "not confirmed, nothing sent");
            return StopSignal() ? Interrupted() : kExitUsage;
        }
    }

    int shared = 0;
    for (const BatchEntry &entry : entries)
        shared += entry.status == BatchStatus::Waiting && entry.device && entry.device->sharedAddress;
    if (shared > 0)
        Complain(std::to_string(shared) + " of the devices share their address with others: requests to them go " +
                 DeliveryWayName(SharedAddressWay()));

    for (const BatchEntry &entry : entries)
        if (entry.status == BatchStatus::Waiting && !entry.target.dhcp)
            search.AskEveryRound(entry.target.address);
    BatchJob job(entries, SendUpdate);
    job.Start();
    const QStringList planned = job.PlannedAddresses();
    while (!job.Done() && !StopSignal()) {
        std::this_thread::sleep_for(kRunStep);
        const auto tick = static_cast<uint32_t>(search.ElapsedMs());
        search.WithDevices([&](DeviceList &list) {
            for (const BatchEntry &entry : job.Entries())
                if (entry.status == BatchStatus::Waiting)
                    if (const HeardDevice *now = list.Find(entry.serialNo, entry.mac)) {
                        uint32_t otherTick = 0;
                        const bool other = list.OtherSourceTick(now->serialNo, now->mac, now->source.address, otherTick);
                        job.Observe(*now, other ? int64_t{static_cast<uint32_t>(tick - otherTick)} : int64_t{-1});
                    }
            // Another device turning up where one of these was to go took its request.
            for (const QString &address : planned)
                for (const HeardDevice &there : list.AtAddress(address))
                    job.Observe(there);
        });
        job.Tick();
    }
    if (StopSignal())
        job.Cancel();
    statuses = job.Statuses();
    out.Write(FormatBatch(invocation, entries, statuses, false));
    const std::vector<QString> untrusted = job.UntrustedReasons();
    for (size_t i = 0; i < entries.size(); ++i)
        if (statuses[i] == BatchStatus::NotConfirmed && !untrusted[i].isEmpty())
            Complain(Utf8(Safe(entries[i].serialNo + QStringLiteral(": not confirmed: ") + untrusted[i])));
    if (StopSignal())
        return Interrupted();
    int status = kExitOk;
    for (BatchStatus each : statuses)
        status = std::max(status, StatusOf(each));
    return OutputStatus(out, status);
}

} // namespace

int RunApply(const Invocation &invocation, Output &out)
{
    Plan plan;
    QString error;
    // "-" is standard input, read as far as the size bound and given up on a signal.
    const bool fromStdin = invocation.planPath == QLatin1String("-");
    if (fromStdin ? !ReadPlanStream(STDIN_FILENO, plan, error, [] { return StopSignal() != 0; })
                  : !ReadPlanFile(invocation.planPath, plan, error)) {
        if (StopSignal())
            return Interrupted();
        Complain(Utf8(Safe(invocation.planPath)) + ": " + Utf8(error));
        return kExitUsage;
    }
    if (plan.problemCount > 0) {
        for (const PlanProblem &problem : plan.problems)
            Complain(Utf8(Safe(invocation.planPath)) + ": " + Utf8(Safe(PlanProblemText(problem))));
        if (plan.problemCount > static_cast<long long>(plan.problems.size()))
            Complain("... and " + std::to_string(plan.problemCount - static_cast<long long>(plan.problems.size())) +
                     " more problems (" + std::to_string(plan.problemCount) + " in all)");
        Complain("nothing sent");
        return kExitUsage;
    }
    std::vector<NamedDevice> names;
    for (const PlanRow &row : plan.rows)
        names.push_back({row.serialNo, row.mac});
    DeviceSearch search;
    search.SetRanges(invocation.ranges, invocation.rangeRate);
    std::vector<HeardDevice> devices;
    if (const int status = SearchFor(search, names, invocation.waitMs, devices))
        return status;
    return RunBatch(invocation, out, search, MatchPlan(plan.rows, devices), devices);
}

int RunAssign(const Invocation &invocation, Output &out)
{
    std::vector<NamedDevice> named;
    for (const QString &argument : invocation.serials)
        named.push_back(ParseNamedDevice(argument));
    DeviceSearch search;
    search.SetRanges(invocation.ranges, invocation.rangeRate);
    std::vector<HeardDevice> devices;
    if (const int status = SearchFor(search, named, invocation.waitMs, devices))
        return status;

    // The devices named, in the order given; a serial several devices answer is
    // ambiguous, unless a MAC pins one, and none of them is planned. A device named
    // twice (once pinned, once not) is planned once: the second name is ambiguous.
    std::vector<BatchEntry> unmatched;
    std::vector<HeardDevice> chosen;
    KeyedTextSet taken;
    for (BatchEntry &entry : MatchNamed(named, devices)) {
        if (entry.device && !taken.contains(entry.device->serialNo + QLatin1Char('\n') + entry.device->mac)) {
            taken.insert(entry.device->serialNo + QLatin1Char('\n') + entry.device->mac);
            chosen.push_back(*entry.device);
            continue;
        }
        if (entry.device) {
            entry.device.reset();
            entry.status = BatchStatus::Ambiguous;
        }
        unmatched.push_back(std::move(entry));
    }

    AssignSettings settings;
    settings.dhcp = invocation.dhcp.value_or(false);
    std::vector<Ipv4> planned;
    if (!settings.dhcp) {
        Ipv4 start = 0;
        ParseIpv4(*invocation.start, start);
        const LocalSubnets local = ReadLocalSubnets();
        Ipv4 mask = DefaultMask(start, local);
        if (invocation.subnetMask)
            ParseIpv4(*invocation.subnetMask, mask);
        settings.mask = Ipv4Text(mask);
        settings.gateway = invocation.gateway.value_or(QString());
        settings.dns = invocation.dns.value_or(QString());

        AddressPlanInput input;
        input.start = start;
        input.mask = mask;
        for (const HeardDevice &device : chosen) {
            Ipv4 own = 0;
            ParseIpv4(device.address, own);
            input.devices.push_back(own);
        }
        NoteTakenAddresses(input, devices, local);
        const std::vector<ProbeInterface> via = ProbeInterfacesFor(start & mask, mask, local);
        // A dry run sends nothing at all, not even the probe's datagrams: it plans
        // without them and says which addresses it could not check.
        std::vector<Ipv4> unchecked;
        planned = PlanAddressesProbed(input, [&](const std::vector<Ipv4> &candidates) {
            if (!invocation.dryRun)
                return ProbeNeighbours(candidates, via);
            unchecked.insert(unchecked.end(), candidates.begin(), candidates.end());
            return kit::KeyedSet<uint32_t>();
        });
        if (!unchecked.empty()) {
            std::sort(unchecked.begin(), unchecked.end());
            unchecked.erase(std::unique(unchecked.begin(), unchecked.end()), unchecked.end());
            std::string named;
            for (size_t i = 0; i < unchecked.size() && i < static_cast<size_t>(kMaxListedProblems); ++i)
                named += (i ? ", " : "") + Utf8(Ipv4Text(unchecked[i]));
            if (unchecked.size() > static_cast<size_t>(kMaxListedProblems))
                named += " and " + std::to_string(unchecked.size() - kMaxListedProblems) + " more";
            Complain("dry run: not probed whether another host uses " + named +
                     " (a dry run sends nothing; the run itself probes them first)");
        }
        const long missing = std::count(planned.begin(), planned.end(), 0u);
        if (missing > 0) {
            Complain(std::to_string(missing) + " of " + std::to_string(planned.size()) + " devices find no free address in " +
                     Utf8(Ipv4Text(start)) + " to the end of its subnet " + Utf8(Ipv4Text(start & mask)) + "/" +
                     Utf8(settings.mask) + "; nothing sent");
            return kExitUsage;
        }
    }
    std::vector<BatchEntry> entries = AssignedEntries(chosen, planned, settings);
    entries.insert(entries.end(), unmatched.begin(), unmatched.end());
    return RunBatch(invocation, out, search, std::move(entries), devices);
}

std::string ParseBatchCommandLine(const QStringList &arguments, bool stdoutIsTerminal, Invocation &invocation)
{
    const Command command = invocation.command;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    QCommandLineOption help(QStringList{"help", "h"}), version("version"), log("log"), yes("yes"), dryRun("dry-run"),
        force("force");
    QCommandLineOption wait("wait", "", "MS"), format("format", "", "F"), start("start", "", "A"),
        mask("mask", "", "M"), gateway("gateway", "", "G"), dns("dns", "", "D"), dhcp("dhcp", "", "on");
    QCommandLineOption range("range", "", "RANGE"), rangeRate("range-rate", "", "N");
    parser.addOptions({help, version, log, yes, dryRun, force, wait, format, range, rangeRate});
    if (command == Command::Assign)
        parser.addOptions({start, mask, gateway, dns, dhcp});
    if (!parser.parse(arguments))
        return parser.errorText().toStdString();
    invocation.help = parser.isSet(help);
    invocation.version = parser.isSet(version);
    invocation.log = parser.isSet(log);
    if (invocation.help || invocation.version)
        return "";
    {
        std::string error = ReadRangeOptions(parser, range, rangeRate, invocation);
        if (!error.empty())
            return error;
    }
    QStringList positional = parser.positionalArguments();
    positional.removeFirst(); // the command
    invocation.yes = parser.isSet(yes);
    invocation.dryRun = parser.isSet(dryRun);
    invocation.force = parser.isSet(force);
    invocation.waitMs = kBatchFindWaitMs;
    if (parser.isSet(wait)) {
        std::string error = ParseWait(parser.value(wait), invocation.waitMs);
        if (!error.empty())
            return error;
    }
    WaitForRanges(invocation, parser.isSet(wait));
    invocation.format = stdoutIsTerminal ? Format::Table : Format::Json;
    if (parser.isSet(format)) {
        const QString value = parser.value(format);
        if (value != "table" && value != "json")
            return "unknown format '" + Utf8(value) + "' (table or json)";
        invocation.format = value == "json" ? Format::Json : Format::Table;
    }

    if (command == Command::Apply) {
        if (positional.size() != 1)
            return positional.isEmpty() ? "the plan file is missing" : "only one plan file, not also '" + Utf8(positional[1]) + "'";
        invocation.planPath = positional.first();
        return "";
    }

    if (positional.isEmpty())
        return "a serial number is missing";
    if (positional.size() > kMaxPlanRows)
        return "more than " + std::to_string(kMaxPlanRows) + " serial numbers";
    KeyedTextSet seen;
    for (const QString &argument : positional) {
        const NamedDevice name = ParseNamedDevice(argument);
        if (!IsSerialText(name.serialNo))
            return "'" + Utf8(Safe(argument)) + "' is not a serial number (or SERIAL@MAC)";
        const QString key = name.serialNo + QLatin1Char('@') + name.mac.toUpper();
        if (seen.contains(key))
            return Utf8(Safe(argument)) + " is named twice";
        seen.insert(key);
        invocation.serials << argument;
    }
    if (parser.isSet(dhcp)) {
        if (parser.value(dhcp) != "on")
            return "--dhcp takes on (devices with new addresses have DHCP off)";
        invocation.dhcp = true;
        if (parser.isSet(start) || parser.isSet(mask) || parser.isSet(gateway) || parser.isSet(dns))
            return "--dhcp on takes no addresses";
        return "";
    }
    if (!parser.isSet(start))
        return "--start is missing (or --dhcp on)";
    std::string error = ReadAddressOptions(
        parser, {{start, invocation.start}, {mask, invocation.subnetMask}, {gateway, invocation.gateway}, {dns, invocation.dns}});
    if (!error.empty())
        return error;
    Ipv4 maskValue = 0;
    if (invocation.subnetMask && ParseIpv4(*invocation.subnetMask, maskValue) && !IsContiguousMask(maskValue))
        return "--mask " + Utf8(*invocation.subnetMask) + " is not a subnet mask";
    return "";
}

std::string BatchHelpText(Command command)
{
    if (command == Command::Apply)
        return R"(usage: brenu-search apply PLAN.csv [--dry-run] [--yes] [--force] [--format table|json] [--wait MS]

Sends new network settings to many devices from a plan file and verifies each by
the search. The plan is the window's export (UTF-8, byte-order mark, the nine
Chinese column titles) edited in a spreadsheet, or a CSV file with the header
serialNo,address,subnetMask,gateway,dns,dhcp and optionally mac. DHCP is written
启用/禁用, true/false or on/off; with DHCP on the addresses are not read. A row is
matched by serial number, and by MAC address when it gives one.

The whole plan is checked before anything is sent; a bad row, two devices with one
new address, an address of this machine or of a listed device that stays, and (unless
--force) values a device should not get (0.0.0.0, 127/8, 224/4 and above, the subnet's
network or broadcast address, a non-contiguous mask, a gateway outside the subnet)
end the command with status 2 and nothing sent. Rows whose device is missing, whose
serial several devices answer without a MAC to choose one, or whose device already
has the values are listed and not sent.

  --dry-run   print what would be sent (old -> new, and each request) and send nothing
  --yes       do not ask (required when standard input is not a terminal)
  --force     send values the checks above call unusual
  --format F  table (default on a terminal) or json
  --wait MS   how long to search for the devices (default 5000)

Verdicts: verified (a search answer shows the new values), refused, not confirmed
(no new values within 15 s of the send), unchanged, not found, ambiguous, identity
conflict, and, with nothing sent: not sent (its address or port takes no command),
address not freed (the device holding its new address did not leave it), another
device at this address answers for it, stopped for this address. The exit status is
the highest of the rows'.
)";
    return R"(usage: brenu-search assign --start A [--mask M] [--gateway G] [--dns D] SERIAL[@MAC]...
       brenu-search assign --dhcp on SERIAL[@MAC]...
                        [--dry-run] [--yes] [--force] [--format table|json] [--wait MS]

Gives the devices named new addresses from A upward, in the order given: each device
the lowest address after the previous device's that is not this machine's, not the
address of any listed device, not the subnet's network or broadcast address, and not
answering on the link (one datagram is sent on-link to each candidate and the
kernel's neighbour table tells whether it answered ARP). A device already at its
planned address keeps it and gets no request. Without --mask, the mask of this
machine's subnet that holds A (else 255.255.255.0); without --gateway or --dns each
device keeps its own. With --dhcp on the devices switch to DHCP instead.
SERIAL@MAC names the one device with that MAC address (any letter case) among those
answering with SERIAL; a serial several devices answer, named without one, is
ambiguous and not sent.

Checks, --dry-run, --yes, --force, --format and the verdicts are those of apply; a
subnet without enough free addresses ends the command with status 2, nothing sent.
)";
}

} // namespace cli
