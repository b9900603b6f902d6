#pragma once
// The address check used before anything is sent to a device or opened in the browser.
#include <string_view>

// True when the bytes hold only ASCII digits and dots, with exactly three dots.
// The octets themselves are not examined: "300.1.1.1" and "1..2.3" pass, while an
// empty text, "1.2.3", a letter or any byte of 0x80 and above fail.
bool IsIpv4Text(std::string_view text);
