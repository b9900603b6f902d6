#include "transport/LinuxLinkSend.h"

#include <linux/neighbour.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <cstdio>
#include <mutex>
#include <vector>

#include "linksend/LinkSend.h"

namespace {

constexpr const char *kHelperName = "brenu-link-send";

std::string ProgramDirectory()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    std::string self(path, static_cast<size_t>(length));
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string() : self.substr(0, slash);
}

std::string Dotted(uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xff, (address >> 8) & 0xff,
                  address & 0xff);
    return text;
}

} // namespace

std::string FindLinkSend()
{
    const std::string here = ProgramDirectory();
    if (here.empty())
        return {};
    for (const std::string &candidate :
         {here + "/../libexec/brenu-search-tools/" + kHelperName, here + "/" + kHelperName})
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    return {};
}

namespace {

int RunHelper(int ifindex, const std::string &mac, uint32_t ip, uint16_t port, int socket, const std::string &payload,
              bool quiet)
{
    const std::string path = FindLinkSend();
    if (path.empty())
        return -1;
    std::vector<std::string> arguments{path, std::to_string(ifindex), mac, Dotted(ip), std::to_string(port)};
    std::vector<char *> argv;
    for (std::string &a : arguments)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    char *noEnvironment[] = {nullptr};

    // The payload is written into the pipe before the helper starts: the pipe holds
    // one datagram whole, and while this end still holds the reading side no write can
    // meet a closed pipe (a helper that refuses before reading would otherwise raise
    // SIGPIPE in the caller, which ends a program that does not ignore it).
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0)
        return -1;
    const int capacity = fcntl(input[1], F_GETPIPE_SZ);
    size_t written = 0;
    while (capacity > 0 && payload.size() < static_cast<size_t>(capacity) && written < payload.size()) {
        const ssize_t n = write(input[1], payload.data() + written, payload.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    close(input[1]);
    if (written != payload.size()) {
        close(input[0]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    // The socket goes over as descriptor 3 (dup2 clears its close-on-exec flag).
    if (socket >= 0)
        posix_spawn_file_actions_adddup2(&actions, socket, linksend::kSocketDescriptor);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), noEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int RunLinkSend(int ifindex, const std::string &mac, uint32_t ip, uint16_t port, int socket,
                const std::string &payload)
{
    return RunHelper(ifindex, mac, ip, port, socket, payload, false);
}

bool LinkSendUsable()
{
    static std::once_flag once;
    static bool usable = false;
    std::call_once(once, [] {
        // Well formed, so the helper opens its packet socket, and then refused: the
        // loopback interface is no Ethernet interface. No frame can leave.
        const int status = RunHelper(1, "02:00:00:00:00:01", 0x0a000001, 9, -1, "x", true);
        usable = status >= 0 && status != linksend::kNoPermission && status != linksend::kUsage && status != 127;
    });
    return usable;
}

std::string NeighbourMac(uint32_t address, int ifindex)
{
    uint16_t state = 0;
    unsigned char mac[6] = {};
    if (!ReadNeighbourEntry(address, ifindex, state, mac) ||
        !(state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT)))
        return {};
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

void NudgeNeighbour(uint32_t address, const ProbeInterface &via)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    SendNeighbourProbe(fd, address, via);
    close(fd);
}
