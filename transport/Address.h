#pragma once
// Socket addresses and their conversion from and to text.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

// Storage for an IPv4 or IPv6 socket address (28 bytes).
union SockAddr {
    sockaddr addr;
    sockaddr_in v4;
    sockaddr_in6 v6;

    sa_family_t Family() const { return addr.sa_family; }
    // The length the socket calls expect for the stored family.
    socklen_t Length() const { return Family() == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }
    // Port in host order (0 for an unknown family).
    uint16_t Port() const;
    void Clear();
    bool IsZero() const;
};
static_assert(sizeof(SockAddr) == 28, "an IPv6 socket address fills the storage");

// AF_INET for a text of exactly four dot-separated decimal numbers in 0..255,
// AF_INET6 for a text containing ':', AF_UNSPEC for everything else (null, empty,
// host names, malformed numbers).
int GuessAddressFamily(const char *text);

// Converts a numeric address of the family already stored in `address` (IPv6 may
// carry a "%scope" suffix). A non-zero port is stored too. False with errno
// EADDRNOTAVAIL when the family is neither IPv4 nor IPv6, EINVAL when the text is
// no address of that family.
bool ParseAddressLiteral(const char *text, uint16_t port, SockAddr &address);

// An IP literal or a host name. The first IPv4 or IPv6 result of the resolver is
// taken; the port is stored in every case. False with errno ENXIO when the name is
// unknown or has no IPv4/IPv6 address.
bool ResolveAddress(const char *text, uint16_t port, SockAddr &address);

// Writes the address as text into buffer, whose capacity is `length` bytes; `port`
// receives the port in every case. On success `length` becomes the text length + 1.
// When the buffer is too small `length` becomes the size needed at most (16 for
// IPv4, 46 for IPv6) and the result is false.
bool AddressToText(const SockAddr &address, char *buffer, int32_t &length, uint16_t &port);
