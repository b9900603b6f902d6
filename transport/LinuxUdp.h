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

// Gives `to` the kernel receive buffer (SO_RCVBUF) that `from` has. Linux reports
// twice the size that was asked for (the extra half pays for its bookkeeping), so
// half of the reported size is asked for, and `to` then reports the same size.
// SO_RCVBUFFORCE, open only to privileged processes, is tried first so that a buffer
// above net.core.rmem_max is matched too; SO_RCVBUF is capped there just as the
// request that sized `from` was. False with errno when the size could not be read or
// set; `to` then keeps the buffer it had.
bool CopyReceiveBufferSize(int from, int to);

// The interface that carries an IPv4 address, as its broadcast receivers need it.
struct AddressInterface {
    std::string device;      // the interface itself, never an address label
    in_addr_t broadcast = 0; // the subnet's broadcast address (network byte order), 0: none
};
// Finds the interface of the IPv4 address. False with errno EADDRNOTAVAIL when no
// interface has it, ENODEV when the interface it is listed under does not exist.
bool InterfaceOfAddress(const SockAddr &address, AddressInterface &found);

// A receive-only socket for datagrams broadcast to `port` on one interface: bound to
// broadcast:port (255.255.255.255 or the subnet's broadcast address, network byte
// order) with SO_REUSEADDR and SO_BINDTODEVICE. Returns -1 with errno.
int OpenBroadcastReceiver(const std::string &device, in_addr_t broadcast, uint16_t port);

// Makes `fd` reach its peer on-link through interface `device`, whatever the routing
// table says: SO_BINDTODEVICE (allowed without privilege on a socket not yet bound to
// a device, since Linux 5.7) gives every lookup that output interface, and
// SO_DONTROUTE (MSG_DONTROUTE for every send) keeps it off gateway routes. A peer
// with no route at all, or only one through a gateway, is then taken as a neighbour
// on that link and resolved by ARP. Call before connect. False with errno.
bool SetOnLinkInterface(int fd, const std::string &device);

// A receive-only socket for datagrams sent to a multicast group: bound to
// group:port with SO_REUSEADDR (it joins the group later, see JoinGroup). Returns -1
// with errno.
int OpenGroupReceiver(const SockAddr &group, uint16_t port);

// Joins the group on the interface of `local` (IPv4: its address; IPv6: its scope id).
bool JoinGroup(int fd, const SockAddr &group, const SockAddr &local);
