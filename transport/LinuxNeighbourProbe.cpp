#include "transport/LinuxNeighbourProbe.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

namespace {

constexpr uint16_t kDiscardPort = 9;

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// What the table says about a candidate.
enum class Seen { Nothing, Pending, Used, Free };

Seen Classify(uint16_t state)
{
    if (state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT))
        return Seen::Used;
    if (state & NUD_FAILED)
        return Seen::Free;
    return Seen::Pending; // NUD_INCOMPLETE, NUD_NONE
}

// One IPv4 entry of the neighbour table: its interface, state, destination and,
// when the kernel gave one, its link-layer address.
struct NeighbourEntry {
    int ifindex = 0;
    uint16_t state = 0;
    bool haveDestination = false;
    uint32_t destination = 0; // host byte order
    bool haveMac = false;
    unsigned char mac[6] = {};
};

// Dumps the IPv4 neighbour table over rtnetlink (asking for one interface when
// ifindex > 0; a kernel without strict checking sends them all) and hands each entry
// to `visit`. False when the table could not be read to its end.
template <typename Visit>
bool DumpNeighbours(int ifindex, Visit visit)
{
    Fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0)
        return false;
    struct {
        nlmsghdr header;
        ndmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.ndm_family = AF_INET;
    request.body.ndm_ifindex = ifindex > 0 ? ifindex : 0;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof kernel) < 0)
        return false;

    alignas(nlmsghdr) static thread_local char buffer[32768];
    for (;;) {
        const ssize_t got = recv(fd.get(), buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        // Signed, as the netlink macros expect: NLMSG_NEXT subtracts the aligned
        // length of a message, which may pass what is left; an unsigned count would
        // wrap to a huge value and let NLMSG_OK walk past the buffer.
        int left = static_cast<int>(got); // at most sizeof buffer
        // NLMSG_OK's test, written out: the macro compares the unsigned message
        // length with the signed count, which the compiler rightly warns about.
        const auto whole = [&left](const nlmsghdr *message) {
            return left >= static_cast<int>(sizeof(nlmsghdr)) && message->nlmsg_len >= sizeof(nlmsghdr) &&
                   message->nlmsg_len <= static_cast<unsigned>(left);
        };
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer); whole(message);
             message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_type == NLMSG_DONE)
                return true;
            if (message->nlmsg_type == NLMSG_ERROR)
                return false;
            if (message->nlmsg_type != RTM_NEWNEIGH || message->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
                continue;
            const auto *header = static_cast<const ndmsg *>(NLMSG_DATA(message));
            if (header->ndm_family != AF_INET)
                continue;
            NeighbourEntry entry;
            entry.ifindex = header->ndm_ifindex;
            entry.state = header->ndm_state;
            int attributesLength = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg)));
            for (auto *attribute = reinterpret_cast<rtattr *>(
                     reinterpret_cast<char *>(NLMSG_DATA(message)) + NLMSG_ALIGN(sizeof(ndmsg)));
                 RTA_OK(attribute, attributesLength); attribute = RTA_NEXT(attribute, attributesLength)) {
                if (attribute->rta_type == NDA_DST && RTA_PAYLOAD(attribute) == sizeof(in_addr)) {
                    in_addr destination{};
                    std::memcpy(&destination, RTA_DATA(attribute), sizeof destination);
                    entry.destination = ntohl(destination.s_addr);
                    entry.haveDestination = true;
                } else if (attribute->rta_type == NDA_LLADDR && RTA_PAYLOAD(attribute) == sizeof entry.mac) {
                    std::memcpy(entry.mac, RTA_DATA(attribute), sizeof entry.mac);
                    entry.haveMac = true;
                }
            }
            if (entry.haveDestination)
                visit(entry);
        }
    }
}

// Reads the IPv4 neighbour table and records the state of the entries on the given
// interfaces for the wanted addresses. False when the table cannot be read.
bool ReadNeighbours(const kit::KeyedSet<uint32_t> &wanted, const kit::KeyedSet<int> &ifindexes,
                    std::map<uint32_t, Seen> &seen)
{
    return DumpNeighbours(0, [&](const NeighbourEntry &entry) {
        if (!ifindexes.count(entry.ifindex) || !wanted.count(entry.destination))
            return;
        const Seen state = Classify(entry.state);
        Seen &known = seen[entry.destination];
        // Used on any one interface wins over what the others say.
        if (known != Seen::Used)
            known = state;
    });
}

} // namespace

// Shared with LinuxLinkSend.cpp: the entry for one address on one interface.
bool ReadNeighbourEntry(uint32_t address, int ifindex, uint16_t &state, unsigned char mac[6])
{
    bool found = false;
    // What was read before a failure still counts: the entry was there.
    DumpNeighbours(ifindex, [&](const NeighbourEntry &entry) {
        if (entry.ifindex != ifindex || entry.destination != address)
            return;
        found = true;
        state = entry.state;
        if (entry.haveMac)
            std::memcpy(mac, entry.mac, sizeof entry.mac);
        else
            std::memset(mac, 0, 6);
    });
    return found;
}

void SendNeighbourProbe(int fd, uint32_t candidate, const ProbeInterface &via)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(kDiscardPort);
    target.sin_addr.s_addr = htonl(candidate);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = via.ifindex;
    info.ipi_spec_dst.s_addr = htonl(via.address);
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    // A failure (a full queue, an interface gone) leaves the candidate unresolved,
    // which counts as free: the later checks and verification still stand.
    (void)sendmsg(fd, &message, MSG_DONTROUTE | MSG_DONTWAIT | MSG_NOSIGNAL);
}

namespace {

void ProbeRound(const std::vector<uint32_t> &round, const std::vector<ProbeInterface> &interfaces, int waitMs,
                kit::KeyedSet<uint32_t> &used)
{
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return;
    kit::KeyedSet<int> ifindexes;
    for (const ProbeInterface &via : interfaces)
        ifindexes.insert(via.ifindex);
    const kit::KeyedSet<uint32_t> wanted(round.begin(), round.end());
    for (uint32_t candidate : round)
        for (const ProbeInterface &via : interfaces)
            SendNeighbourProbe(fd.get(), candidate, via);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::map<uint32_t, Seen> seen;
    for (;;) {
        seen.clear();
        const bool read = ReadNeighbours(wanted, ifindexes, seen);
        bool settled = read;
        for (uint32_t candidate : round) {
            const auto it = seen.find(candidate);
            if (it == seen.end() || it->second == Seen::Pending || it->second == Seen::Nothing)
                settled = false;
        }
        if (settled || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kNeighbourPollMs));
    }
    for (const auto &[address, state] : seen)
        if (state == Seen::Used)
            used.insert(address);
}

} // namespace

kit::KeyedSet<uint32_t> ProbeNeighbours(const std::vector<uint32_t> &candidates,
                                             const std::vector<ProbeInterface> &via, int waitMs)
{
    // One source address per interface: the datagram only has to make the kernel ask.
    std::vector<ProbeInterface> interfaces;
    for (const ProbeInterface &subnet : via)
        if (std::none_of(interfaces.begin(), interfaces.end(),
                         [&](const ProbeInterface &known) { return known.ifindex == subnet.ifindex; }))
            interfaces.push_back(subnet);
    kit::KeyedSet<uint32_t> used;
    if (interfaces.empty())
        return used;
    for (size_t at = 0; at < candidates.size(); at += kMaxProbesInFlight) {
        const size_t end = std::min(candidates.size(), at + static_cast<size_t>(kMaxProbesInFlight));
        ProbeRound(std::vector<uint32_t>(candidates.begin() + static_cast<long>(at), candidates.begin() + static_cast<long>(end)),
                   interfaces, waitMs, used);
    }
    return used;
}
