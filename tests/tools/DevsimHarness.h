#pragma once
// Test harness for brenu-devsim: the program started in the sandbox's device
// namespace, and the workstation's side (a searcher's sockets, a command peer).
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Net.h"
#include "Sandbox.h"
#include "protocol/Json.h"

namespace devsimtest {

using devsim::Endpoint;

struct Datagram {
    Endpoint from;
    std::string bytes;
    bool viaBroadcastSocket = false;
    int64_t atNs = 0;
};

// The simulator process. Start waits for its ready line; Stop sends SIGTERM and
// returns the log's lines (ready, rx lines, notes, summary).
class DevsimProcess {
public:
    ~DevsimProcess();
    // Starts DEVSIM_PATH with "--log <file> --exit-with-parent" and `args`.
    // Returns "" or why it did not become ready (then exitStatus() says how it ended).
    // `routed`: in the routed devices' namespace (DeviceNetwork::AddRoutedSubnet).
    std::string Start(const sandbox::DeviceNetwork &net, const std::vector<std::string> &args, bool routed = false);
    std::vector<std::string> Stop();
    std::vector<std::string> LogLines() const;
    int exitStatus() const { return m_exitStatus; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_exitStatus = -1;
    std::string m_logPath;
};

// A searcher's sockets on the workstation side: one bound to 10.77.0.1:19009 (sends
// the search, receives unicast answers) and a receive-only one bound to
// 255.255.255.255:19009 on brw0 (answers by broadcast).
class Workstation {
public:
    ~Workstation();
    std::string Open(const char *address = sandbox::kWorkstationAddress, uint16_t port = 19009);
    bool Send(const std::string &bytes, const char *to = "255.255.255.255", uint16_t port = 19010);
    bool SendSearch();
    // Receives until `count` datagrams arrived or `timeoutMs` passed.
    std::vector<Datagram> Collect(size_t count, int timeoutMs);

private:
    int m_unicast = -1;
    int m_broadcast = -1;
};

// A UDP socket connected to a device's command address and port, like the tool's
// command client (it starts with an empty keep-alive datagram).
class CommandPeer {
public:
    ~CommandPeer();
    std::string Connect(const char *address, uint16_t port);
    bool Send(const std::string &bytes);
    // The next datagram within `timeoutMs`, or false.
    bool Receive(Datagram &d, int timeoutMs);
    Endpoint local() const;

private:
    int m_fd = -1;
};

// The 99-byte search request.
std::string SearchFrame();
// A command frame: "api" and data[0] members given as JSON text, e.g. "\"serialNo\":\"SN1\"".
std::string CommandFrame(const std::string &api, const std::string &members);
// Parses a datagram that must hold exactly one frame; false otherwise.
bool ParseOneFrame(const std::string &datagram, Vant::CProtocalJson &json);
// The value of "key=" in a summary or ready line, or -1.
long long Field(const std::string &line, const std::string &key);
// The first log line starting with `prefix`, or "".
std::string FindLine(const std::vector<std::string> &lines, const std::string &prefix);

} // namespace devsimtest
