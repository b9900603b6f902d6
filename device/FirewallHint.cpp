#include "device/FirewallHint.h"

#include <algorithm>

std::vector<std::string> SilentLinks(const std::vector<std::string> &searched,
                                     const std::map<std::string, uint64_t> &answers)
{
    std::vector<std::string> silent;
    for (const std::string &link : searched) {
        const auto heard = answers.find(link);
        if ((heard == answers.end() || heard->second == 0) &&
            std::find(silent.begin(), silent.end(), link) == silent.end())
            silent.push_back(link);
    }
    return silent;
}

std::string FirewallFixText()
{
    return "sudo ufw allow brenu-search-tools; or sudo firewall-cmd --permanent --add-service=brenu-search-tools "
           "&& sudo firewall-cmd --reload; or, with nftables, add \"udp dport 19009 accept\" to the input chain";
}

std::string FirewallHintLine(const std::vector<std::string> &silentLinks, uint64_t dropped)
{
    std::string links;
    for (const std::string &link : silentLinks)
        links += (links.empty() ? "" : ", ") + link;
    return "no answer on " + links + " while this machine's firewall dropped " + std::to_string(dropped) +
           " incoming packet(s): it probably blocks the devices' answers to UDP port 19009; open it: " +
           FirewallFixText();
}
