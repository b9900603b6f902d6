#include "LinkSend.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <netinet/in.h>
#include <sys/socket.h>

namespace linksend {
namespace {

bool ParseNumber(const char *text, unsigned long low, unsigned long high, unsigned long &value)
{
    if (!text || *text < '0' || *text > '9' || std::strlen(text) > 10)
        return false;
    char *end = nullptr;
    value = std::strtoul(text, &end, 10);
    return *end == '\0' && value >= low && value <= high;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseMac(const char *text, uint8_t mac[6])
{
    if (std::strlen(text) != 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        const int high = HexDigit(text[i * 3]), low = HexDigit(text[i * 3 + 1]);
        if (high < 0 || low < 0 || (i < 5 && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-'))
            return false;
        mac[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

// A dotted quad as inet_pton reads it (no shorthands such as "10.1" or "0x0a.0.0.1").
bool ParseIpv4(const char *text, uint32_t &address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

bool IsUnicast(uint32_t address)
{
    const uint32_t first = address >> 24;
    return first != 0 && first != 127 && first < 224;
}

} // namespace

int ParseArguments(int count, const char *const *arguments, Request &request, std::string &error)
{
    if (count != 4) {
        error = "usage: brenu-link-send IFINDEX DEVICE-MAC DEVICE-IP DEVICE-PORT < PAYLOAD 3<>BOUND-UDP-SOCKET";
        return kUsage;
    }
    unsigned long ifindex = 0, port = 0;
    if (!ParseNumber(arguments[0], 1, 0x7fffffff, ifindex)) {
        error = "the interface index is not a positive number";
        return kUsage;
    }
    if (!ParseMac(arguments[1], request.mac)) {
        error = "the device MAC is not six hex pairs";
        return kBadMac;
    }
    static const uint8_t zero[6] = {};
    if ((request.mac[0] & 1) || std::memcmp(request.mac, zero, 6) == 0) {
        error = "the device MAC is not a unicast MAC";
        return kBadMac;
    }
    if (!ParseIpv4(arguments[2], request.destination) || !IsUnicast(request.destination) ||
        !ParseNumber(arguments[3], 1, 65535, port)) {
        error = "the device address is not a unicast IPv4 address and port";
        return kBadDestination;
    }
    request.ifindex = static_cast<int>(ifindex);
    request.destinationPort = static_cast<uint16_t>(port);
    return kSent;
}

bool HostOfSubnet(uint32_t destination, uint32_t address, uint32_t mask)
{
    if ((destination & mask) != (address & mask) || destination == address)
        return false;
    // On /31 and /32 there is no network or broadcast address to leave out.
    if ((~mask) <= 1)
        return true;
    const uint32_t host = destination & ~mask;
    return host != 0 && host != ~mask;
}

bool ReadSocketSource(int fd, Request &request, std::string &error)
{
    int domain = 0, type = 0, protocol = 0;
    socklen_t size = sizeof domain;
    const bool udp = getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_INET &&
                     (size = sizeof type, getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0) &&
                     type == SOCK_DGRAM &&
                     (size = sizeof protocol, getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) == 0) &&
                     protocol == IPPROTO_UDP;
    if (!udp) {
        error = "descriptor " + std::to_string(fd) + " is no UDP/IPv4 socket";
        return false;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0 || local.sin_family != AF_INET ||
        local.sin_port == 0 || local.sin_addr.s_addr == htonl(INADDR_ANY)) {
        error = "the socket is not bound to one address and port";
        return false;
    }
    request.source = ntohl(local.sin_addr.s_addr);
    request.sourcePort = ntohs(local.sin_port);
    return true;
}

uint16_t Checksum(const uint8_t *data, size_t size, uint32_t sum)
{
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size & 1)
        sum += static_cast<uint32_t>(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

std::string BuildPacket(const Request &request, const char *payload, size_t size)
{
    const size_t udpLength = 8 + size, total = 20 + udpLength;
    std::string packet(total, '\0');
    auto *p = reinterpret_cast<uint8_t *>(&packet[0]);
    auto put16 = [](uint8_t *at, uint32_t value) {
        at[0] = static_cast<uint8_t>(value >> 8);
        at[1] = static_cast<uint8_t>(value);
    };
    auto put32 = [&](uint8_t *at, uint32_t value) {
        put16(at, value >> 16);
        put16(at + 2, value & 0xffff);
    };
    p[0] = 0x45; // version 4, five 32-bit words of header
    put16(p + 2, static_cast<uint32_t>(total));
    put16(p + 6, 0x4000); // don't fragment
    p[8] = kTtl;
    p[9] = 17; // UDP
    put32(p + 12, request.source);
    put32(p + 16, request.destination);
    put16(p + 10, Checksum(p, 20));

    uint8_t *udp = p + 20;
    put16(udp, request.sourcePort);
    put16(udp + 2, request.destinationPort);
    put16(udp + 4, static_cast<uint32_t>(udpLength));
    if (size)
        std::memcpy(udp + 8, payload, size);
    // The pseudo header: addresses, protocol and UDP length.
    const uint32_t pseudo = (request.source >> 16) + (request.source & 0xffff) + (request.destination >> 16) +
                            (request.destination & 0xffff) + 17 + static_cast<uint32_t>(udpLength);
    uint16_t sum = Checksum(udp, udpLength, pseudo);
    put16(udp + 6, sum == 0 ? 0xffff : sum); // 0 would mean "no checksum"
    return packet;
}

} // namespace linksend
