#pragma once
// Which program holds a local UDP port, as Linux tells it through /proc: the sockets
// of the network namespace are listed in /proc/self/net/udp and udp6 with their
// inode (an IPv6 socket on [::] holds the IPv4 port too), and a
// process's open sockets appear in /proc/PID/fd as links to "socket:[inode]".
//
// Only the processes of the calling user (or all, for root) show their descriptors,
// so a port held by another user's program is named without its program.
#include <netinet/in.h>

#include <cstdint>
#include <string>

// The holders of local UDP `port` bound to `address` (network byte order) or to the
// wildcard, as "name (pid N)" joined by ", " (at most kMaxNamedHolders of them);
// "a program of another user" when the socket is listed but no visible process has
// it; "" when /proc lists no such socket or cannot be read.
std::string UdpPortHolder(in_addr_t address, uint16_t port);

// Holders named at most: enough to tell the operator what to stop, short enough
// for one line on standard error.
constexpr int kMaxNamedHolders = 4;
