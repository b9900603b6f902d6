#include "Link.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace devsim {

bool ReadLink(const std::string &name, LinkInfo &link, std::string &error)
{
    if (name.empty() || name.size() >= IFNAMSIZ) {
        error = "bad link name \"" + name + "\"";
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    const bool ok = fd >= 0 && ioctl(fd, SIOCGIFHWADDR, &request) == 0;
    const int saved = errno;
    if (fd >= 0)
        close(fd);
    link.index = static_cast<int>(if_nametoindex(name.c_str()));
    if (!ok || link.index <= 0) {
        error = "no link " + name + " in this namespace: " + std::strerror(saved);
        return false;
    }
    const auto *hw = reinterpret_cast<const unsigned char *>(request.ifr_hwaddr.sa_data);
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    link.mac = text;
    return true;
}

std::string ChangeLinkAddress(int index, uint32_t address, int prefixLength, bool add)
{
    struct {
        nlmsghdr header;
        ifaddrmsg message;
        char attributes[64];
    } request{};
    request.header.nlmsg_type = add ? RTM_NEWADDR : RTM_DELADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    request.header.nlmsg_seq = 1;
    request.message.ifa_family = AF_INET;
    request.message.ifa_prefixlen = static_cast<unsigned char>(prefixLength);
    request.message.ifa_index = static_cast<unsigned>(index);
    request.message.ifa_scope = RT_SCOPE_UNIVERSE;
    const uint32_t network = htonl(address);
    const uint32_t broadcast = htonl(prefixLength >= 31 ? address : address | (0xffffffffu >> prefixLength));
    size_t length = NLMSG_LENGTH(sizeof(ifaddrmsg));
    auto attribute = [&](unsigned short type, uint32_t value) {
        auto *a = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(&request) + NLMSG_ALIGN(length));
        a->rta_type = type;
        a->rta_len = RTA_LENGTH(sizeof value);
        std::memcpy(RTA_DATA(a), &value, sizeof value);
        length = NLMSG_ALIGN(length) + RTA_ALIGN(a->rta_len);
    };
    attribute(IFA_LOCAL, network);
    if (add) { // a removal names the address alone, whatever prefix it was added with
        attribute(IFA_ADDRESS, network);
        attribute(IFA_BROADCAST, broadcast);
    }
    request.header.nlmsg_len = static_cast<uint32_t>(length);

    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return std::string("netlink socket: ") + std::strerror(errno);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::string error;
    if (sendto(fd, &request, length, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0) {
        error = std::string("netlink send: ") + std::strerror(errno);
    } else {
        char answer[512];
        const ssize_t got = recv(fd, answer, sizeof answer, 0);
        const auto *reply = reinterpret_cast<const nlmsghdr *>(answer);
        if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) || reply->nlmsg_type != NLMSG_ERROR)
            error = "no answer from netlink";
        else if (const int code = reinterpret_cast<const nlmsgerr *>(NLMSG_DATA(reply))->error; code != 0)
            error = std::strerror(-code);
    }
    close(fd);
    return error;
}

int PrefixLength(const std::string &mask)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, mask.c_str(), &parsed) != 1)
        return -1;
    const uint32_t bits = ntohl(parsed.s_addr);
    const uint32_t inverted = ~bits;
    if ((inverted & (inverted + 1)) != 0) // the ones must be contiguous from the top
        return -1;
    int length = 0;
    for (uint32_t b = bits; b; b <<= 1)
        ++length;
    return length;
}

} // namespace devsim
