#pragma once
// Linux UDP socket calls used by the two sockets. Every socket is non-blocking and
// close-on-exec. Failures return -1 or false and leave the reason in errno.
#include <cstdint>
#include <string>

#include "transport/Address.h"

// A non-blocking datagram socket of the family, protocol UDP.
int OpenUdpSocket(int family);
// Shuts down the sending direction, closes the socket and sets fd to -1.
void CloseUdpSocket(int &fd);
void SetSocketFlag(int fd, int level, int option, int value);

struct ReceiveResult {
    int64_t length = -1; // the datagram's full length, even when it did not fit
    int error = 0;       // errno when length < 0
    bool truncated = false; // longer than the buffer: the buffer holds only its start
};
// Receives one datagram. The full length is reported (MSG_TRUNC), so a datagram
// longer than the buffer is recognised instead of being cut silently. `from` may be null.
ReceiveResult ReceiveDatagram(int fd, uint8_t *buffer, int32_t capacity, SockAddr *from);

// Name of the interface that carries the IPv4 address; false with errno
// EADDRNOTAVAIL when no interface has it.
bool InterfaceOfAddress(const SockAddr &address, std::string &name);

// A receive-only socket for datagrams broadcast to `port` on one interface: bound to
// 255.255.255.255:port with SO_REUSEADDR and SO_BINDTODEVICE. Returns -1 with errno.
int OpenBroadcastReceiver(const std::string &interfaceName, uint16_t port);

// A receive-only socket for datagrams sent to a multicast group: bound to
// group:port with SO_REUSEADDR (it joins the group later, see JoinGroup). Returns -1
// with errno.
int OpenGroupReceiver(const SockAddr &group, uint16_t port);

// Joins the group on the interface of `local` (IPv4: its address; IPv6: its scope id).
bool JoinGroup(int fd, const SockAddr &group, const SockAddr &local);
