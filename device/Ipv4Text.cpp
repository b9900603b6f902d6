#include "device/Ipv4Text.h"

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
