#include "DevsimHarness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "Stats.h"
#include "protocol/Frame.h"

namespace devsimtest {
namespace {

std::string Errno(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool ReceiveOne(int fd, Datagram &d)
{
    char buffer[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0)
        return false;
    d.from = devsim::FromSockaddr(from);
    d.bytes.assign(buffer, static_cast<size_t>(n));
    d.atNs = devsim::MonotonicNs();
    return true;
}

} // namespace

DevsimProcess::~DevsimProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (!m_logPath.empty())
        unlink(m_logPath.c_str());
}

std::string DevsimProcess::Start(const sandbox::DeviceNetwork &net, const std::vector<std::string> &args, bool routed)
{
    static std::atomic<int> counter{0};
    m_logPath = ::testing::TempDir() + "devsim_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".log";
    unlink(m_logPath.c_str());
    std::vector<std::string> argv = {DEVSIM_PATH, "--log", m_logPath, "--exit-with-parent"};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = routed ? net.SpawnInRouted(argv) : net.SpawnInDevice(argv);
    if (m_pid <= 0)
        return "could not spawn " DEVSIM_PATH;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!FindLine(LogLines(), "ready ").empty())
            return {};
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return "the simulator ended with status " + std::to_string(m_exitStatus) + " before it was ready";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return "the simulator did not become ready";
}

std::vector<std::string> DevsimProcess::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_pid = -1;
    }
    return LogLines();
}

std::vector<std::string> DevsimProcess::LogLines() const
{
    std::vector<std::string> lines;
    std::ifstream in(m_logPath);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

Workstation::~Workstation()
{
    if (m_unicast >= 0)
        close(m_unicast);
    if (m_broadcast >= 0)
        close(m_broadcast);
}

std::string Workstation::Open(const char *address, uint16_t port)
{
    int on = 1;
    m_unicast = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_unicast < 0 || setsockopt(m_unicast, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(m_unicast, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return Errno("unicast socket");
    sockaddr_in local = sandbox::Ipv4(address, port);
    if (bind(m_unicast, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        return Errno("bind unicast");
    m_broadcast = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_broadcast < 0 || setsockopt(m_broadcast, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(m_broadcast, SOL_SOCKET, SO_BINDTODEVICE, sandbox::kWorkstationLink,
                   static_cast<socklen_t>(std::strlen(sandbox::kWorkstationLink))) != 0)
        return Errno("broadcast socket");
    sockaddr_in all = sandbox::Ipv4("255.255.255.255", port);
    if (bind(m_broadcast, reinterpret_cast<sockaddr *>(&all), sizeof all) != 0)
        return Errno("bind broadcast");
    return {};
}

bool Workstation::Send(const std::string &bytes, const char *to, uint16_t port)
{
    sockaddr_in dest = sandbox::Ipv4(to, port);
    return sendto(m_unicast, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&dest), sizeof dest) ==
           static_cast<ssize_t>(bytes.size());
}

bool Workstation::SendSearch()
{
    return Send(SearchFrame());
}

std::vector<Datagram> Workstation::Collect(size_t count, int timeoutMs)
{
    std::vector<Datagram> got;
    int64_t deadline = devsim::MonotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    while (got.size() < count) {
        int64_t left = (deadline - devsim::MonotonicNs()) / 1000000;
        if (left < 0)
            break;
        pollfd p[2] = {{m_unicast, POLLIN, 0}, {m_broadcast, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left) + 1) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            Datagram d;
            while ((p[i].revents & POLLIN) && ReceiveOne(p[i].fd, d)) {
                d.viaBroadcastSocket = i == 1;
                got.push_back(d);
            }
        }
    }
    return got;
}

CommandPeer::~CommandPeer()
{
    if (m_fd >= 0)
        close(m_fd);
}

std::string CommandPeer::Connect(const char *address, uint16_t port)
{
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer = sandbox::Ipv4(address, port);
    if (m_fd < 0 || connect(m_fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0)
        return Errno("command socket");
    if (send(m_fd, "", 0, 0) != 0)
        return Errno("keep-alive");
    return {};
}

bool CommandPeer::Send(const std::string &bytes)
{
    return send(m_fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
}

bool CommandPeer::Receive(Datagram &d, int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return false;
    return ReceiveOne(m_fd, d);
}

Endpoint CommandPeer::local() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
    return devsim::FromSockaddr(a);
}

std::string SearchFrame()
{
    return BuildFrame("{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/searchbrenu.htm\"}");
}

std::string CommandFrame(const std::string &api, const std::string &members)
{
    return BuildFrame("{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"" + api +
                      "\",\"params\":{\"data\":[{" + members + "}]}}");
}

bool ParseOneFrame(const std::string &datagram, Vant::CProtocalJson &json)
{
    if (datagram.size() < 24 || datagram.compare(0, 8, "KTRW0001") != 0)
        return false;
    long length = std::atol(datagram.substr(8, 16).c_str());
    if (length <= 0 || datagram.size() != static_cast<size_t>(length) + 24)
        return false;
    return json.Parse(datagram.substr(24));
}

long long Field(const std::string &line, const std::string &key)
{
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return -1;
    return std::atoll(line.c_str() + at + key.size() + 2);
}

std::string FindLine(const std::vector<std::string> &lines, const std::string &prefix)
{
    for (const std::string &line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line;
    return {};
}

} // namespace devsimtest
