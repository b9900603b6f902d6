#include "kit/UnsafeText.h"

#include <cstdio>

namespace Vant {

namespace {

// Decodes the UTF-8 sequence of two or three bytes at text[i]; the length is 0 when
// the bytes there are not such a sequence (ASCII, four-byte sequences and invalid
// bytes are never unsafe beyond ASCII's C0 and DEL, which JSON writers escape).
char32_t DecodeTwoOrThree(std::string_view text, std::size_t i, std::size_t &length) noexcept
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const auto continuation = [&](std::size_t k) { return k < text.size() && (byte(k) & 0xc0) == 0x80; };
    length = 0;
    const unsigned char lead = byte(i);
    if (lead >= 0xc2 && lead <= 0xdf && continuation(i + 1)) {
        length = 2;
        return (char32_t(lead & 0x1f) << 6) | (byte(i + 1) & 0x3f);
    }
    if (lead >= 0xe0 && lead <= 0xef && continuation(i + 1) && continuation(i + 2)) {
        const char32_t c = (char32_t(lead & 0x0f) << 12) | (char32_t(byte(i + 1) & 0x3f) << 6) | (byte(i + 2) & 0x3f);
        if (c < 0x800 || (c >= 0xd800 && c <= 0xdfff))
            return 0; // overlong or surrogate: not a character
        length = 3;
        return c;
    }
    return 0;
}

} // namespace

std::string EscapeUnsafeInJson(std::string_view json)
{
    std::string out;
    out.reserve(json.size());
    std::size_t copied = 0;
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (static_cast<unsigned char>(json[i]) < 0xc2)
            continue;
        std::size_t length = 0;
        const char32_t c = DecodeTwoOrThree(json, i, length);
        if (length == 0 || !IsUnsafeCodePoint(c))
            continue;
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
        out.append(json, copied, i - copied);
        out += escape;
        i += length - 1;
        copied = i + 1;
    }
    out.append(json, copied, std::string_view::npos);
    return out;
}

} // namespace Vant
