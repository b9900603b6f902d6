#include "RequestLog.h"

namespace devsim {

std::string EscapeBytes(const char *data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size + size / 4);
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string HexBytes(const char *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool UnescapeBytes(const std::string &text, std::string &bytes)
{
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' || hex(text[i + 2]) < 0 || hex(text[i + 3]) < 0)
            return false;
        bytes += static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3]));
        i += 3;
    }
    return true;
}

RequestLog::~RequestLog()
{
    if (m_ownsFile && m_file)
        std::fclose(m_file);
}

bool RequestLog::Open(const std::string &path, bool hex)
{
    m_hex = hex;
    if (path.empty())
        return true;
    if (path == "-") {
        m_file = stdout;
        return true;
    }
    m_file = std::fopen(path.c_str(), "w");
    m_ownsFile = m_file != nullptr;
    return m_file != nullptr;
}

void RequestLog::Datagram(const std::string &from, const std::string &to, const char *data, size_t stored,
                          size_t size)
{
    if (!m_file)
        return;
    std::string line = "rx from=" + from + " to=" + to + " len=" + std::to_string(size);
    if (stored < size)
        line += " truncated";
    line += " data=";
    line += m_hex ? HexBytes(data, stored) : EscapeBytes(data, stored);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
}

void RequestLog::Line(const std::string &line, bool alsoStdout)
{
    if (m_file) {
        std::fprintf(m_file, "%s\n", line.c_str());
        std::fflush(m_file);
    }
    if (alsoStdout && m_file != stdout) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

} // namespace devsim
