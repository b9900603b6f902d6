#include "cli/Commands.h"

#include <QDateTime>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "device/DeviceCommand.h"
#include "device/DeviceList.h"
#include "device/DeviceRequests.h"
#include "device/Ipv4Text.h"
#include "cli/DeviceSearch.h"
#include "cli/ExitStatus.h"
#include "cli/MetricsWatch.h"
#include "cli/StopSignal.h"
#include "protocol/Json.h"

namespace cli {

namespace {

// How often a waiting command looks at the stop flag and the devices heard.
constexpr auto kPollStep = std::chrono::milliseconds(10);
// How often watch looks for silent devices and prints the events.
constexpr auto kWatchTick = std::chrono::milliseconds(100);
// Reboots sent at the same time. Each exchange may wait 10 s for its device, so a
// batch runs in parallel; the bound keeps a long list of serial numbers from
// opening that many sockets and threads at once.
constexpr int kMaxParallelCommands = 16;

std::string Utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

int Interrupted()
{
    return kExitSignalBase + StopSignal();
}

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

void WarnIfNoSearcher(const DeviceSearch &search)
{
    if (search.SearcherCount() == 0)
        Complain("no local IPv4 address to search from");
}

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

// Searches until every serial number has answered or waitMs have passed. Returns
// false when a stop signal came.
bool FindDevices(const QStringList &serials, int waitMs, std::vector<std::optional<DeviceRecord>> &found)
{
    DeviceSearch search;
    search.Start();
    WarnIfNoSearcher(search);
    auto allFound = [&] {
        bool all = true;
        search.WithDevices([&](DeviceList &devices) {
            for (const QString &serial : serials)
                all = all && devices.Latest(serial);
        });
        return all;
    };
    const bool completed = Wait(search, waitMs, allFound);
    search.Stop();
    found.assign(serials.size(), std::nullopt);
    search.WithDevices([&](DeviceList &devices) {
        for (int i = 0; i < serials.size(); ++i)
            if (const DeviceRecord *device = devices.Latest(serials[i]))
                found[i] = *device;
    });
    return completed;
}

// The one device a command names (its first serial number): kExitOk with the device,
// or the status to end with (not found, interrupted), said on standard error.
int FindOneDevice(const Invocation &invocation, DeviceRecord &device)
{
    std::vector<std::optional<DeviceRecord>> found;
    if (!FindDevices(invocation.serials, invocation.waitMs, found))
        return Interrupted();
    if (!found[0]) {
        Complain(Utf8(invocation.serials.first()) + ": not found");
        return kExitNotFound;
    }
    device = *found[0];
    return kExitOk;
}

const char *Verdict(CommandResult result)
{
    switch (result) {
    case CommandResult::Succeeded:
        return "succeeded";
    case CommandResult::ConnectFailed:
        return "could not connect";
    case CommandResult::Failed:
        break;
    }
    return "failed (no answer in time, or the device refused)";
}

int StatusOf(CommandResult result)
{
    return result == CommandResult::Succeeded ? kExitOk : kExitDeviceFailed;
}

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

void Complain(const std::string &text)
{
    std::fprintf(stderr, "brenu-search: %s\n", text.c_str());
}

int RunList(const Invocation &invocation, Output &out)
{
    if (!CheckSearchAddresses(invocation.searchFrom))
        return kExitUsage;
    DeviceSearch search(invocation.searchFrom);
    search.Start();
    WarnIfNoSearcher(search);
    const bool completed = Wait(search, invocation.waitMs, [] { return false; });
    search.Stop();
    if (!completed)
        return Interrupted();

    std::vector<DeviceRecord> devices;
    std::optional<Overflow> overflow;
    search.WithDevices([&](DeviceList &list) {
        for (const HeardDevice &device : list.Devices())
            devices.push_back(device);
        if (list.Overflowed())
            overflow = Overflow{list.MaxDevices(), list.IgnoredAnswers()};
    });
    out.Write(FormatListing(devices, invocation.format, overflow ? &*overflow : nullptr));
    if (overflow)
        Complain("more devices answered than a listing holds (" + std::to_string(overflow->limit) + "); " +
                 std::to_string(overflow->ignoredAnswers) + " answers of further devices were not listed");
    return OutputStatus(out, overflow ? kExitOverflow : kExitOk);
}

int RunWatch(const Invocation &invocation, Output &out)
{
    if (!CheckSearchAddresses(invocation.searchFrom))
        return kExitUsage;
    const bool metrics = invocation.format == Format::OpenMetrics;
    if (metrics && !invocation.textfile.isEmpty()) {
        if (const std::string problem = CheckTextfile(invocation.textfile); !problem.empty()) {
            Complain(problem);
            return kExitUsage;
        }
    }
    const auto staleAfterMs = static_cast<uint32_t>(invocation.staleAfterS * 1000);
    DeviceSearch search(invocation.searchFrom, kMaxDeviceRows, !metrics, staleAfterMs);
    search.Start();
    WarnIfNoSearcher(search);
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
    while (!StopSignal()) {
        std::this_thread::sleep_for(kWatchTick);
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
    DeviceRecord device;
    if (const int status = FindOneDevice(invocation, device); status != kExitOk)
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
                 ", which cannot take commands");
        return kExitDeviceFailed;
    }
    if (!edited.dhcp) {
        const AddressField bad = FirstBadAddressField(edited);
        if (bad != AddressField::None) {
            Complain(Utf8(serial) + ": the device reports " + FieldOption(bad) + " '" +
                     Utf8(TerminalText(FieldValue(edited, bad))) + "', which is not an IPv4 address; give --" +
                     FieldOption(bad));
            return kExitUsage;
        }
    }

    Vant::CProtocalJson request;
    BuildUpdateRequest(device, edited, request);
    // To the address and port the device announced, not to a new address.
    const CommandResult result = SendDeviceCommand(device.address, device.port, request, serial.toUtf8());
    out.Write(Utf8(serial) + ": " + Verdict(result) + "\n");
    return OutputStatus(out, StatusOf(result));
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
    std::vector<std::optional<DeviceRecord>> found;
    if (!FindDevices(invocation.serials, invocation.waitMs, found))
        return Interrupted();

    const int count = invocation.serials.size();
    std::vector<std::string> verdicts(count);
    std::vector<int> statuses(count, kExitOk);
    std::atomic<int> next{0};
    auto worker = [&] {
        for (int i = next++; i < count; i = next++) {
            if (!found[i]) {
                verdicts[i] = "not found";
                statuses[i] = kExitNotFound;
                continue;
            }
            const DeviceRecord &device = *found[i];
            if (!IsCommandPort(device.port)) {
                verdicts[i] = "the device announces port " + std::to_string(device.port) + ", which cannot take commands";
                statuses[i] = kExitDeviceFailed;
                continue;
            }
            Vant::CProtocalJson request;
            const QByteArray serial = device.serialNo.toUtf8();
            BuildRebootRequest(serial, request);
            const CommandResult result = SendDeviceCommand(device.address, device.port, request, serial);
            verdicts[i] = Verdict(result);
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
    DeviceRecord device;
    if (const int status = FindOneDevice(invocation, device); status != kExitOk)
        return status;
    const QByteArray address = device.address.toUtf8();
    // The window opens the page only for dotted IPv4 text; so does this.
    if (!IsIpv4Text(std::string_view(address.constData(), static_cast<size_t>(address.size())))) {
        Complain(Utf8(serial) + ": the device announces no IPv4 address ('" + Utf8(TerminalText(device.address)) +
                 "')");
        return kExitDeviceFailed;
    }
    out.Write("http://" + address.toStdString() + "\n");
    return OutputStatus(out, kExitOk);
}

} // namespace cli
