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
    if (text.size() > 15 || inet_pton(AF_INET, std::string(text).c_str(), &parsed) != 1)
        return std::nullopt;
    return ntohl(parsed.s_addr);
}
