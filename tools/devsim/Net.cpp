#include "Net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace devsim {

bool ParseIpv4(const std::string &text, uint32_t &address)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    address = ntohl(a.s_addr);
    return true;
}

std::string Ipv4Text(uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string EndpointText(const Endpoint &e)
{
    return Ipv4Text(e.address) + ":" + std::to_string(e.port);
}

sockaddr_in ToSockaddr(const Endpoint &e)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

Endpoint FromSockaddr(const sockaddr_in &a)
{
    return Endpoint{ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
}

bool IsSandboxAddress(uint32_t address)
{
    return (address >> 24) == 127 || (address >> 16) == ((10u << 8) | 77u) || address == kBroadcastAddress;
}

std::string CheckSandboxNamespace()
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::string("cannot list the interfaces: ") + std::strerror(errno);
    std::string refusal;
    for (ifaddrs *i = list; i && refusal.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        uint32_t address = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
        if (!IsSandboxAddress(address) || address == kBroadcastAddress)
            refusal = std::string("interface ") + i->ifa_name + " has the address " + Ipv4Text(address) +
                      ", which is outside 127.0.0.0/8 and 10.77.0.0/16: this is not a sandbox namespace";
    }
    freeifaddrs(list);
    return refusal;
}

bool IsLocalAddress(uint32_t address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            found = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr) == address;
    }
    freeifaddrs(list);
    return found;
}

uint32_t SubnetBroadcastOf(uint32_t address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    uint32_t broadcast = 0;
    for (ifaddrs *i = list; i && broadcast == 0; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask ||
            ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr) != address)
            continue;
        const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr);
        if (~mask >= 3)
            broadcast = (address & mask) | ~mask;
    }
    freeifaddrs(list);
    return broadcast;
}

int SendBufferSize(int fd)
{
    int size = 0;
    socklen_t len = sizeof size;
    getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len);
    return size;
}

int OpenUdpSocket(const Endpoint &local, bool broadcast, int sendBuffer, std::string &error)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (broadcast && setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        error = std::string("SO_BROADCAST: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    // The kernel doubles the value; SO_SNDBUFFORCE passes wmem_max where the
    // namespace's owner grants CAP_NET_ADMIN (always so in the sandbox's user namespace).
    int half = sendBuffer / 2;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &half, sizeof half) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &half, sizeof half);
    sockaddr_in a = ToSockaddr(local);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        error = "bind " + EndpointText(local) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int SendDatagram(int fd, const Endpoint &to, uint32_t source, const void *data, size_t size)
{
    sockaddr_in dest = ToSockaddr(to);
    iovec iov{const_cast<void *>(data), size};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (source != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(source);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    for (;;) {
        if (sendmsg(fd, &msg, MSG_NOSIGNAL) >= 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

bool ReceiveDatagram(int fd, char *buffer, size_t capacity, Received &info)
{
    sockaddr_in from{};
    iovec iov{buffer, capacity};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + 64] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    info.from = FromSockaddr(from);
    info.size = static_cast<size_t>(n);
    info.truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    info.destination = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo pi{};
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            info.destination = ntohl(pi.ipi_addr.s_addr);
        }
    }
    return true;
}

} // namespace devsim
