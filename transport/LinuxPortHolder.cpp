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

// The inodes of the UDP sockets bound to address:port or to the wildcard and port.
// /proc/net/udp shows a local address as the 32-bit value in hex as the kernel holds
// it (network byte order read as a host integer), then ':' and the port in hex.
std::set<unsigned long> SocketInodes(in_addr_t address, uint16_t port)
{
    std::set<unsigned long> inodes;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line); // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
            continue;
        const size_t colon = local.find(':');
        if (colon == std::string::npos)
            continue;
        const unsigned long boundAddress = std::strtoul(local.substr(0, colon).c_str(), nullptr, 16);
        const unsigned long boundPort = std::strtoul(local.substr(colon + 1).c_str(), nullptr, 16);
        if (boundPort == port && (boundAddress == address || boundAddress == 0) && inode != 0)
            inodes.insert(inode);
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
