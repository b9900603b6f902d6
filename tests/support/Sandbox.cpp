#include "Sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

extern char **environ;

namespace sandbox {
namespace {

// Starts argv[0] (looked up on PATH) with argv in the calling thread's namespace; its
// pid, or -1.
pid_t SpawnHere(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    return pid;
}

bool SetNetworkNamespace(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

// Runs a command with a thread in the namespace at `path`; its exit status or -1.
int RunCommandIn(const std::string &path, const std::vector<std::string> &argv)
{
    int rc = -1;
    std::thread([&] {
        if (SetNetworkNamespace(path))
            rc = RunCommand(argv);
    }).join();
    return rc;
}

// Binds `probe` (a socket of the far side) to `address`, then sends a datagram from
// `ws` (the workstation's) to it until the probe hears one and its reply comes back,
// for up to 5 s; true once a datagram went both ways. Closes both sockets.
bool BounceProbe(int probe, int ws, const char *address)
{
    sockaddr_in dev{}, any{};
    dev.sin_family = any.sin_family = AF_INET;
    inet_pton(AF_INET, address, &dev.sin_addr);
    socklen_t len = sizeof dev;
    const bool ok = probe >= 0 && ws >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&dev), sizeof dev) == 0 &&
                    getsockname(probe, reinterpret_cast<sockaddr *>(&dev), &len) == 0 &&
                    bind(ws, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0;
    bool through = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ok && !through && std::chrono::steady_clock::now() < deadline) {
        sendto(ws, "?", 1, 0, reinterpret_cast<sockaddr *>(&dev), sizeof dev);
        pollfd p{probe, POLLIN, 0};
        if (poll(&p, 1, 5) != 1)
            continue;
        char c;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        if (recvfrom(probe, &c, 1, 0, reinterpret_cast<sockaddr *>(&from), &fromLen) == 1) {
            sendto(probe, "!", 1, 0, reinterpret_cast<sockaddr *>(&from), fromLen);
            pollfd q{ws, POLLIN, 0};
            through = poll(&q, 1, 50) == 1;
        }
    }
    if (probe >= 0)
        close(probe);
    if (ws >= 0)
        close(ws);
    return through;
}

} // namespace

sockaddr_in Ipv4(const char *ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

std::string EnterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno) +
               " (run the tests through scripts/test)";
    if (RunCommand({"ip", "link", "set", "lo", "up"}) != 0)
        return "could not bring loopback up in the private namespace";
    return {};
}

int RunCommand(const std::vector<std::string> &argv)
{
    // `ip` lives in /usr/sbin, which an ordinary user's PATH often lacks.
    if (!argv.empty() && argv[0] == "ip" && access("/usr/sbin/ip", X_OK) == 0) {
        std::vector<std::string> full = argv;
        full[0] = "/usr/sbin/ip";
        return RunCommand(full);
    }
    const pid_t pid = SpawnHere(argv);
    if (pid < 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BoxMac(int box)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:77:b0:00:%02x:%02x", (box >> 8) & 0xff, box & 0xff);
    return text;
}

bool DeviceNetwork::StartHolder(Holder &holder)
{
    int ready[2], hold[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return false;
    if (pipe2(hold, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    pid_t parent = getpid();
    holder.pid = fork();
    if (holder.pid == 0) {
        // The holder keeps its namespace alive until the parent closes the pipe or dies.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        char ok = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        char c;
        while (read(hold[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    holder.pipe = hold[1];
    char ok = 0;
    const bool started = holder.pid > 0 && read(ready[0], &ok, 1) == 1 && ok;
    close(ready[0]);
    if (started)
        holder.path = "/proc/" + std::to_string(holder.pid) + "/ns/net";
    return started;
}

void DeviceNetwork::StopHolder(Holder &holder)
{
    if (holder.pipe >= 0)
        close(holder.pipe);
    if (holder.pid > 0) {
        kill(holder.pid, SIGKILL);
        waitpid(holder.pid, nullptr, 0);
    }
    holder = Holder{};
}

DeviceNetwork::DeviceNetwork(Layout layout) : m_layout(layout)
{
    Holder device;
    const bool started = StartHolder(device);
    m_holder = device.pid;
    m_holderPipe = device.pipe;
    m_nsPath = device.path;
    if (!started || (layout == Layout::Switched && !StartHolder(m_switch))) {
        m_error = "could not create the device namespace";
        return;
    }

    const std::string pid = std::to_string(m_holder);
    bool linked = false;
    if (layout == Layout::Direct) {
        linked = RunCommand({"ip", "link", "add", kWorkstationLink, "type", "veth", "peer", "name", kDeviceLink,
                             "netns", pid}) == 0;
    } else {
        // Both links are ports of the bridge lan0 in the switch namespace.
        const std::string sw = std::to_string(m_switch.pid);
        auto inSwitch = [&](std::vector<std::string> argv) {
            argv.insert(argv.begin(), "ip");
            return RunCommandIn(m_switch.path, argv) == 0;
        };
        linked = inSwitch({"link", "add", "lan0", "type", "bridge"}) && inSwitch({"link", "set", "lan0", "up"}) &&
                 RunCommand({"ip", "link", "add", kWorkstationLink, "type", "veth", "peer", "name", "p-ws", "netns",
                             sw}) == 0 &&
                 inSwitch({"link", "add", "p-dev", "type", "veth", "peer", "name", kDeviceLink, "netns", pid}) &&
                 inSwitch({"link", "set", "p-ws", "master", "lan0"}) && inSwitch({"link", "set", "p-ws", "up"}) &&
                 inSwitch({"link", "set", "p-dev", "master", "lan0"}) && inSwitch({"link", "set", "p-dev", "up"});
    }
    if (!linked ||
        RunCommand({"ip", "addr", "add", std::string(kWorkstationAddress) + "/24", "dev", kWorkstationLink}) != 0 ||
        RunCommand({"ip", "link", "set", kWorkstationLink, "up"}) != 0 ||
        RunInDeviceCommand({"ip", "link", "set", "lo", "up"}) != 0 ||
        RunInDeviceCommand({"ip", "addr", "add", std::string(kDeviceAddress) + "/24", "dev", kDeviceLink}) != 0 ||
        RunInDeviceCommand({"ip", "link", "set", kDeviceLink, "up"}) != 0) {
        m_error = "could not set up the veth pair";
        return;
    }
    if (!WaitDataPath())
        m_error = "the veth pair did not come up";
}

DeviceNetwork::~DeviceNetwork()
{
    for (Holder &box : m_boxes)
        StopHolder(box);
    StopHolder(m_routed);
    StopHolder(m_switch);
    if (m_holderPipe >= 0)
        close(m_holderPipe);
    if (m_holder > 0) {
        kill(m_holder, SIGKILL);
        waitpid(m_holder, nullptr, 0);
    }
    // The veth pairs and the bridge disappear with their namespaces.
}

int DeviceNetwork::AddBox(const std::string &cidr)
{
    if (m_layout != Layout::Switched || !ok())
        return 0;
    Holder box;
    if (!StartHolder(box))
        return 0;
    m_boxes.push_back(box);
    const int n = static_cast<int>(m_boxes.size());
    const std::string port = "p-b" + std::to_string(n);
    auto inSwitch = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), "ip");
        return RunCommandIn(m_switch.path, argv) == 0;
    };
    if (!inSwitch({"link", "add", port, "type", "veth", "peer", "name", kDeviceLink, "netns",
                   std::to_string(box.pid)}) ||
        !inSwitch({"link", "set", port, "master", "lan0"}) || !inSwitch({"link", "set", port, "up"}) ||
        RunInBoxCommand(n, {"ip", "link", "set", "lo", "up"}) != 0 ||
        RunInBoxCommand(n, {"ip", "link", "set", kDeviceLink, "address", BoxMac(n)}) != 0 ||
        RunInBoxCommand(n, {"ip", "addr", "add", cidr, "dev", kDeviceLink}) != 0 ||
        RunInBoxCommand(n, {"ip", "link", "set", kDeviceLink, "up"}) != 0)
        return 0;
    // Up once the link reports a carrier and its queue is attached: poll the state.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        bool up = false;
        RunInBox(n, [&] {
            const unsigned index = if_nametoindex(kDeviceLink);
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq request{};
            std::strncpy(request.ifr_name, kDeviceLink, IFNAMSIZ - 1);
            up = index && fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING);
            if (fd >= 0)
                close(fd);
        });
        if (up)
            return n;
        usleep(10000);
    }
    return 0;
}

void DeviceNetwork::RunInBox(int box, const std::function<void()> &fn) const
{
    if (box < 1 || box > static_cast<int>(m_boxes.size()))
        return;
    std::string path = m_boxes[static_cast<size_t>(box - 1)].path;
    std::thread([path, &fn] {
        if (SetNetworkNamespace(path))
            fn();
    }).join();
}

pid_t DeviceNetwork::SpawnInBox(int box, const std::vector<std::string> &argv) const
{
    pid_t pid = -1;
    RunInBox(box, [&] { pid = SpawnHere(argv); });
    return pid;
}

int DeviceNetwork::RunInBoxCommand(int box, const std::vector<std::string> &argv) const
{
    int rc = -1;
    RunInBox(box, [&] { rc = RunCommand(argv); });
    return rc;
}

bool DeviceNetwork::AddRoutedSubnet()
{
    if (!ok() || m_routed.pid > 0 || !StartHolder(m_routed))
        return false;
    const std::string routedDevice = std::string(kRoutedDeviceAddress) + "/24";
    const std::string routerSide = std::string(kRouterRoutedSide) + "/24";
    const bool made =
        RunInDeviceCommand({"ip", "link", "add", "rtr0", "type", "veth", "peer", "name", kDeviceLink, "netns",
                            std::to_string(m_routed.pid)}) == 0 &&
        RunInDeviceCommand({"ip", "addr", "add", routerSide, "dev", "rtr0"}) == 0 &&
        RunInDeviceCommand({"ip", "link", "set", "rtr0", "up"}) == 0 &&
        RunInDeviceCommand({"sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"}) == 0 &&
        RunInRoutedCommand({"ip", "link", "set", "lo", "up"}) == 0 &&
        RunInRoutedCommand({"ip", "addr", "add", routedDevice, "dev", kDeviceLink}) == 0 &&
        RunInRoutedCommand({"ip", "link", "set", kDeviceLink, "up"}) == 0 &&
        RunInRoutedCommand({"ip", "route", "add", "default", "via", kRouterRoutedSide}) == 0 &&
        RunCommand({"ip", "route", "add", kRoutedSubnet, "via", kDeviceAddress}) == 0;
    if (!made)
        return false;
    // The new link comes up a little after "ip link set up": bounce a probe off the
    // routed side, as WaitDataPath does for the first link.
    int probe = -1;
    RunInRouted([&] { probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    const int ws = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return BounceProbe(probe, ws, kRoutedDeviceAddress);
}

bool DeviceNetwork::AddRoutedAddress(const std::string &cidr) const
{
    return RunInRoutedCommand({"ip", "addr", "add", cidr, "dev", kDeviceLink}) == 0;
}

void DeviceNetwork::RunInRouted(const std::function<void()> &fn) const
{
    const std::string path = m_routed.path;
    std::thread([path, &fn] {
        if (!path.empty() && SetNetworkNamespace(path))
            fn();
    }).join();
}

pid_t DeviceNetwork::SpawnInRouted(const std::vector<std::string> &argv) const
{
    pid_t pid = -1;
    RunInRouted([&] { pid = SpawnHere(argv); });
    return pid;
}

int DeviceNetwork::RunInRoutedCommand(const std::vector<std::string> &argv) const
{
    int rc = -1;
    RunInRouted([&] { rc = RunCommand(argv); });
    return rc;
}

bool DeviceNetwork::WaitDataPath()
{
    // A link reports "up" before the kernel has attached its queue, and datagrams sent
    // in between are dropped. Bounce a probe off the device side until it returns.
    return BounceProbe(DeviceUdpSocket(*this), socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), kDeviceAddress);
}

bool DeviceNetwork::AddWorkstationAddress(const std::string &cidr, const std::string &label) const
{
    std::vector<std::string> argv{"ip", "addr", "add", cidr, "dev", kWorkstationLink};
    if (!label.empty()) {
        argv.push_back("label");
        argv.push_back(label);
    }
    return RunCommand(argv) == 0;
}

bool DeviceNetwork::RemoveWorkstationAddress(const std::string &cidr) const
{
    return RunCommand({"ip", "addr", "del", cidr, "dev", kWorkstationLink}) == 0;
}

bool DeviceNetwork::AddDeviceAddress(const std::string &cidr) const
{
    return RunInDeviceCommand({"ip", "addr", "add", cidr, "dev", kDeviceLink}) == 0;
}

std::thread DeviceNetwork::StartInDevice(std::function<void()> fn) const
{
    std::string path = m_nsPath;
    return std::thread([path, fn = std::move(fn)] {
        if (SetNetworkNamespace(path))
            fn();
    });
}

void DeviceNetwork::RunInDevice(const std::function<void()> &fn) const
{
    StartInDevice(fn).join();
}

pid_t DeviceNetwork::SpawnInDevice(const std::vector<std::string> &argv) const
{
    pid_t pid = -1;
    RunInDevice([&] { pid = SpawnHere(argv); });
    return pid;
}

int DeviceNetwork::RunInDeviceCommand(const std::vector<std::string> &argv) const
{
    int rc = -1;
    RunInDevice([&] { rc = RunCommand(argv); });
    return rc;
}

const DeviceNetwork *ProcessDeviceNetwork(std::string &error)
{
    static const std::string entered = EnterPrivateNetwork();
    static const std::unique_ptr<DeviceNetwork> net = entered.empty() ? std::make_unique<DeviceNetwork>() : nullptr;
    error = !entered.empty() ? entered : net->error();
    return error.empty() ? net.get() : nullptr;
}

int DeviceUdpSocket(const DeviceNetwork &net)
{
    int fd = -1;
    net.RunInDevice([&] { fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    return fd;
}

} // namespace sandbox
