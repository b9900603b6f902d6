#pragma once
// brenu-link-send: sends one UDP datagram to one device chosen by its MAC address,
// for the moment several devices hold one IPv4 address (a factory default) and a
// unicast to that address would reach whichever of them the neighbour table names.
//
// It is the only part of the product that holds a privilege: installed as
// /usr/libexec/brenu-search-tools/brenu-link-send, owned by root and the group
// `brenu`, mode 0750, with the file capability cap_net_raw (the package asks before
// granting it). So it does as little as it can, and refuses everything else:
//
//   brenu-link-send IFINDEX DEVICE-MAC DEVICE-IP DEVICE-PORT < PAYLOAD  3<>SOCKET
//
//  - It reads no environment (it clears it before anything else), no file, only these
//    four arguments, standard input and the socket on descriptor 3.
//  - Descriptor 3 is the caller's own bound UDP/IPv4 socket (kSocketDescriptor). The
//    frame's source address and port are that socket's local address and port, read
//    from the socket itself: the caller speaks only for a socket it holds, and since
//    the helper holds it too until the frame is sent, nobody else can bind that port
//    in between. The device's answer comes back to that socket.
//  - DEVICE-MAC is a unicast MAC (not multicast, not broadcast, not all zero);
//    DEVICE-IP a unicast IPv4 literal (not 0/8, 127/8, 224/4 or 255.255.255.255)
//    that lies in a subnet of the interface, and is neither that subnet's network
//    nor its broadcast address nor the interface's own address; ports 1..65535;
//    IFINDEX an Ethernet interface of the caller's namespace, and the socket's
//    address one of its addresses.
//  - The payload is at most one datagram that fits one frame of the interface
//    without fragments (kMaxPayload, less on a smaller MTU) and not empty.
//  - It opens an AF_PACKET/SOCK_DGRAM socket (the kernel writes the Ethernet header
//    to DEVICE-MAC), drops every capability at once (permitted, effective,
//    inheritable, ambient; and no new privileges), then checks the rest, builds
//    the IPv4 header and the UDP header with their checksums and sends one frame.
//  - Such a frame leaves on the interface directly: the host's output firewall and
//    its routing rules never see it (the package's question says so).
//
// Each refusal prints one line on standard error and exits with its own status
// (LinkSendStatus), so that the caller can tell the operator why.
#include <cstddef>
#include <cstdint>
#include <string>

namespace linksend {

// The UDP payload of one unfragmented datagram in a 1500-byte Ethernet frame:
// 1500 - 20 (IPv4 header) - 8 (UDP header). A request of the tool is a few hundred
// bytes; anything longer is not one of its requests.
constexpr size_t kMaxPayload = 1472;
// The TTL of the frame: the device is on the link, the packet goes no further.
constexpr uint8_t kTtl = 1;
// The descriptor on which the caller hands over its bound socket.
constexpr int kSocketDescriptor = 3;

enum LinkSendStatus : int {
    kSent = 0,
    kUsage = 10,          // wrong number of arguments, or one that is not a number where one is due
    kBadMac = 11,         // not six hex pairs, or not a unicast MAC
    kBadDestination = 12, // not a unicast IPv4 literal, port 0, or not a host of a subnet of the interface
    kBadInterface = 13,   // no such interface, or not Ethernet
    kForeignSource = 14,  // the socket's address is not an address of that interface
    kBadSocket = 15,      // descriptor 3 is no bound UDP/IPv4 socket
    kBadPayload = 16,     // empty, or more than one datagram
    kNoPermission = 17,   // no packet socket (not granted cap_net_raw)
    kSendFailed = 18,     // the kernel refused the frame
};

struct Request {
    int ifindex = 0;
    uint8_t mac[6] = {};
    uint32_t destination = 0; // host byte order
    uint16_t destinationPort = 0;
    uint32_t source = 0; // host byte order
    uint16_t sourcePort = 0;
};

// Parses the four arguments (argv without the program name). Returns kSent when they
// are well formed, otherwise the status to exit with and the reason in `error`.
int ParseArguments(int count, const char *const *arguments, Request &request, std::string &error);

// Whether `destination` is a host of the subnet of `address`/`mask` (host byte
// order): inside it, and neither its network nor its broadcast address (on subnets
// of /30 and wider) nor `address` itself.
bool HostOfSubnet(uint32_t destination, uint32_t address, uint32_t mask);

// The local address and port of the bound UDP/IPv4 socket `fd` into the request's
// source; false (with `error`) when it is no such socket or not bound to one address
// and port.
bool ReadSocketSource(int fd, Request &request, std::string &error);

// The IPv4 packet (header with its checksum, UDP header with its checksum, payload).
// `payload` holds at most kMaxPayload bytes.
std::string BuildPacket(const Request &request, const char *payload, size_t size);

// The ones' complement checksum of RFC 1071 over `size` bytes, starting from `sum`.
uint16_t Checksum(const uint8_t *data, size_t size, uint32_t sum = 0);

} // namespace linksend
