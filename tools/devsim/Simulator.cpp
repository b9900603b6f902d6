#include "Simulator.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

namespace devsim {
namespace {

constexpr int64_t kMs = 1000000;
constexpr size_t kReceiveCapacity = 65536;
constexpr int kReadsPerWake = 256; // datagrams taken from one socket before looking at the others

bool Contains(const std::vector<size_t> &list, size_t value)
{
    for (size_t v : list)
        if (v == value)
            return true;
    return false;
}

} // namespace

Simulator::Simulator(Options options, std::vector<DeviceConfig> devices)
    : m_options(std::move(options)), m_random(m_options.seed), m_receiveBuffer(kReceiveCapacity)
{
    m_devices.reserve(devices.size());
    for (DeviceConfig &config : devices) {
        Device d;
        d.current = config.settings;
        d.config = std::move(config);
        m_devices.push_back(std::move(d));
    }
}

Simulator::~Simulator()
{
    for (Socket &s : m_sockets)
        if (s.fd >= 0)
            close(s.fd);
    if (m_signalFd >= 0)
        close(m_signalFd);
}

bool Simulator::OpenSocket(const Endpoint &local, bool search, size_t &index, std::string &error)
{
    int fd = OpenUdpSocket(local, search, m_options.sendBufferBytes, error);
    if (fd < 0)
        return false;
    Socket s;
    s.fd = fd;
    s.local = local;
    s.search = search;
    index = m_sockets.size();
    m_sockets.push_back(std::move(s));
    if (!search)
        m_socketByEndpoint[local] = index;
    return true;
}

bool Simulator::Open(std::string &error)
{
    error = CheckSandboxNamespace();
    if (!error.empty())
        return false;
    if (!m_log.Open(m_options.logPath, m_options.logHex)) {
        error = "cannot open the log " + m_options.logPath + ": " + std::strerror(errno);
        return false;
    }

    // SIGINT/SIGTERM end the run with a summary, SIGUSR1 prints one; main() has
    // blocked them so that they arrive here through the poll loop.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    m_signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_signalFd < 0) {
        error = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }

    if (!m_options.link.empty()) {
        if (!ReadLink(m_options.link, m_link, error))
            return false;
        m_devices.front().current.mac = m_link.mac; // BuildDevices made sure there is one
    }
    if (!m_options.macOfLink.empty()) {
        LinkInfo link;
        if (!ReadLink(m_options.macOfLink, link, error))
            return false;
        for (Device &d : m_devices)
            d.current.mac = link.mac;
    }

    size_t index = 0;
    if (!OpenSocket(Endpoint{0, static_cast<uint16_t>(m_options.searchPort)}, true, index, error))
        return false;
    for (size_t i = 0; i < m_devices.size(); ++i) {
        Device &d = m_devices[i];
        Endpoint ep;
        if (!ParseIpv4(d.current.address, ep.address) || !IsSandboxAddress(ep.address) ||
            ep.address == kBroadcastAddress) {
            error = "device " + d.current.serialNo + ": address " + d.current.address +
                    " is not an address of the sandbox range 10.77.0.0/16";
            return false;
        }
        ep.port = static_cast<uint16_t>(d.current.port);
        auto found = m_socketByEndpoint.find(ep);
        if (found != m_socketByEndpoint.end()) {
            index = found->second;
        } else {
            if (!IsLocalAddress(ep.address)) {
                error = "device " + d.current.serialNo + ": address " + d.current.address +
                        " is not assigned in this namespace (add it to the device link first)";
                return false;
            }
            if (!OpenSocket(ep, false, index, error))
                return false;
        }
        d.socket = index;
        m_sockets[index].devices.push_back(i);
    }
    return true;
}

int64_t Simulator::JitterNs()
{
    if (m_options.jitterMs <= 0)
        return 0;
    std::uniform_int_distribution<int64_t> pick(0, static_cast<int64_t>(m_options.jitterMs) * kMs);
    return pick(m_random);
}

void Simulator::Note(const std::string &text)
{
    m_log.Line("note " + text, false);
}

void Simulator::Schedule(int fd, uint32_t source, const Endpoint &to, const std::vector<std::string> &datagrams,
                         int64_t dueNs, AnswerKind kind)
{
    // Last line of defence: nothing leaves for an address outside the sandbox range.
    if (!IsSandboxAddress(to.address)) {
        Note("refused to send to " + EndpointText(to));
        ++m_stats.sendErrors;
        return;
    }
    for (size_t k = 0; k < datagrams.size(); ++k) {
        Outgoing d;
        d.dueNs = dueNs + static_cast<int64_t>(k) * m_options.splitGapMs * kMs;
        d.fd = fd;
        d.source = source;
        d.to = to;
        d.bytes = datagrams[k];
        d.completes = k + 1 == datagrams.size() ? kind : AnswerKind::None;
        m_outbox.Schedule(std::move(d));
    }
}

const std::vector<std::string> &Simulator::SearchDatagrams(Device &device)
{
    if (device.searchDatagrams.empty()) {
        const FaultSet &f = device.config.faults;
        // A device may announce another address than the one it listens on.
        DeviceSettings announced = device.current;
        if (!device.config.announcedAddress.empty())
            announced.address = device.config.announcedAddress;
        std::string body = SearchAnswerBody(announced, f, "0");
        std::string second = f.Has(Scope::Search, Fault::Double) ? SearchAnswerBody(announced, f, "1") : "";
        device.searchDatagrams = ShapeAnswer(body, second, f, Scope::Search, m_options.oversizeBytes);
    }
    return device.searchDatagrams;
}

void Simulator::HandleSearch(const Endpoint &from, uint32_t destination, const Request &)
{
    int64_t now = MonotonicNs();
    ++m_stats.searchRequests;
    if (m_stats.firstSearchNs == 0)
        m_stats.firstSearchNs = now;
    const Socket &search = m_sockets[0];
    bool addressed = false;
    for (const Device &d : m_devices)
        addressed = addressed || (destination != 0 && m_sockets[d.socket].local.address == destination);
    for (Device &d : m_devices) {
        if (now < d.silentUntilNs)
            continue;
        if (addressed && m_sockets[d.socket].local.address != destination)
            continue;
        if (d.config.faults.Has(Scope::Search, Fault::Silent) || d.config.faults.Has(Scope::Search, Fault::Lost)) {
            ++m_stats.unanswered;
            continue;
        }
        if (m_options.answerOnce && !d.answered.insert(from.Key()).second)
            continue;
        bool broadcast = d.config.answerByBroadcast;
        Endpoint to = broadcast ? Endpoint{kBroadcastAddress, from.port} : from;
        if (d.config.answerBySubnetBroadcast) {
            const uint32_t subnet = SubnetBroadcastOf(m_sockets[d.socket].local.address);
            if (subnet == 0) {
                Note("device " + d.current.serialNo + ": its subnet has no broadcast address, no answer");
                ++m_stats.unanswered;
                continue;
            }
            broadcast = true;
            to = Endpoint{subnet, from.port};
        }
        Schedule(search.fd, m_sockets[d.socket].local.address, to, SearchDatagrams(d), now + JitterNs(),
                 broadcast ? AnswerKind::SearchBroadcast : AnswerKind::SearchUnicast);
    }
}

void Simulator::HandleCommand(size_t socketIndex, const Endpoint &from, const Request &request)
{
    bool reboot = request.apiLower == kRebootApi;
    ++(reboot ? m_stats.rebootRequests : m_stats.updateRequests);
    const Socket &socket = m_sockets[socketIndex]; // not used after MoveDevice

    // The request names its device by serial number. A device never carries out a
    // command meant for another one (for instance after that one moved away and the
    // tool's table still shows the old address).
    size_t target = m_devices.size();
    for (size_t i : socket.devices)
        if (m_devices[i].current.serialNo == request.serialNo)
            target = i;
    // Firmware that does not check takes it all the same: the request log tells.
    for (size_t k = 0; k < socket.devices.size() && target == m_devices.size(); ++k) {
        const Device &other = m_devices[socket.devices[k]];
        if (!other.config.anySerial)
            continue;
        target = socket.devices[k];
        ++m_stats.foreignRequests;
        Note("foreign request for " + request.serialNo + " taken by " + other.current.serialNo + " (" +
             other.current.mac + ")");
    }
    if (target == m_devices.size()) {
        ++m_stats.unknownSerial;
        Note("no device " + request.serialNo + " on " + EndpointText(socket.local));
        return;
    }
    Device &d = m_devices[target];
    int64_t now = MonotonicNs();
    if (now < d.silentUntilNs) {
        ++m_stats.whileRebooting;
        return;
    }
    const FaultSet &f = d.config.faults;
    if (f.Has(Scope::Command, Fault::Silent)) {
        ++m_stats.unanswered;
        return;
    }

    ResultForm result = ResultForm::True;
    if (f.Has(Scope::Command, Fault::ResultFalse))
        result = ResultForm::False;
    else if (f.Has(Scope::Command, Fault::ResultNumber))
        result = ResultForm::Number;
    else if (f.Has(Scope::Command, Fault::ResultString))
        result = ResultForm::String;
    std::string serial = d.current.serialNo;
    if (f.Has(Scope::Command, Fault::WrongSerial))
        serial += "-X";
    std::string body = CommandAnswerBody(request.api, serial, result, f, "0");
    std::string second = f.Has(Scope::Command, Fault::Double) ? CommandAnswerBody(request.api, serial, result, f, "1")
                                                              : "";
    // The answer leaves the socket the request came to, whatever the update changes;
    // a lost answer never leaves, but the command is carried out all the same.
    const int64_t answerDue = now + JitterNs();
    if (f.Has(Scope::Command, Fault::Lost))
        ++m_stats.unanswered;
    else
        Schedule(socket.fd, 0, from, ShapeAnswer(body, second, f, Scope::Command, m_options.oversizeBytes),
             answerDue, reboot ? AnswerKind::Reboot : AnswerKind::Update);

    // A device that answers "false" has refused the command; one that ignores it
    // said yes and changes nothing.
    if (result == ResultForm::False || f.Has(Scope::Command, Fault::Ignored))
        return;
    if (reboot) {
        d.silentUntilNs = now + static_cast<int64_t>(d.config.rebootMs) * kMs;
        d.answered.clear();
    } else {
        ApplyUpdate(d, request);
        if (request.texts.count("address")) {
            // A box answers from its old address, then takes the new one.
            if (!m_options.link.empty())
                m_pendingMoves.push_back({target, request.texts.at("address"),
                                          answerDue + 2 * static_cast<int64_t>(m_options.splitGapMs) * kMs + 50 * kMs});
            else
                MoveDevice(target, request.texts.at("address"));
        }
    }
}

void Simulator::ApplyUpdate(Device &device, const Request &request)
{
    DeviceSettings &s = device.current;
    for (const auto &[name, value] : request.texts) {
        if (name == "address")
            s.address = value;
        else if (name == "subnetMask")
            s.subnetMask = value;
        else if (name == "gateway")
            s.gateway = value;
        else if (name == "dns")
            s.dns = value;
        else if (name == "mac")
            s.mac = value;
        else if (name == "description")
            s.description = value;
    }
    if (request.hasDhcp)
        s.dhcp = request.dhcp;
    device.searchDatagrams.clear();
}

// After a new address the device listens and answers there: the address is added to
// the interface of the old one when no one here holds it yet (sandbox addresses only);
// when it cannot be had the device announces the new address but stays reachable on
// the old one (noted in the log).
namespace {

// The index of the interface holding `address` (host byte order), or 0.
int InterfaceIndexOf(uint32_t address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    int index = 0;
    for (const ifaddrs *entry = list; entry && !index; entry = entry->ifa_next)
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET &&
            ntohl(reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr) == address)
            index = static_cast<int>(if_nametoindex(entry->ifa_name));
    freeifaddrs(list);
    return index;
}

} // namespace

void Simulator::MoveDevice(size_t deviceIndex, const std::string &newAddress)
{
    Device &d = m_devices[deviceIndex];
    Endpoint ep{0, static_cast<uint16_t>(d.current.port)};
    if (!ParseIpv4(newAddress, ep.address) || ep == m_sockets[d.socket].local)
        return;
    size_t index = 0;
    auto found = m_socketByEndpoint.find(ep);
    if (found != m_socketByEndpoint.end()) {
        index = found->second;
    } else {
        std::string error;
        // A new address no one here holds is taken on the interface of the old one, as
        // a real device takes it (it then answers ARP and its answers come from it);
        // the old one stays, as other devices of this namespace may use it.
        if (IsSandboxAddress(ep.address) && ep.address != kBroadcastAddress && (ep.address >> 24) != 127 &&
            !IsLocalAddress(ep.address)) {
            const int link = InterfaceIndexOf(m_sockets[d.socket].local.address);
            const int prefix = PrefixLength(d.current.subnetMask);
            if (link > 0)
                error = ChangeLinkAddress(link, ep.address, prefix > 0 && prefix <= 30 ? prefix : 24, true);
        }
        if (!IsSandboxAddress(ep.address) || ep.address == kBroadcastAddress || !IsLocalAddress(ep.address) ||
            !OpenSocket(ep, false, index, error)) {
            Note(d.current.serialNo + " announces " + newAddress + " but stays on " +
                 EndpointText(m_sockets[d.socket].local) + (error.empty() ? "" : ": " + error));
            return;
        }
    }
    std::vector<size_t> &old = m_sockets[d.socket].devices;
    for (size_t k = 0; k < old.size(); ++k) {
        if (old[k] == deviceIndex) {
            old.erase(old.begin() + static_cast<long>(k));
            break;
        }
    }
    if (!Contains(m_sockets[index].devices, deviceIndex))
        m_sockets[index].devices.push_back(deviceIndex);
    d.socket = index;
}

void Simulator::MoveOnLink(size_t deviceIndex, const std::string &newAddress)
{
    Device &d = m_devices[deviceIndex];
    const uint32_t old = m_sockets[d.socket].local.address;
    uint32_t address = 0;
    if (!ParseIpv4(newAddress, address) || address == old)
        return;
    if (!IsSandboxAddress(address) || address == kBroadcastAddress || (address >> 24) == 127) {
        Note(d.current.serialNo + " refuses to take " + newAddress + " outside the sandbox range");
        return;
    }
    const int prefix = PrefixLength(d.current.subnetMask);
    std::string error = ChangeLinkAddress(m_link.index, old, 32, false);
    if (error.empty() || !IsLocalAddress(old))
        error = ChangeLinkAddress(m_link.index, address, prefix > 0 && prefix <= 30 ? prefix : 24, true);
    if (!error.empty())
        Note(d.current.serialNo + " could not move to " + newAddress + ": " + error);
    MoveDevice(deviceIndex, newAddress);
}

void Simulator::MoveDue()
{
    const int64_t now = MonotonicNs();
    for (size_t k = 0; k < m_pendingMoves.size();) {
        if (m_pendingMoves[k].dueNs > now) {
            ++k;
            continue;
        }
        const PendingMove move = m_pendingMoves[k];
        m_pendingMoves.erase(m_pendingMoves.begin() + static_cast<long>(k));
        MoveOnLink(move.device, move.address);
    }
}

void Simulator::HandleDatagram(size_t index, const Received &info, const char *data, size_t stored)
{
    // Copies, not a reference: handling an update may open a socket (m_sockets grows).
    const bool search = m_sockets[index].search;
    const int fd = m_sockets[index].fd;
    ++m_stats.datagramsReceived;
    Endpoint to{info.destination, m_sockets[index].local.port};
    m_log.Datagram(EndpointText(info.from), EndpointText(to), data, stored, info.size);
    if (info.size == 0) {
        ++m_stats.emptyDatagrams;
        if (!search && m_options.echoKeepAlive)
            Schedule(fd, 0, info.from, {std::string()}, MonotonicNs(), AnswerKind::KeepAlive);
        return;
    }
    if (info.truncated) // cannot happen below 64 KiB; a cut datagram is not a request
        return;

    auto key = std::make_pair(index, info.from.Key());
    std::vector<Request> requests = m_readers[key].Push(data, stored);
    if (m_readers[key].Pending() == 0)
        m_readers.erase(key);
    for (const Request &r : requests) {
        if (search && r.apiLower == kSearchApi)
            HandleSearch(info.from, info.destination, r);
        else if (!search && r.hasData && (r.apiLower == kUpdateApi || r.apiLower == kRebootApi))
            HandleCommand(index, info.from, r);
        else
            ++m_stats.ignoredRequests;
    }
}

void Simulator::ReadSocket(size_t index)
{
    for (int n = 0; n < kReadsPerWake; ++n) {
        Received info;
        if (!ReceiveDatagram(m_sockets[index].fd, m_receiveBuffer.data(), m_receiveBuffer.size(), info))
            return;
        size_t stored = info.size < m_receiveBuffer.size() ? info.size : m_receiveBuffer.size();
        HandleDatagram(index, info, m_receiveBuffer.data(), stored);
    }
}

void Simulator::Drain(Socket &socket)
{
    socket.waitWritable = !m_outbox.Drain(
        socket.fd,
        [this](const Outgoing &d) {
            ++m_stats.datagramsSent;
            if (d.completes != AnswerKind::None) {
                ++m_stats.answers[static_cast<int>(d.completes)];
                m_stats.lastAnswerNs = MonotonicNs();
            }
        },
        [this](const Outgoing &d, int error) {
            ++m_stats.sendErrors;
            Note("send to " + EndpointText(d.to) + " failed: " + std::strerror(error));
        });
}

void Simulator::SendDue()
{
    m_outbox.ReleaseDue(MonotonicNs());
    for (int fd : m_outbox.ReadySockets()) {
        for (Socket &s : m_sockets) {
            if (s.fd == fd && !s.waitWritable)
                Drain(s);
        }
    }
}

int Simulator::Run()
{
    std::string ready = "ready devices=" + std::to_string(m_devices.size()) + " search=0.0.0.0:" +
                        std::to_string(m_options.searchPort) +
                        " command_sockets=" + std::to_string(m_sockets.size() - 1) +
                        " sndbuf=" + std::to_string(SendBufferSize(m_sockets[0].fd)) +
                        " pid=" + std::to_string(getpid()) +
                        (m_options.link.empty() ? std::string() : " link=" + m_options.link + " mac=" + m_link.mac);
    m_log.Line(ready, !m_options.quiet);

    pid_t parent = getppid();
    std::vector<pollfd> fds;
    bool running = true;
    while (running) {
        SendDue();
        MoveDue();
        fds.clear();
        fds.push_back(pollfd{m_signalFd, POLLIN, 0});
        for (const Socket &s : m_sockets)
            fds.push_back(pollfd{s.fd, static_cast<short>(POLLIN | (s.waitWritable ? POLLOUT : 0)), 0});

        int64_t delay = m_outbox.NextDelay(MonotonicNs());
        for (const PendingMove &move : m_pendingMoves) {
            const int64_t until = std::max<int64_t>(0, move.dueNs - MonotonicNs());
            if (delay < 0 || until < delay)
                delay = until;
        }
        if (m_options.exitWithParent && (delay < 0 || delay > 250 * kMs))
            delay = 250 * kMs;
        timespec timeout{static_cast<time_t>(delay / 1000000000), static_cast<long>(delay % 1000000000)};
        int ready = ppoll(fds.data(), fds.size(), delay < 0 ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            Note(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (m_options.exitWithParent && getppid() != parent)
            break;
        if (ready <= 0)
            continue;

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            while (read(m_signalFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGUSR1)
                    m_log.Line(m_stats.Summary(), !m_options.quiet);
                else
                    running = false;
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & POLLOUT)
                Drain(m_sockets[i - 1]);
            if (fds[i].revents & (POLLIN | POLLERR))
                ReadSocket(i - 1);
        }
    }
    m_log.Line(m_stats.Summary(), !m_options.quiet);
    return 0;
}

} // namespace devsim
