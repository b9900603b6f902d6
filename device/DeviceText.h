#pragma once
// The texts a device sends, as bytes and as shown.
//
// Devices hold their texts in whatever bytes the tool that configured them wrote:
// UTF-8, or the local 8-bit code page of a Chinese Windows workstation (GBK, read
// here as its superset GB18030). A text is shown as UTF-8 when its bytes are valid
// UTF-8, else decoded as GB18030; bytes neither decodes are shown as U+FFFD marks.
// The bytes themselves are what goes back to the device wherever the operator did
// not change the text, so a description written by another tool survives any change
// of the device's addresses.
//
// Decoding uses glibc's iconv (GB18030 is a module of glibc's own converters,
// installed with libc6): Qt 5's QTextCodec is gone from Qt 6's core library, and the
// compatibility module that keeps it is not used by this program.
#include <QByteArray>
#include <QString>

#include <cstddef>

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
bool IsUtf8(const char *bytes, std::size_t size);

// The text shown for a device's bytes: UTF-8 when valid, else GB18030, with U+FFFD
// for each byte neither decodes. Never fails. *utf8 (when given) tells which way the
// bytes were read.
QString ShownText(const char *bytes, std::size_t size, bool *utf8 = nullptr);
inline QString ShownText(const QByteArray &bytes)
{
    return ShownText(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// How many of the first `size` bytes to keep so that at most `bound` are kept and
// the cut falls between two characters: of UTF-8 when the kept part reads as UTF-8,
// else of GB18030 (one, two or four bytes a character, as a lead byte and the one
// after it say; bytes that are neither are walked the same way).
std::size_t TextCut(const char *bytes, std::size_t size, std::size_t bound);
