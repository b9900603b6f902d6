#include "cli/Commands.h"

#include <QDateTime>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "cli/Doctor.h"
#include "device/AddressRules.h"
#include "device/Delivery.h"
#include "device/DeviceCommand.h"
#include "device/DeviceList.h"
#include "device/DeviceSearch.h"
#include "device/DeviceRequests.h"
#include "device/Ipv4Text.h"
#include "cli/ExitStatus.h"
#include "cli/MetricsWatch.h"
#include "cli/StopSignal.h"
#include "device/VerifiedUpdate.h"
#include "kit/UnsafeText.h"
#include "protocol/Json.h"

namespace cli {

namespace {

// How often a waiting command looks at the stop flag and the devices heard.
constexpr auto kPollStep = std::chrono::milliseconds(10);
// How often watch looks for silent devices and prints the events.
constexpr auto kWatchTick = std::chrono::milliseconds(100);
// Every this many ticks (one search period) watch reads the local subnets again, as
// the search group reads the addresses.
constexpr int kSubnetReadTicks = 50;
// Reboots sent at the same time. Each exchange may wait 10 s for its device, so a
// batch runs in parallel; the bound keeps a long list of serial numbers from
// opening that many sockets and threads at once.
constexpr int kMaxParallelCommands = 16;

// Every --address must be an address of this machine.
bool CheckSearchAddresses(const std::vector<std::string> &from)
{
    if (from.empty())
        return true;
    const std::vector<std::string> local = LocalAddresses();
    for (const std::string &address : from) {
        if (std::find(local.begin(), local.end(), address) == local.end()) {
            Complain("'" + address + "' is not an IPv4 address of this machine");
            return false;
        }
    }
    return true;
}

// False, said on standard error, when the search cannot run: there is no local
// address to search from, or not one of its searchers could open its socket.

// Waits until `waitMs` have passed since the search started or `done` holds; false
// when a stop signal came first.
template <typename Done>
bool Wait(DeviceSearch &search, int waitMs, Done done)
{
    while (search.ElapsedMs() < waitMs) {
        if (StopSignal())
            return false;
        if (done())
            return true;
        std::this_thread::sleep_for(kPollStep);
    }
    return !StopSignal();
}

// How long a search goes on after every device named has answered, so that a second
// device answering with the same serial number is heard too: devices answer a
// search within a few hundred milliseconds, and a command must not go to one of two
// devices chosen by which answered first.
constexpr int kAmbiguityGraceMs = 1000;

} // namespace

int OutputStatus(const Output &out, int status)
{
    if (out.closed())
        return status; // the reader went away: nothing more to say
    if (out.failed()) {
        Complain(std::string("cannot write the output: ") + std::strerror(out.error()));
        return kExitDeviceFailed;
    }
    return status;
}

int Interrupted()
{
    return kExitSignalBase + StopSignal();
}

bool CanSearch(const DeviceSearch &search)
{
    if (search.SearcherCount() == 0) {
        Complain("no local IPv4 address to search from");
        return false;
    }
    return CheckCanSearch(search);
}

bool WaitForNamed(DeviceSearch &search, const std::vector<NamedDevice> &names, int waitMs)
{
    const bool pinned = std::all_of(names.begin(), names.end(), [](const NamedDevice &n) { return !n.mac.isEmpty(); });
    int64_t allFoundAt = -1;
    auto done = [&] {
        bool all = true;
        search.WithDevices([&](DeviceList &devices) {
            for (const NamedDevice &name : names) {
                all = name.mac.isEmpty() ? devices.Latest(name.serialNo) != nullptr
                                         : devices.Find(name.serialNo, name.mac) != nullptr;
                if (!all)
                    break;
            }
        });
        if (!all)
            return false;
        if (pinned)
            return true;
        if (allFoundAt < 0)
            allFoundAt = search.ElapsedMs();
        return search.ElapsedMs() - allFoundAt >= kAmbiguityGraceMs;
    };
    return Wait(search, waitMs, done);
}

namespace {

// What the search found for one serial number named on the command line.
struct Found {
    DeviceList::Target target = DeviceList::Target::NotFound;
    HeardDevice device;
    // For Ambiguous: some devices with the serial (at most kMaxConflictNames) and how
    // many there are; for IdentityConflict: its answer from each source.
    std::vector<HeardDevice> candidates;
    int candidateCount = 0;
};

// Watches the running search until every serial number has answered (and
// kAmbiguityGraceMs more, unless --mac pins the device) or waitMs have passed since it
// started. Returns false when a stop signal came.
bool FindDevices(DeviceSearch &search, const QStringList &serials, const QString &mac, const QString &at,
                 int waitMs, std::vector<Found> &found)
{
    std::vector<NamedDevice> names;
    for (const QString &serial : serials)
        names.push_back({serial, mac});
    const bool completed = WaitForNamed(search, names, waitMs);
    found.assign(serials.size(), Found{});
    search.WithDevices([&](DeviceList &devices) {
        for (int i = 0; i < serials.size(); ++i) {
            Found &one = found[static_cast<size_t>(i)];
            one.target = devices.Resolve(serials[i], mac, &one.device, at);
            if (one.target == DeviceList::Target::Ambiguous) {
                one.candidates = devices.WithSerial(serials[i], kMaxConflictNames);
                one.candidateCount = devices.CountWithSerial(serials[i]);
            } else if (one.target == DeviceList::Target::IdentityConflict) {
                for (const HeardDevice &device : devices.WithSerial(serials[i], kMaxConflictNames))
                    if (mac.isEmpty() || device.mac.compare(mac, Qt::CaseInsensitive) == 0)
                        for (const HeardDevice &source : devices.BySource(device.serialNo, device.mac))
                            one.candidates.push_back(source);
            }
        }
    });
    return completed;
}

// The line that says a serial number is ambiguous (naming at most kMaxConflictNames
// of its devices).
std::string AmbiguousText(const QString &serial, const Found &found)
{
    QStringList macs;
    for (const HeardDevice &device : found.candidates)
        macs << TerminalText(device.mac) + " at " + TerminalText(device.address);
    const int more = found.candidateCount - static_cast<int>(found.candidates.size());
    if (more > 0)
        macs << QString("and %1 more").arg(more);
    return Utf8(TerminalText(serial)) + ": " + std::to_string(found.candidateCount) +
           " devices answer with this serial number (" + Utf8(macs.join(", ")) +
           "); nothing sent, give --mac to choose one";
}

// The line that says several source addresses answer for one device.
std::string IdentityConflictText(const QString &serial, const QString &at, const std::vector<HeardDevice> &sources)
{
    QStringList named;
    for (const HeardDevice &device : sources)
        named << TerminalText(device.source.address) + " announcing " + TerminalText(device.address);
    return Utf8(TerminalText(serial)) + ": " + std::to_string(sources.size()) +
           " source addresses answer with this serial number and MAC (" + Utf8(named.join(", ")) + "); " +
           (at.isEmpty() ? "nothing sent, give --at with the address of the device meant"
                         : "none of them is " + Utf8(TerminalText(at)) + " announcing itself; nothing sent");
}

std::string NotFoundText(const QString &serial, const QString &mac, const QString &at = {})
{
    return Utf8(TerminalText(serial)) + (mac.isEmpty() ? "" : " with MAC " + Utf8(TerminalText(mac))) +
           (at.isEmpty() ? "" : " at " + Utf8(TerminalText(at))) + ": not found";
}

// The one device a command names (its serial number, and --mac), found by the
// running search: kExitOk with the device, or the status to end with (not found,
// ambiguous, interrupted), said on standard error.
int FindOneDevice(DeviceSearch &search, const Invocation &invocation, HeardDevice &device)
{
    std::vector<Found> found;
    if (!FindDevices(search, invocation.serials, invocation.mac, invocation.at, invocation.waitMs, found))
        return Interrupted();
    const Found &one = found[0];
    if (one.target == DeviceList::Target::Ambiguous) {
        Complain(AmbiguousText(invocation.serials.first(), one));
        return kExitAmbiguous;
    }
    if (one.target == DeviceList::Target::IdentityConflict) {
        Complain(IdentityConflictText(invocation.serials.first(), invocation.at, one.candidates));
        return kExitAmbiguous;
    }
    if (one.target == DeviceList::Target::NotFound) {
        Complain(NotFoundText(invocation.serials.first(), invocation.mac, invocation.at));
        return kExitNotFound;
    }
    device = one.device;
    return kExitOk;
}

// `refusal`: why brenu-link-send refused a withheld request, taken on the thread that
// sent it (by default this one).
std::string Verdict(CommandResult result, const QString &refusal = TakeLinkSendRefusal())
{
    switch (result) {
    case CommandResult::Succeeded:
        return "succeeded";
    case CommandResult::ConnectFailed:
        return "could not connect; nothing sent";
    case CommandResult::Withheld:
        if (!refusal.isEmpty())
            return "not sent: " + refusal.toStdString();
        return "not sent: another device at this address answers for it";
    case CommandResult::NoAnswer:
        return "not confirmed (sent; no answer in time)";
    case CommandResult::Failed:
        break;
    }
    return "refused by the device";
}

int StatusOf(CommandResult result)
{
    switch (result) {
    case CommandResult::Succeeded:
        return kExitOk;
    case CommandResult::Failed:
        return kExitDeviceFailed;
    case CommandResult::NoAnswer:
        return kExitNotConfirmed;
    case CommandResult::ConnectFailed:
    case CommandResult::Withheld:
        break;
    }
    return kExitNotSent;
}

QString Now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

const char *FieldOption(AddressField field)
{
    switch (field) {
    case AddressField::Address:
        return "address";
    case AddressField::SubnetMask:
        return "mask";
    case AddressField::Gateway:
        return "gateway";
    default:
        return "dns";
    }
}

QString FieldValue(const NetworkSettings &settings, AddressField field)
{
    switch (field) {
    case AddressField::Address:
        return settings.address;
    case AddressField::SubnetMask:
        return settings.subnetMask;
    case AddressField::Gateway:
        return settings.gateway;
    default:
        return settings.dns;
    }
}

// What --dry-run prints: each setting old -> new (or unchanged), where the request
// would go, and the request itself.
std::string DryRunText(const HeardDevice &device, const NetworkSettings &edited, const std::string &request)
{
    const NetworkSettings before = SettingsOf(device);
    auto line = [](const char *name, const QString &old, const QString &now) {
        const QString value = old == now ? TerminalText(now) + "  (unchanged)" : TerminalText(old) + " -> " + TerminalText(now);
        return "  " + QString::fromLatin1(name).leftJustified(12) + value + "\n";
    };
    auto onOff = [](bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); };
    QString text = TerminalText(device.serialNo) + ": dry run, nothing sent\n";
    text += line("dhcp", onOff(before.dhcp), onOff(edited.dhcp));
    text += line("address", before.address, edited.address);
    text += line("subnetMask", before.subnetMask, edited.subnetMask);
    text += line("gateway", before.gateway, edited.gateway);
    text += line("dns", before.dns, edited.dns);
    const CommandTarget target = TargetOf(device);
    text += "  " + QString("to").leftJustified(12) + TerminalText(target.address) + ":" + QString::number(target.port);
    if (!target.onLinkInterface.isEmpty())
        text += " (on-link through " + TerminalText(target.onLinkInterface) + ")";
    if (target.exact)
        text += QStringLiteral(" (the address is shared: %1, to MAC %2)")
                    .arg(QString::fromLatin1(DeliveryWayName(SharedAddressWay())), TerminalText(target.mac));
    text += "\n  " + QString("request").leftJustified(12);
    return Utf8(text) + Vant::EscapeUnsafeInJson(request) + "\n";
}

bool Confirm(const QStringList &serials)
{
    std::fprintf(stderr, "Reboot %s? [y/N] ", Utf8(serials.join(' ')).c_str());
    std::fflush(stderr);
    char line[64] = {};
    if (!std::fgets(line, sizeof line, stdin))
        return false;
    return line[0] == 'y' || line[0] == 'Y';
}

} // namespace

namespace {
bool g_asciiDiagnostics = false;
}

void SetAsciiDiagnostics(bool ascii)
{
    g_asciiDiagnostics = ascii;
}

void Complain(const std::string &text)
{
    std::fprintf(stderr, "brenu-search: %s\n", (g_asciiDiagnostics ? AsciiOnly(text, false) : text).c_str());
}

void FirewallHintReporter::Round(DeviceSearch &search)
{
    const DeviceSearch::FirewallEvidence evidence = search.TakeFirewallEvidence();
    if (!evidence.Shows()) {
        m_said = false;
        return;
    }
    if (m_said)
        return;
    m_said = true;
    Complain(FirewallHintLine(evidence.silentLinks, evidence.dropped));
}

int RunList(const Invocation &invocation, Output &out)
{
    if (!CheckSearchAddresses(invocation.searchFrom))
        return kExitUsage;
    DeviceSearch search(invocation.searchFrom);
    search.SetRanges(invocation.ranges, invocation.rangeRate);
    search.Start();
    if (!CanSearch(search))
        return kCannotSearch;
    const bool completed = Wait(search, invocation.waitMs, [] { return false; });
    if (completed)
        FirewallHintReporter().Round(search);
    search.Stop();
    if (!completed)
        return Interrupted();

    std::vector<ListedDevice> devices;
    std::optional<Overflow> overflow;
    search.WithDevices([&](DeviceList &list) {
        devices = list.Listing();
        if (list.Overflowed())
            overflow = Overflow{list.MaxDevices(), list.IgnoredAnswers()};
    });
    out.Write(FormatListing(devices, invocation.format, overflow ? &*overflow : nullptr, invocation.toTerminal));
    if (overflow)
        Complain("more devices answered than a listing holds (" + std::to_string(overflow->limit) + "); " +
                 std::to_string(overflow->ignoredAnswers) + " answers of further devices were not listed");
    return OutputStatus(out, overflow ? kExitOverflow : kExitOk);
}

int RunWatch(const Invocation &invocation, Output &out)
{
    const bool metrics = invocation.format == Format::Prometheus || invocation.format == Format::OpenMetrics;
    // The metrics exporter runs as a service started at boot, often before DHCP or the
    // network configuration has given the machine its addresses: an --address it does
    // not hold yet, or no address at all, is waited for (the search takes addresses
    // up as they appear), and only a bad command line ends it. Watching events is
    // done by hand, where a wrong address is better told at once.
    if (metrics) {
        const std::vector<std::string> local = LocalAddresses();
        for (const std::string &address : invocation.searchFrom) {
            if (std::find(local.begin(), local.end(), address) == local.end())
                Complain("'" + address + "' is not an IPv4 address of this machine yet: waiting for it");
        }
    } else if (!CheckSearchAddresses(invocation.searchFrom)) {
        return kExitUsage;
    }
    if (metrics && !invocation.textfile.isEmpty()) {
        if (const std::string problem = CheckTextfile(invocation.textfile); !problem.empty()) {
            Complain(problem);
            return kExitUsage;
        }
    }
    const auto staleAfterMs = static_cast<uint32_t>(invocation.staleAfterS * 1000);
    const auto forgetAfterMs = static_cast<uint32_t>(invocation.forgetAfterS * 1000);
    DeviceSearch search(invocation.searchFrom, kMaxDeviceRows, !metrics, staleAfterMs);
    search.SetRanges(invocation.ranges, invocation.rangeRate);
    search.Start();
    if (metrics && search.SearcherCount() == 0) {
        if (invocation.searchFrom.empty())
            Complain("no local IPv4 address to search from yet: waiting for one");
    } else if (!CanSearch(search)) {
        return kCannotSearch;
    }
    if (metrics)
        return ExportMetrics(invocation, search, out);
    bool overflowed = false;
    auto printEvents = [&] {
        long long dropped = 0;
        for (const DeviceEvent &event : search.TakeEvents(dropped)) {
            overflowed = overflowed || event.kind == DeviceEvent::Overflow;
            if (!out.Write(FormatEvent(event, invocation.format, Now(), kMaxDeviceRows)))
                return false;
        }
        return dropped == 0 || out.Write(FormatDroppedEvents(dropped, invocation.format, Now()));
    };
    FirewallHintReporter firewall;
    for (int tick = 1; !StopSignal() && !out.ReaderGone(); ++tick) {
        std::this_thread::sleep_for(kWatchTick);
        if (tick % kSubnetReadTicks == 0) {
            firewall.Round(search);
            search.RefreshLocalSubnets();
            search.ForgetSilentFor(forgetAfterMs);
        }
        search.MarkSilent();
        if (!printEvents())
            break;
    }
    search.Stop();
    printEvents();
    return OutputStatus(out, overflowed ? kExitOverflow : kExitOk);
}

int RunSet(const Invocation &invocation, Output &out)
{
    const QString serial = invocation.serials.first();
    // One search finds the device and then shows whether the change took.
    DeviceSearch search;
    search.SetRanges(invocation.ranges, invocation.rangeRate);
    search.Start();
    if (!CanSearch(search))
        return kCannotSearch;
    HeardDevice device;
    if (const int status = FindOneDevice(search, invocation, device); status != kExitOk)
        return status;

    // The dialog's rules: the four addresses are edited only with DHCP off, and then
    // all four must be dotted IPv4 text, the unchanged ones included.
    NetworkSettings edited = SettingsOf(device);
    if (invocation.dhcp)
        edited.dhcp = *invocation.dhcp;
    const bool addressGiven = invocation.address || invocation.subnetMask || invocation.gateway || invocation.dns;
    if (addressGiven && edited.dhcp) {
        Complain(Utf8(serial) + (invocation.dhcp ? ": addresses cannot be set together with --dhcp on"
                                                 : ": the device uses DHCP; add --dhcp off to set addresses"));
        return kExitUsage;
    }
    edited.address = invocation.address.value_or(edited.address);
    edited.subnetMask = invocation.subnetMask.value_or(edited.subnetMask);
    edited.gateway = invocation.gateway.value_or(edited.gateway);
    edited.dns = invocation.dns.value_or(edited.dns);

    if (!SettingsChanged(device, edited)) {
        out.Write(Utf8(serial) + ": nothing to change\n");
        return OutputStatus(out, kExitOk);
    }
    if (!IsCommandPort(device.port)) {
        Complain(Utf8(serial) + ": the device announces port " + std::to_string(device.port) +
                 ", which cannot take commands; nothing sent");
        return kExitNotSent;
    }
    if (const QString problem = DestinationProblem(device.address, ReadLocalSubnets()); !problem.isEmpty()) {
        Complain(Utf8(serial) + ": " + Utf8(TerminalText(problem)) + "; nothing sent");
        return kExitNotSent;
    }
    if (!edited.dhcp) {
        const SettingsCheck check = CheckSettings(edited, ReadLocalSubnets());
        const AddressField bad = check.bad;
        if (bad != AddressField::None) {
            Complain(Utf8(serial) + ": the device reports " + FieldOption(bad) + " '" +
                     Utf8(TerminalText(FieldValue(edited, bad))) + "', which is not an IPv4 address; give --" +
                     FieldOption(bad));
            return kExitUsage;
        }
        // Settings that would take the device off the network, or put it in another
        // host's place, are sent only when forced.
        const std::vector<SettingIssue> &issues = check.issues;
        if (!issues.empty() && !invocation.force) {
            Complain(Utf8(serial) + ": --" + FieldOption(issues.front().field) + " " +
                     Utf8(TerminalText(IssueText(edited, issues.front()))) + "; nothing sent, give --force to send it");
            return kExitUsage;
        }
    }

    if (invocation.dryRun) {
        Vant::CProtocalJson request;
        BuildUpdateRequest(device, edited, request);
        out.Write(DryRunText(device, edited, request.ToString()));
        return OutputStatus(out, kExitOk);
    }

    // To the address and port the device announced (not to a new address), on-link
    // when it lies in a foreign subnet; then the search shows whether it took.
    const UpdateOutcome outcome = SendVerifiedUpdate(search, device, edited, invocation.verifyTimeoutMs,
                                                     [] { return StopSignal() != 0; });
    search.Stop();
    std::string verdict;
    int status = kExitDeviceFailed;
    switch (outcome.verdict) {
    case UpdateVerdict::Interrupted:
        return Interrupted();
    case UpdateVerdict::Confirmed:
        status = kExitOk;
        verdict = outcome.command == CommandResult::Succeeded || invocation.verifyTimeoutMs == 0
                      ? "succeeded"
                      : "succeeded (its answer to the command was lost; its search answer shows the new settings)";
        break;
    case UpdateVerdict::Refused:
        verdict = "refused by the device";
        break;
    case UpdateVerdict::ConnectFailed:
        status = kExitNotSent;
        verdict = Verdict(outcome.command, outcome.refusal); // could not connect, or withheld
        break;
    case UpdateVerdict::NotConfirmed:
        // A request that never left is not sent, whatever the search showed meanwhile.
        if (outcome.command == CommandResult::Withheld || outcome.command == CommandResult::ConnectFailed) {
            status = kExitNotSent;
            verdict = Verdict(outcome.command, outcome.refusal);
            break;
        }
        status = kExitNotConfirmed;
        if (invocation.verifyTimeoutMs == 0) {
            verdict = "not confirmed (sent; no answer in time)";
            break;
        }
        verdict = std::string("not confirmed (sent; ") +
                  (outcome.command == CommandResult::Succeeded ? "the device said yes, but" : "no answer, and") +
                  (outcome.untrusted.isEmpty()
                       ? " its search answers did not show the new settings within " +
                             std::to_string(invocation.verifyTimeoutMs) + " ms)"
                       : " no answer from the device itself showed the new settings: " +
                             Utf8(TerminalText(outcome.untrusted)) + ")");
        break;
    }
    if (device.sharedAddress && outcome.command != CommandResult::Withheld)
        verdict += std::string(" (sent ") + DeliveryWayName(SharedAddressWay()) + ")";
    out.Write(Utf8(serial) + ": " + verdict + "\n");
    return OutputStatus(out, status);
}

int RunReboot(const Invocation &invocation, Output &out)
{
    if (!invocation.yes) {
        if (!isatty(STDIN_FILENO)) {
            Complain("not confirmed: standard input is not a terminal, give --yes");
            return kExitUsage;
        }
        if (!Confirm(invocation.serials)) {
            Complain(StopSignal() ? "interrupted" : "not confirmed, nothing sent");
            return StopSignal() ? Interrupted() : kExitUsage;
        }
    }
    std::vector<Found> found;
    {
        DeviceSearch search;
        search.SetRanges(invocation.ranges, invocation.rangeRate);
        search.Start();
        if (!CanSearch(search))
            return kCannotSearch;
        if (!FindDevices(search, invocation.serials, invocation.mac, invocation.at, invocation.waitMs, found))
            return Interrupted();
    }
    // One ambiguous serial number (or a device several sources answer for) stops the
    // whole batch before anything is sent.
    bool ambiguous = false;
    for (int i = 0; i < invocation.serials.size(); ++i) {
        const Found &one = found[static_cast<size_t>(i)];
        if (one.target == DeviceList::Target::Ambiguous) {
            Complain(AmbiguousText(invocation.serials[i], one));
            ambiguous = true;
        } else if (one.target == DeviceList::Target::IdentityConflict) {
            Complain(IdentityConflictText(invocation.serials[i], invocation.at, one.candidates));
            ambiguous = true;
        }
    }
    if (ambiguous)
        return kExitAmbiguous;

    const int count = invocation.serials.size();
    const LocalSubnets local = ReadLocalSubnets();
    std::vector<std::string> verdicts(count);
    std::vector<int> statuses(count, kExitOk);
    std::atomic<int> next{0};
    auto worker = [&] {
        for (int i = next++; i < count; i = next++) {
            if (found[i].target != DeviceList::Target::Found) {
                verdicts[i] = "not found";
                statuses[i] = kExitNotFound;
                continue;
            }
            const HeardDevice &device = found[i].device;
            if (!IsCommandPort(device.port)) {
                verdicts[i] = "the device announces port " + std::to_string(device.port) +
                              ", which cannot take commands; nothing sent";
                statuses[i] = kExitNotSent;
                continue;
            }
            if (const QString problem = DestinationProblem(device.address, local); !problem.isEmpty()) {
                verdicts[i] = Utf8(TerminalText(problem)) + "; nothing sent";
                statuses[i] = kExitNotSent;
                continue;
            }
            Vant::CProtocalJson request;
            const QByteArray serial = DeviceBytes(device, TextMember::SerialNo);
            BuildRebootRequest(serial, request);
            // On-link through the interface that heard it when it lies in a foreign subnet.
            const CommandResult result = SendDeviceCommand(TargetOf(device), request, serial);
            verdicts[i] = Verdict(result);
            if (device.sharedAddress && result != CommandResult::Withheld)
                verdicts[i] += std::string(" (sent ") + DeliveryWayName(SharedAddressWay()) + ")";
            statuses[i] = StatusOf(result);
        }
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < std::min(count, kMaxParallelCommands); ++i)
        workers.emplace_back(worker);
    for (std::thread &thread : workers)
        thread.join();

    int status = kExitOk;
    for (int i = 0; i < count; ++i) {
        out.Write(Utf8(invocation.serials[i]) + ": " + verdicts[i] + "\n");
        status = std::max(status, statuses[i]);
    }
    return OutputStatus(out, status);
}

int RunUrl(const Invocation &invocation, Output &out)
{
    const QString serial = invocation.serials.first();
    HeardDevice device;
    {
        DeviceSearch search;
        search.SetRanges(invocation.ranges, invocation.rangeRate);
        search.Start();
        if (!CanSearch(search))
            return kCannotSearch;
        if (const int status = FindOneDevice(search, invocation, device); status != kExitOk)
            return status;
    }
    const QByteArray address = device.address.toUtf8();
    // The window opens the page only for dotted IPv4 text; so does this.
    if (!IsIpv4Text(std::string_view(address.constData(), static_cast<size_t>(address.size())))) {
        Complain(Utf8(serial) + ": the device announces no IPv4 address ('" + Utf8(TerminalText(device.address)) +
                 "')");
        return kExitDeviceFailed;
    }
    // Nor for an address no command may go to (this machine, a broadcast address):
    // the page there is not the device's.
    if (const QString problem = DestinationProblem(device.address, ReadLocalSubnets()); !problem.isEmpty()) {
        Complain(Utf8(serial) + ": no page to open: " + Utf8(TerminalText(problem)));
        return kExitDeviceFailed;
    }
    out.Write("http://" + address.toStdString() + "\n");
    return OutputStatus(out, kExitOk);
}

} // namespace cli
