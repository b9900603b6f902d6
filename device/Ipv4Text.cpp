#include "device/Ipv4Text.h"

#include <string>

#include <arpa/inet.h>

bool IsIpv4Text(std::string_view text)
{
    if (text.empty())
        return false;
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

std::optional<uint32_t> Ipv4Value(std::string_view text)
{
    in_addr parsed{};
    if (text.size() > 15 || text.find('\0') != std::string_view::npos ||
        inet_pton(AF_INET, std::string(text).c_str(), &parsed) != 1)
        return std::nullopt;
    return ntohl(parsed.s_addr);
}

bool ParseIpv4(const QString &text, Ipv4 &address)
{
    if (text.size() > 15)
        return false;
    const QByteArray bytes = text.toLatin1();
    const std::optional<uint32_t> value = Ipv4Value(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    if (!value)
        return false;
    address = *value;
    return true;
}

QString Ipv4Text(Ipv4 address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xff)
        .arg((address >> 8) & 0xff)
        .arg(address & 0xff);
}

bool IsContiguousMask(Ipv4 mask)
{
    const Ipv4 inverted = ~mask;
    return (inverted & (inverted + 1)) == 0;
}
