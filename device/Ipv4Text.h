#pragma once
// IPv4 addresses as text and as numbers: the address check used before anything is
// sent to a device or opened in the browser, and the one conversion between dotted
// text and a number that the device list, the address rules and batch work share.
#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

// True when the bytes hold only ASCII digits and dots, with exactly three dots.
// The octets themselves are not examined: "300.1.1.1" and "1..2.3" pass, while an
// empty text, "1.2.3", a letter or any byte of 0x80 and above fail.
bool IsIpv4Text(std::string_view text);

// The value of a dotted IPv4 address in the usual form (four decimal octets of 0 to
// 255 without leading zeros, as inet_pton takes it), most significant octet first,
// so that numeric order is address order; nothing for any other text.
// A text holding a NUL byte is not an address.
std::optional<uint32_t> Ipv4Value(std::string_view text);

// IPv4 addresses in host byte order; 0 stands for "none".
using Ipv4 = uint32_t;

// Ipv4Value for a QString: false for anything but strict dotted-quad text.
bool ParseIpv4(const QString &text, Ipv4 &address);
QString Ipv4Text(Ipv4 address);
// A mask whose one bits are contiguous from the top (255.255.255.0, 0.0.0.0, ...).
bool IsContiguousMask(Ipv4 mask);
