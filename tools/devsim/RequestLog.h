#pragma once
// The simulator's record of what it received: one line per datagram, flushed at once,
// so that tests can check requests byte for byte while the simulator runs.
//
//   rx from=10.77.0.1:19009 to=255.255.255.255:19010 len=99 data=KTRW0001...
//
// "data" is the datagram escaped (bytes 0x20..0x7E as they are except "\", which is
// written "\\"; every other byte as "\xHH", upper-case hex) or, with --log-hex, all
// bytes as lower-case hex pairs. A datagram larger than the receive buffer shows
// its full length in "len" and "truncated" after it. The ready line, notes and the
// summary are written to the same file.
#include <cstdio>
#include <string>

namespace devsim {

std::string EscapeBytes(const char *data, size_t size);
std::string HexBytes(const char *data, size_t size);

// Inverse of EscapeBytes; returns false on a malformed escape.
bool UnescapeBytes(const std::string &text, std::string &bytes);

class RequestLog {
public:
    RequestLog() = default;
    ~RequestLog();
    RequestLog(const RequestLog &) = delete;
    RequestLog &operator=(const RequestLog &) = delete;

    // path "" = no file, "-" = standard output. Returns false when the file cannot be opened.
    bool Open(const std::string &path, bool hex);

    void Datagram(const std::string &from, const std::string &to, const char *data, size_t stored, size_t size);
    // A whole line (ready, note, summary), written here and, unless the log already
    // is standard output, also to standard output when `alsoStdout`.
    void Line(const std::string &line, bool alsoStdout);

private:
    FILE *m_file = nullptr;
    bool m_ownsFile = false;
    bool m_hex = false;
};

} // namespace devsim
