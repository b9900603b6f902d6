#pragma once
// Boxes of a switched LAN (Layout::Switched), each playing one device with
// brenu-devsim and firmware that applies whatever update reaches it, so a request
// that reaches another box than the one it names re-addresses the wrong device; and
// what their logs say. Boxes are stopped and their logs removed with the object.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"

namespace sandbox {

class DevsimBoxes {
public:
    // `devsim`: the simulator's path; `logBase`: the logs' path prefix.
    DevsimBoxes(DeviceNetwork &net, std::string devsim, std::string logBase)
        : m_net(net), m_devsim(std::move(devsim)), m_logBase(std::move(logBase))
    {
    }
    ~DevsimBoxes()
    {
        for (pid_t box : m_pids) {
            kill(box, SIGTERM);
            waitpid(box, nullptr, 0);
        }
        for (const std::string &log : m_logs)
            unlink(log.c_str());
    }
    DevsimBoxes(const DevsimBoxes &) = delete;
    DevsimBoxes &operator=(const DevsimBoxes &) = delete;

    // A box of its own at `address` (/24) playing `serial` with DHCP off; "" once it
    // is ready, else why not.
    std::string Add(const std::string &serial, const std::string &address)
    {
        const int box = m_net.AddBox(address + "/24");
        if (!box)
            return "box " + serial + " could not be made";
        const std::string log = m_logBase + "_" + serial + ".log";
        unlink(log.c_str());
        m_logs.push_back(log);
        const pid_t pid = m_net.SpawnInBox(box, {m_devsim, "--device",
                                                 "serial=" + serial + ",address=" + address + ",dhcp=off", "--link",
                                                 kDeviceLink, "--firmware", "any-serial", "--log", log,
                                                 "--exit-with-parent", "--quiet"});
        if (pid <= 0)
            return "the simulator of " + serial + " did not start";
        m_pids.push_back(pid);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Read(log).find("ready ") == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return "the simulator of " + serial + " did not become ready";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    // How often `what` occurs in all the boxes' logs: "updatecfg.htm" counts the
    // update requests received, "note foreign request" those that named another box.
    long long Count(const std::string &what) const
    {
        long long count = 0;
        for (const std::string &log : m_logs) {
            const std::string text = Read(log);
            for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
                ++count;
        }
        return count;
    }

private:
    static std::string Read(const std::string &path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    DeviceNetwork &m_net;
    const std::string m_devsim, m_logBase;
    std::vector<pid_t> m_pids;
    std::vector<std::string> m_logs;
};

} // namespace sandbox
