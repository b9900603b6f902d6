#pragma once
// Which characters of untrusted text (device descriptions, serial numbers, any
// string a device sends) must never reach a terminal, a log line, a table cell or a
// script's input raw, and the one way of escaping them in JSON text.
//
// Unsafe are the code points that change how the text around them is shown or read:
//  - the C0 controls U+0000-U+001F and DEL U+007F (ESC starts terminal sequences,
//    CR and LF make one record look like two);
//  - the C1 controls U+0080-U+009F (U+009B is a one-byte CSI to some terminals);
//  - the line and paragraph separators U+2028, U+2029 (line breaks to editors and
//    to JavaScript before ES2019);
//  - the bidirectional controls U+061C, U+200E, U+200F, U+202A-U+202E and
//    U+2066-U+2069 (U+202E turns "gpj.exe" into what reads as "exe.jpg").
//
// Every caller chooses its own replacement (a visible mark in a cell, "\uXXXX" in
// JSON); the classification lives only here.
#include <string>
#include <string_view>

namespace Vant {

constexpr bool IsUnsafeCodePoint(char32_t c) noexcept
{
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029 || c == 0x061c || c == 0x200e ||
           c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Serialised JSON text with every unsafe code point that is not ASCII written as a
// "\uXXXX" escape. JSON writers already escape the C0 controls; the other unsafe code
// points are valid UTF-8 that they pass on, and outside strings JSON text holds only
// ASCII, so each one found lies in a string and its escape means the same character.
// Text that is not valid UTF-8 is returned with its invalid bytes unchanged.
std::string EscapeUnsafeInJson(std::string_view json);

} // namespace Vant
