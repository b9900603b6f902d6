#include "cli/Doctor.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "cli/StopSignal.h"
#include "protocol/LocalAddresses.h"
#include "protocol/UdpCastGroup.h"
#include "transport/LinuxPortHolder.h"

namespace cli {

namespace {

// Collects the report and counts what is wrong.
class Report {
public:
    explicit Report(Output &out) : m_out(out) {}
    void Heading(const std::string &text) { m_text += "\n" + text + "\n"; }
    void Line(const std::string &text) { m_text += "  " + text + "\n"; }
    // A finding that explains missing devices, with what to do about it.
    void Problem(const std::string &text, const std::string &advice)
    {
        ++m_problems;
        m_text += "  " + text + "\n      -> " + advice + "\n";
    }
    int Problems() const { return m_problems; }
    bool Print() { return m_out.Write(m_text.substr(1)); }

private:
    Output &m_out;
    std::string m_text;
    int m_problems = 0;
};

std::string ReadLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The interface of the IPv4 default route, "" without one. /proc/net/route lists
// routes as "Iface Destination Gateway Flags ... Mask ..." in hex.
std::set<std::string> DefaultRouteInterfaces()
{
    std::set<std::string> interfaces;
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string device, destination, gateway, flags, refs, use, metric, mask;
        if (fields >> device >> destination >> gateway >> flags >> refs >> use >> metric >> mask &&
            destination == "00000000" && mask == "00000000")
            interfaces.insert(device);
    }
    return interfaces;
}

std::string SendAdvice(int error)
{
    switch (error) {
    case ENOKEY:
        return "the interface (a VPN) has no key for the peer: requests cannot leave it; search from another address";
    case EPERM:
    case EACCES:
        return "a firewall refuses the request: allow UDP from port 19009 to 255.255.255.255 port 19010 "
               "(and answers to port 19009)";
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTUNREACH:
        return "the interface went down or lost its route during the round; check its link";
    case ENOBUFS:
        return "the interface's queue was full; try again";
    default:
        return "check the interface and any firewall on this machine";
    }
}

void AddressSection(Report &report, const std::vector<InterfaceAddress> &found)
{
    report.Heading("Addresses");
    bool any = false;
    for (const InterfaceAddress &address : found) {
        const char *reason = UnsearchedReason(address);
        const std::string name = address.address + " on " + address.device;
        if (address.address == "127.0.0.1" || (reason && std::strcmp(reason, "loopback") == 0)) {
            report.Line(name + ": not searched (loopback)");
        } else if (!reason) {
            any = true;
            report.Line(name + ": searched" +
                        ((address.flags & IFF_POINTOPOINT) ? " (point-to-point: unicast answers only)" : ""));
        } else if (std::strcmp(reason, "interface down") == 0 || std::strcmp(reason, "no link") == 0) {
            report.Problem(name + ": not searched (" + reason + ")",
                           std::strcmp(reason, "interface down") == 0
                               ? "bring it up (ip link set " + address.device + " up); it is searched within 5 s"
                               : "connect its cable or start its link; it is searched within 5 s of coming up");
        } else {
            report.Line(name + ": not searched (" + reason + ")");
        }
    }
    if (!any)
        report.Problem("no address to search from",
                       "connect this machine to the devices' network and give it an IPv4 address there");
}

void PortSection(Report &report, const std::vector<QUdpCastGroup::SearcherState> &searchers)
{
    report.Heading("Port 19009 and the search sockets");
    for (const QUdpCastGroup::SearcherState &state : searchers) {
        const QUdpCast::SocketStatus &socket = state.socket;
        const std::string name = state.target.address + " on " + state.target.device;
        switch (socket.use) {
        case QUdpCast::SocketUse::SearchPort:
            report.Line(name + ": searching from port 19009");
            break;
        case QUdpCast::SocketUse::OtherPort:
            report.Problem(name + ": " + QUdpCast::PortInUseText(socket) + "; searched from port " +
                               std::to_string(socket.port) + " instead",
                           "devices that answer only to port 19009 are not heard from this address: stop the "
                           "other program, or search with it instead (one search serves everyone)");
            break;
        case QUdpCast::SocketUse::Failed:
            report.Problem(name + ": no search socket (" + std::strerror(socket.error) +
                               (socket.holder.empty() ? "" : ", port 19009 held by " + socket.holder) + ")",
                           "nothing is searched from this address: free port 19009 or check the address");
            break;
        case QUdpCast::SocketUse::NotYet:
            report.Problem(name + ": the search socket did not start in time", "run doctor again");
            break;
        }
        if (!socket.companionFailure.empty())
            report.Problem(name + ": missing receiver for broadcast answers (" + socket.companionFailure + ")",
                           "devices answering by broadcast are not heard: stop the program that holds it");
        for (const auto &kind : socket.sendErrors)
            report.Problem(name + ": " + std::to_string(kind.second) + " request(s) could not be sent (" +
                               std::strerror(kind.first) + ")",
                           SendAdvice(kind.first));
    }
}

void ReceiverSection(Report &report, const std::vector<QUdpCastGroup::ReceiverState> &receivers)
{
    report.Heading("Receivers of broadcast answers");
    if (receivers.empty())
        report.Line("none (no interface searched on port 19009 has a broadcast address)");
    for (const QUdpCastGroup::ReceiverState &receiver : receivers) {
        if (receiver.running)
            report.Line(receiver.name + ": open");
        else
            report.Problem(receiver.name + ": missing (" + receiver.failure + ")",
                           "devices answering by broadcast there are not heard: another program holds that "
                           "address and port exclusively; stop it");
    }
}

// Linux drops a datagram whose source address has no route back through the
// interface it arrived on (strict, 1) or through any interface (loose, 2). Devices in
// a foreign subnet answer by broadcast from an address this machine has no route to.
void ReversePathSection(Report &report, const std::vector<QUdpCastGroup::SearcherState> &searchers)
{
    report.Heading("Reverse-path filter (rp_filter), for devices in other subnets");
    const std::set<std::string> defaults = DefaultRouteInterfaces();
    const std::string all = ReadLine("/proc/sys/net/ipv4/conf/all/rp_filter");
    std::set<std::string> seen;
    for (const QUdpCastGroup::SearcherState &state : searchers) {
        const std::string &device = state.target.device;
        if (!seen.insert(device).second)
            continue;
        const std::string own = ReadLine("/proc/sys/net/ipv4/conf/" + device + "/rp_filter");
        if (own.empty() || all.empty()) {
            report.Line(device + ": rp_filter cannot be read");
            continue;
        }
        // The kernel applies the higher of the two.
        const int value = std::max(std::atoi(own.c_str()), std::atoi(all.c_str()));
        const std::string fix = "sysctl -w net.ipv4.conf." + device + ".rp_filter=0 net.ipv4.conf.all.rp_filter=0 "
                                "(as root; or add a route to the devices' subnet via " + device + ")";
        if (value == 0) {
            report.Line(device + ": rp_filter 0 (off): answers from devices in other subnets are accepted");
        } else if (value == 1 && !defaults.count(device)) {
            report.Problem(device + ": rp_filter 1 (strict): broadcast answers of devices in other subnets are "
                                    "dropped by the system, since no route leads back to them through " + device,
                           fix);
        } else if (value == 1) {
            report.Line(device + ": rp_filter 1 (strict), with the default route through " + device +
                        ": answers from other subnets are accepted");
        } else if (defaults.empty()) {
            report.Problem(device + ": rp_filter 2 (loose) without a default route: broadcast answers of devices "
                                    "in other subnets are dropped by the system",
                           fix);
        } else {
            report.Line(device + ": rp_filter 2 (loose), with a default route: answers from other subnets are accepted");
        }
    }
}

// The devices' answers sent but never received: see device/FirewallHint.h.
void FirewallSection(Report &report, const DeviceSearch::FirewallEvidence &evidence)
{
    report.Heading("Firewall on this machine");
    if (evidence.Shows()) {
        std::string links;
        for (const std::string &link : evidence.silentLinks)
            links += (links.empty() ? "" : ", ") + link;
        report.Problem("no answer on " + links + " while " + std::to_string(evidence.dropped) +
                           " incoming packet(s) were dropped before reaching any program: the firewall's inbound "
                           "policy drops the devices' answers to UDP port 19009 (an answer to a broadcast is not "
                           "a reply it lets in)",
                       "open the port: " + FirewallFixText());
    } else if (evidence.dropped > 0) {
        report.Line(std::to_string(evidence.dropped) +
                    " incoming packet(s) were dropped by the firewall, but every searched link heard answers");
    } else {
        report.Line("no incoming packet was dropped during the search");
    }
}

// The unicast search of the ranges given with --range.
void RangeSection(Report &report, const SearchRanges &ranges, const QRangeSearch::Status &status)
{
    if (ranges.Empty())
        return;
    report.Heading("Search ranges (devices behind a router)");
    std::string names;
    for (const AddressRange &range : ranges.Ranges())
        names += (names.empty() ? "" : ", ") + range.text;
    report.Line(names + ": " + std::to_string(status.addresses) + " address(es) at " + std::to_string(status.rate) +
                " request(s)/s; " + std::to_string(status.sent) + " request(s) sent");
    if (status.unreachable > 0)
        report.Problem(std::to_string(status.unreachable) + " request(s) had no route to their address",
                       "add a route to the devices' subnet through its router (ip route add SUBNET via ROUTER)");
    if (status.noSearcher > 0)
        report.Problem(std::to_string(status.noSearcher) +
                           " request(s) would leave from a local address that is not searched",
                       "search from the address the route to the range uses");
}

} // namespace

bool CheckCanSearch(const DeviceSearch &search)
{
    const QUdpCastGroup &group = search.Group();
    group.WaitForSockets(kSocketStartWaitMs);
    const std::string reason = group.CannotSearchReason();
    if (reason.empty())
        return true;
    Complain("cannot search: " + reason);
    return false;
}

int RunDoctor(const Invocation &invocation, Output &out)
{
    Report report(out);
    std::vector<InterfaceAddress> found;
    int error = 0;
    if (!ReadInterfaceAddresses(found, SystemInterfaceList(), error)) {
        report.Problem(std::string("the interface list cannot be read: ") + std::strerror(error),
                       "check that /proc and /sys are mounted");
        report.Print();
        return OutputStatus(out, kExitDeviceFailed);
    }
    AddressSection(report, found);

    // One round: the request goes out at once; the answers come within the wait.
    DeviceSearch search;
    search.SetRanges(invocation.ranges, invocation.rangeRate);
    search.Start();
    search.Group().WaitForSockets(kSocketStartWaitMs);
    while (search.ElapsedMs() < invocation.waitMs && !StopSignal())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<QUdpCastGroup::SearcherState> searchers = search.Group().SearcherStates();
    const std::vector<QUdpCastGroup::ReceiverState> receivers = search.Group().ReceiverStates();
    const DeviceSearch::FirewallEvidence firewall = search.TakeFirewallEvidence();
    const QRangeSearch::Status ranges = search.Group().RangeStatus();
    search.Stop();
    if (StopSignal())
        return kExitSignalBase + StopSignal();
    size_t devices = 0;
    search.WithDevices([&](DeviceList &list) { devices = static_cast<size_t>(list.Count()); });

    PortSection(report, searchers);
    ReceiverSection(report, receivers);
    ReversePathSection(report, searchers);
    FirewallSection(report, firewall);
    RangeSection(report, invocation.ranges, ranges);
    report.Heading("One search round (" + std::to_string(invocation.waitMs) + " ms)");
    report.Line(std::to_string(devices) + " device(s) answered");
    report.Heading(report.Problems() == 0 ? "No problem found."
                                          : std::to_string(report.Problems()) + " problem(s) found.");
    report.Print();
    // A report that could not be written (a full disk, /dev/full) is a failure too.
    return OutputStatus(out, report.Problems() == 0 ? kExitOk : kExitDeviceFailed);
}

} // namespace cli
