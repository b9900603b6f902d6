#include "transport/LinuxUdp.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/InterfaceEntry.h"
#include "transport/SocketTypes.h"

namespace {

// Closes a receiver whose setup failed, keeping the setup's errno. Returns -1.
int CloseFailedSetup(int fd)
{
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

} // namespace

int OpenUdpSocket(int family)
{
    return socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
}

void CloseUdpSocket(int &fd)
{
    if (fd < 0)
        return;
    shutdown(fd, SHUT_WR);
    close(fd);
    fd = -1;
}

void SetSocketFlag(int fd, int level, int option, int value)
{
    setsockopt(fd, level, option, &value, sizeof value);
}

bool IsIcmpReportedError(int error)
{
    // The errno values of the kernel's ICMP error table (destination unreachable by
    // code) and of parameter problem.
    switch (error) {
    case ECONNREFUSED: // port unreachable
    case ENOPROTOOPT:  // protocol unreachable
    case ENETUNREACH:  // network unreachable, unknown or prohibited
    case EHOSTUNREACH: // host unreachable or prohibited, packet filtered, precedence
    case EHOSTDOWN:    // host unknown
    case ENONET:       // host isolated
    case EOPNOTSUPP:   // source route failed
    case EMSGSIZE:     // fragmentation needed
    case EPROTO:       // parameter problem
        return true;
    default:
        return false;
    }
}

bool SetOnLinkInterface(int fd, const std::string &device)
{
    const unsigned index = if_nametoindex(device.c_str());
    if (index == 0) {
        errno = ENODEV;
        return false;
    }
    const int on = 1;
    return BindToInterface(fd, index) && setsockopt(fd, SOL_SOCKET, SO_DONTROUTE, &on, sizeof on) == 0;
}

ReceiveResult ReceiveDatagram(int fd, uint8_t *buffer, int32_t capacity, SockAddr *from)
{
    iovec piece{buffer, static_cast<size_t>(capacity > 0 ? capacity : 0)};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    if (from != nullptr) {
        from->Clear();
        message.msg_name = from;
        message.msg_namelen = sizeof *from;
    }
    ReceiveResult result;
    const ssize_t n = recvmsg(fd, &message, MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0) {
        result.error = errno;
        return result;
    }
    result.length = n;
    result.truncated = (message.msg_flags & MSG_TRUNC) != 0 || n > capacity;
    return result;
}

bool CopyReceiveBufferSize(int from, int to)
{
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(from, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return false;
    const int request = size / 2;
    if (setsockopt(to, SOL_SOCKET, SO_RCVBUFFORCE, &request, sizeof request) == 0)
        return true;
    return setsockopt(to, SOL_SOCKET, SO_RCVBUF, &request, sizeof request) == 0;
}

bool InterfaceOfAddress(const SockAddr &address, AddressInterface &found)
{
    if (address.Family() != AF_INET) {
        errno = SysError::AddressNotAvailable;
        return false;
    }
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    const ifaddrs *match = nullptr;
    for (const ifaddrs *entry = list; entry != nullptr && match == nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (v4->sin_addr.s_addr == address.v4.sin_addr.s_addr)
            match = entry;
    }
    int error = SysError::AddressNotAvailable;
    if (match != nullptr) {
        // An address label ("eth0:1") is not an interface name: SO_BINDTODEVICE
        // takes only the interface itself.
        found.device = InterfaceOfLabel(match->ifa_name);
        found.broadcast = SubnetBroadcastOf(*match);
        found.index = if_nametoindex(found.device.c_str());
        error = found.index != 0 ? 0 : ENODEV;
    }
    freeifaddrs(list);
    errno = error;
    return error == 0;
}

bool BindToInterface(int fd, unsigned index)
{
#ifdef SO_BINDTOIFINDEX
    const int value = static_cast<int>(index);
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &value, sizeof value) == 0)
        return true;
    if (errno != ENOPROTOOPT)
        return false;
#endif
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(index, name) == nullptr)
        return false;
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, static_cast<socklen_t>(std::strlen(name) + 1)) == 0;
}

int OpenBroadcastReceiver(unsigned index, in_addr_t broadcast, uint16_t port)
{
    int fd = OpenUdpSocket(AF_INET);
    if (fd < 0)
        return -1;
    const int on = 1;
    sockaddr_in all{};
    all.sin_family = AF_INET;
    all.sin_port = htons(port);
    all.sin_addr.s_addr = broadcast;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 || !BindToInterface(fd, index) ||
        bind(fd, reinterpret_cast<const sockaddr *>(&all), sizeof all) != 0) {
        return CloseFailedSetup(fd);
    }
    return fd;
}

int OpenGroupReceiver(const SockAddr &group, uint16_t port)
{
    int fd = OpenUdpSocket(group.Family());
    if (fd < 0)
        return -1;
    const int on = 1;
    SockAddr local = group;
    if (local.Family() == AF_INET)
        local.v4.sin_port = htons(port);
    else
        local.v6.sin6_port = htons(port);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, &local.addr, local.Length()) != 0) {
        return CloseFailedSetup(fd);
    }
    return fd;
}

bool JoinGroup(int fd, const SockAddr &group, const SockAddr &local)
{
    if (group.Family() == AF_INET) {
        ip_mreq membership{};
        membership.imr_multiaddr = group.v4.sin_addr;
        membership.imr_interface = local.v4.sin_addr;
        return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    }
    ipv6_mreq membership{};
    membership.ipv6mr_multiaddr = group.v6.sin6_addr;
    membership.ipv6mr_interface = local.v6.sin6_scope_id;
    return setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
}
