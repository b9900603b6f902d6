#include "Sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

extern char **environ;

namespace sandbox {
namespace {

bool SetNetworkNamespace(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
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
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

DeviceNetwork::DeviceNetwork()
{
    int ready[2], hold[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return;
    }
    pid_t parent = getpid();
    m_holder = fork();
    if (m_holder == 0) {
        // The holder keeps the device namespace alive until the parent closes the
        // pipe or dies.
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
    m_holderPipe = hold[1];
    char ok = 0;
    if (m_holder < 0 || read(ready[0], &ok, 1) != 1 || !ok) {
        close(ready[0]);
        m_error = "could not create the device namespace";
        return;
    }
    close(ready[0]);
    m_nsPath = "/proc/" + std::to_string(m_holder) + "/ns/net";

    const std::string pid = std::to_string(m_holder);
    if (RunCommand({"ip", "link", "add", kWorkstationLink, "type", "veth", "peer", "name", kDeviceLink,
                    "netns", pid}) != 0 ||
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
    if (m_holderPipe >= 0)
        close(m_holderPipe);
    if (m_holder > 0) {
        kill(m_holder, SIGKILL);
        waitpid(m_holder, nullptr, 0);
    }
    // The veth pair disappears with the device namespace.
}

bool DeviceNetwork::WaitDataPath()
{
    // A link reports "up" before the kernel has attached its queue, and datagrams sent
    // in between are dropped. Bounce a probe off the device side until it returns.
    int probe = DeviceUdpSocket(*this);
    int ws = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in dev{}, any{};
    dev.sin_family = any.sin_family = AF_INET;
    inet_pton(AF_INET, kDeviceAddress, &dev.sin_addr);
    socklen_t len = sizeof dev;
    bool ok = probe >= 0 && ws >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&dev), sizeof dev) == 0 &&
              getsockname(probe, reinterpret_cast<sockaddr *>(&dev), &len) == 0 &&
              bind(ws, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0;
    bool through = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ok && !through && std::chrono::steady_clock::now() < deadline) {
        sendto(ws, "?", 1, 0, reinterpret_cast<sockaddr *>(&dev), sizeof dev);
        pollfd p{probe, POLLIN, 0};
        if (poll(&p, 1, 5) == 1) {
            char c;
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            if (recvfrom(probe, &c, 1, 0, reinterpret_cast<sockaddr *>(&from), &fromLen) == 1) {
                sendto(probe, "!", 1, 0, reinterpret_cast<sockaddr *>(&from), fromLen);
                pollfd q{ws, POLLIN, 0};
                through = poll(&q, 1, 50) == 1;
            }
        }
    }
    if (probe >= 0)
        close(probe);
    if (ws >= 0)
        close(ws);
    return through;
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
    RunInDevice([&] {
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
            pid = -1;
    });
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
