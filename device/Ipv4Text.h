#pragma once
// The address check used before anything is sent to a device or opened in the browser.
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
std::optional<uint32_t> Ipv4Value(std::string_view text);
