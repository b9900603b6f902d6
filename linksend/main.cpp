// brenu-link-send: one UDP datagram to one device by its MAC (the contract is in
// LinkSend.h). No Qt, no environment, no configuration: four arguments, the caller's
// socket and a payload.
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/capability.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LinkSend.h"

namespace {

using namespace linksend;

int Refuse(int status, const std::string &reason)
{
    std::fprintf(stderr, "brenu-link-send: %s\n", reason.c_str());
    return status;
}

// Empties the permitted, effective and inheritable sets and the ambient set, and
// makes sure no later exec can give anything back.
bool DropCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capset, &header, data) != 0)
        return false;
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    __user_cap_data_struct left[2] = {};
    return syscall(SYS_capget, &header, left) == 0 && left[0].permitted == 0 && left[1].permitted == 0 &&
           left[0].effective == 0 && left[1].effective == 0;
}

std::string ReadAll(int fd, size_t limit)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > limit)
            break;
    }
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    clearenv();
    Request request;
    std::string error;
    const int parsed = ParseArguments(argc - 1, argv + 1, request, error);
    if (parsed != kSent)
        return Refuse(parsed, error);

    // Nothing but the packet socket is done with the capability.
    const int packet = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0); // protocol 0: it receives nothing
    const int openError = errno;
    if (!DropCapabilities())
        return Refuse(kNoPermission, std::string("cannot drop capabilities: ") + std::strerror(errno));
    if (packet < 0)
        return Refuse(kNoPermission, std::string("no packet socket (not granted cap_net_raw?): ") +
                                         std::strerror(openError));

    // The interface: Ethernet, and its MTU bounds the payload.
    char name[IF_NAMESIZE] = {};
    ifreq info{};
    const int query = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (query < 0 || !if_indextoname(static_cast<unsigned>(request.ifindex), name))
        return Refuse(kBadInterface, "no interface with index " + std::to_string(request.ifindex));
    std::memcpy(info.ifr_name, name, sizeof name);
    if (ioctl(query, SIOCGIFHWADDR, &info) != 0 || info.ifr_hwaddr.sa_family != ARPHRD_ETHER)
        return Refuse(kBadInterface, std::string("interface ") + name + " is not an Ethernet interface");
    if (ioctl(query, SIOCGIFMTU, &info) != 0 || info.ifr_mtu < 68)
        return Refuse(kBadInterface, std::string("interface ") + name + " has no usable MTU");
    const size_t maxPayload = std::min<size_t>(kMaxPayload, static_cast<size_t>(info.ifr_mtu) - 28);
    close(query);

    // The source is the caller's own socket, held here until the frame has left.
    if (!ReadSocketSource(kSocketDescriptor, request, error))
        return Refuse(kBadSocket, error);

    // The source must be an address of the interface, and the destination a host of
    // one of its subnets. Address labels ("eth0:1") are entries of the interface.
    bool own = false, host = false;
    ifaddrs *addresses = nullptr;
    if (getifaddrs(&addresses) == 0) {
        const size_t nameLength = std::strlen(name);
        for (const ifaddrs *a = addresses; a; a = a->ifa_next) {
            if (!a->ifa_addr || !a->ifa_netmask || a->ifa_addr->sa_family != AF_INET ||
                std::strncmp(a->ifa_name, name, nameLength) != 0 ||
                (a->ifa_name[nameLength] != '\0' && a->ifa_name[nameLength] != ':'))
                continue;
            const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr);
            const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in *>(a->ifa_netmask)->sin_addr.s_addr);
            own = own || address == request.source;
            host = host || HostOfSubnet(request.destination, address, mask);
        }
        freeifaddrs(addresses);
    }
    if (!own)
        return Refuse(kForeignSource, std::string("the socket's address is not an address of ") + name);
    if (!host)
        return Refuse(kBadDestination, std::string("the device address is no host of a subnet of ") + name);

    const std::string payload = ReadAll(STDIN_FILENO, maxPayload);
    if (payload.empty() || payload.size() > maxPayload)
        return Refuse(kBadPayload, "the payload must be 1 to " + std::to_string(maxPayload) + " bytes");

    const std::string frame = BuildPacket(request, payload.data(), payload.size());
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    to.sll_ifindex = request.ifindex;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, request.mac, 6);
    if (sendto(packet, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) !=
        static_cast<ssize_t>(frame.size()))
        return Refuse(kSendFailed, std::string("the frame was not sent: ") + std::strerror(errno));
    return kSent;
}
