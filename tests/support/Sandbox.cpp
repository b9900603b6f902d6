#include "Sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
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
#include <cstring>

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

bool InterfaceRunning(const char *name)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq req{};
    std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
    bool running = ioctl(s, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_RUNNING);
    close(s);
    return running;
}

} // namespace

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
    if (!WaitRunning(false, kWorkstationLink) || !WaitRunning(true, kDeviceLink))
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

bool DeviceNetwork::WaitRunning(bool device, const char *link)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        bool running = false;
        if (device)
            RunInDevice([&] { running = InterfaceRunning(link); });
        else
            running = InterfaceRunning(link);
        if (running)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool DeviceNetwork::AddWorkstationAddress(const std::string &cidr)
{
    return RunCommand({"ip", "addr", "add", cidr, "dev", kWorkstationLink}) == 0;
}

bool DeviceNetwork::AddDeviceAddress(const std::string &cidr)
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

int DeviceUdpSocket(const DeviceNetwork &net)
{
    int fd = -1;
    net.RunInDevice([&] { fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    return fd;
}

} // namespace sandbox
