#pragma once
// Interface changes on the workstation side of the sandbox, shared by the tests and
// benchmarks of a search that follows the machine's addresses. Run inside the
// workstation namespace (SandboxTest, or a benchmark after EnterPrivateNetwork).
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "protocol/LocalAddresses.h"

namespace sandbox {

// Runs `ip` with the arguments; true when it succeeded.
inline bool Ip(const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{"ip"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunCommand(command) == 0;
}

// The host address 10.77.0.1/24 on a bridge "brx" whose one port is the sandbox link,
// as a re-activated bridge or VLAN would carry it; true once the search would search
// it (up and with its link, a moment after its port joined), within two seconds.
inline bool MakeHostBridge()
{
    if (!Ip({"link", "add", "brx", "type", "bridge"}) || !Ip({"link", "set", kWorkstationLink, "master", "brx"}) ||
        !Ip({"addr", "add", "10.77.0.1/24", "dev", "brx"}) || !Ip({"link", "set", "brx", "up"}))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do {
        std::vector<InterfaceAddress> found;
        int error = 0;
        ReadInterfaceAddresses(found, SystemInterfaceList(), error);
        for (const InterfaceAddress &address : found)
            if (address.device == "brx" && !UnsearchedReason(address))
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

} // namespace sandbox
