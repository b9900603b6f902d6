#include "transport/LinuxPortHolder.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "kit/UnsafeText.h"

namespace {

// The inodes of the UDP sockets of this process's network namespace bound to
// address:port or to the wildcard and port, from /proc/self/net/udp and udp6 (an
// IPv6 socket on [::] or on the IPv4-mapped address takes the IPv4 port too, unless
// it is IPv6-only, which /proc does not tell). The tables show a local address as
// 32-bit words in hex as the kernel holds them (network byte order read as a host
// integer; IPv6: four such words), then ':' and the port in hex.
std::set<unsigned long> SocketInodes(in_addr_t address, uint16_t port)
{
    std::set<unsigned long> inodes;
    const auto word = [](const std::string &hex, size_t at) {
        return static_cast<uint32_t>(std::strtoul(hex.substr(at, 8).c_str(), nullptr, 16));
    };
    // The third word of an IPv4-mapped address (bytes 00 00 ff ff) as the kernel shows it.
    uint32_t mappedPrefix = 0;
    const unsigned char mapped[4] = {0, 0, 0xff, 0xff};
    std::memcpy(&mappedPrefix, mapped, sizeof mappedPrefix);
    for (const char *path : {"/proc/self/net/udp", "/proc/self/net/udp6"}) {
        std::ifstream table(path);
        std::string line;
        std::getline(table, line); // the header
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
                  inode))
                continue;
            const size_t colon = local.find(':');
            if (colon == std::string::npos || inode == 0 ||
                std::strtoul(local.substr(colon + 1).c_str(), nullptr, 16) != port)
                continue;
            bool holds = false;
            if (colon == 8) {
                const uint32_t bound = word(local, 0);
                holds = bound == address || bound == 0;
            } else if (colon == 32) {
                const uint32_t w0 = word(local, 0), w1 = word(local, 8), w2 = word(local, 16), w3 = word(local, 24);
                holds = w0 == 0 && w1 == 0 && ((w2 == 0 && w3 == 0) || (w2 == mappedPrefix && w3 == address));
            }
            if (holds)
                inodes.insert(inode);
        }
    }
    return inodes;
}

bool IsNumber(const char *text)
{
    if (*text == '\0')
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

// True when process `pid` has one of the sockets open.
bool HoldsOne(const std::string &pid, const std::set<unsigned long> &inodes)
{
    const std::string folder = "/proc/" + pid + "/fd";
    DIR *fds = opendir(folder.c_str());
    if (!fds)
        return false; // another user's process, or gone
    bool holds = false;
    while (const dirent *entry = readdir(fds)) {
        if (!IsNumber(entry->d_name))
            continue;
        char target[64] = {};
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        unsigned long inode = 0;
        if (n > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode)) {
            holds = true;
            break;
        }
    }
    closedir(fds);
    return holds;
}

// A process names itself (prctl, the file it runs): its name reaches a terminal
// only with the unsafe characters replaced, and without bytes beyond ASCII, which a
// name cut at 15 bytes may have split.
std::string ProgramName(const std::string &pid)
{
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    for (char &c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || Vant::IsUnsafeCodePoint(byte))
            c = '?';
    }
    return name.empty() ? std::string("?") : name;
}

} // namespace

std::string UdpPortHolder(in_addr_t address, uint16_t port)
{
    const std::set<unsigned long> inodes = SocketInodes(address, port);
    if (inodes.empty())
        return std::string();
    const std::string self = std::to_string(getpid());
    std::string holders;
    int named = 0;
    DIR *processes = opendir("/proc");
    if (processes) {
        while (const dirent *entry = readdir(processes)) {
            if (!IsNumber(entry->d_name) || !HoldsOne(entry->d_name, inodes))
                continue;
            if (named == kMaxNamedHolders) {
                holders += ", ...";
                break;
            }
            const std::string pid = entry->d_name;
            holders += (holders.empty() ? "" : ", ") + ProgramName(pid) + " (pid " + pid +
                       (pid == self ? ", this program" : "") + ")";
            ++named;
        }
        closedir(processes);
    }
    return holders.empty() ? std::string("a program of another user") : holders;
}
