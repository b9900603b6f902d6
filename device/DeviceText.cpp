#include "device/DeviceText.h"

#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// One GB18030 decoder per thread: an iconv descriptor keeps state between calls and
// must not be shared. Answers are read on each searcher's socket thread, so every
// such thread opens its own once and keeps it until it ends.
class Gb18030Decoder {
public:
    Gb18030Decoder()
        : m_cd(iconv_open(QSysInfo::ByteOrder == QSysInfo::LittleEndian ? "UTF-16LE" : "UTF-16BE", "GB18030"))
    {
    }
    ~Gb18030Decoder()
    {
        if (Usable())
            iconv_close(m_cd);
    }
    Gb18030Decoder(const Gb18030Decoder &) = delete;
    Gb18030Decoder &operator=(const Gb18030Decoder &) = delete;

    bool Usable() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Decodes into `out`, which has room for `size` UTF-16 units: no GB18030
    // character takes more units than bytes, and a mark stands for one byte.
    int Decode(const char *bytes, std::size_t size, char16_t *out)
    {
        char *in = const_cast<char *>(bytes);
        std::size_t inLeft = size;
        char *to = reinterpret_cast<char *>(out);
        std::size_t toLeft = size * sizeof(char16_t);
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        while (inLeft > 0) {
            if (iconv(m_cd, &in, &inLeft, &to, &toLeft) != static_cast<std::size_t>(-1))
                break;
            // A byte that starts no character (EILSEQ), or a character cut short at the
            // end (EINVAL): a mark for its first byte, and on with the next.
            if ((errno != EILSEQ && errno != EINVAL) || toLeft < sizeof(char16_t))
                break;
            const char16_t mark = kReplacement;
            std::memcpy(to, &mark, sizeof mark);
            to += sizeof mark;
            toLeft -= sizeof mark;
            ++in;
            --inLeft;
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        return static_cast<int>((size * sizeof(char16_t) - toLeft) / sizeof(char16_t));
    }

private:
    iconv_t m_cd;
};

QString Gb18030Text(const char *bytes, std::size_t size)
{
    QString text(static_cast<int>(size), Qt::Uninitialized);
    auto *out = reinterpret_cast<char16_t *>(text.data());
    thread_local Gb18030Decoder decoder;
    int units = 0;
    if (decoder.Usable()) {
        units = decoder.Decode(bytes, size, out);
    } else {
        // Without the converter (a system missing glibc's converter modules) a text
        // still shows: its ASCII as is, every other byte as a mark.
        for (std::size_t i = 0; i < size; ++i)
            out[units++] = static_cast<unsigned char>(bytes[i]) < 0x80 ? char16_t(bytes[i]) : kReplacement;
    }
    text.truncate(units);
    return text;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

} // namespace

bool IsUtf8(const char *bytes, std::size_t size)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    const unsigned char *end = p + size;
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF; // the allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            else if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90; // overlong
            else if (lead == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < length || p[1] < low || p[1] > high)
            return false;
        for (std::size_t i = 2; i < length; ++i)
            if (!IsContinuation(p[i]))
                return false;
        p += length;
    }
    return true;
}

QString ShownText(const char *bytes, std::size_t size, bool *utf8)
{
    const bool valid = IsUtf8(bytes, size);
    if (utf8)
        *utf8 = valid;
    return valid ? QString::fromUtf8(bytes, static_cast<int>(size)) : Gb18030Text(bytes, size);
}

std::size_t TextCut(const char *bytes, std::size_t size, std::size_t bound)
{
    if (size <= bound)
        return size;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    // UTF-8: back from the bound to the first byte of the character it falls in.
    std::size_t start = bound;
    while (start > 0 && bound - start < 3 && IsContinuation(p[start]))
        --start;
    if (IsUtf8(bytes, start))
        return start;
    // GB18030: whole characters from the start; a lead byte followed by a digit
    // begins a four-byte character, by anything else a two-byte one.
    std::size_t kept = 0;
    while (kept < bound) {
        std::size_t length = 1;
        if (p[kept] >= 0x80)
            length = kept + 1 < size && p[kept + 1] >= 0x30 && p[kept + 1] <= 0x39 ? 4 : 2;
        if (kept + length > bound)
            break;
        kept += length;
    }
    return kept;
}
