#pragma once
// Plain POSIX UDP helpers of the simulator (a test tool: it does not use the
// product's transport).
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace devsim {

// An IPv4 address and port, both in host byte order.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    bool operator==(const Endpoint &o) const { return address == o.address && port == o.port; }
    bool operator<(const Endpoint &o) const
    {
        return address != o.address ? address < o.address : port < o.port;
    }
    uint64_t Key() const { return (static_cast<uint64_t>(address) << 16) | port; }
};

constexpr uint32_t kBroadcastAddress = 0xffffffffu;

bool ParseIpv4(const std::string &text, uint32_t &address);
std::string Ipv4Text(uint32_t address);
std::string EndpointText(const Endpoint &e); // "10.77.0.1:19009"
sockaddr_in ToSockaddr(const Endpoint &e);
Endpoint FromSockaddr(const sockaddr_in &a);

// Addresses the simulator may ever send to or own: loopback (127.0.0.0/8), the
// sandbox range 10.77.0.0/16 and, for answers by broadcast, 255.255.255.255.
bool IsSandboxAddress(uint32_t address);

// Checks that this network namespace is a sandbox: every IPv4 address of every
// interface lies in 127.0.0.0/8 or 10.77.0.0/16. Returns "" or the reason to refuse.
std::string CheckSandboxNamespace();

// Whether `address` is assigned to an interface of this namespace.
bool IsLocalAddress(uint32_t address);

// The broadcast address of the subnet of `address`, an address of this namespace
// (the last address of its prefix), or 0 when it is not assigned here or its prefix
// is /31 or /32.
uint32_t SubnetBroadcastOf(uint32_t address);

// A non-blocking UDP socket bound to `local`, with IP_PKTINFO on (so the receiver
// learns each datagram's destination and the sender can choose the source address),
// SO_BROADCAST when asked, and a send buffer of about `sendBuffer` bytes (beyond
// net.core.wmem_max only where the namespace grants CAP_NET_ADMIN). -1 and `error`
// on failure.
int OpenUdpSocket(const Endpoint &local, bool broadcast, int sendBuffer, std::string &error);

// The send buffer size the socket really has.
int SendBufferSize(int fd);

// Sends one datagram; `source` != 0 asks for that source address (IP_PKTINFO).
// Returns 0, or the errno of the failure (EAGAIN when the buffer is full).
int SendDatagram(int fd, const Endpoint &to, uint32_t source, const void *data, size_t size);

struct Received {
    Endpoint from;
    uint32_t destination = 0; // the datagram's destination address (0 when unknown)
    size_t size = 0;          // the full length, even if larger than the buffer
    bool truncated = false;
};

// Receives one datagram into buffer; returns false when none is waiting (or on error).
bool ReceiveDatagram(int fd, char *buffer, size_t capacity, Received &info);

} // namespace devsim
