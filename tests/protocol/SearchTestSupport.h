#pragma once
// Helpers of the search and command client tests: device-side UDP sockets in the
// sandbox's device namespace, device messages, a callback collector, the logger in a
// temporary directory, and the device simulator.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Sandbox.h"
#include "SandboxFixture.h"

namespace searchtest {

using Clock = std::chrono::steady_clock;

// Waits until `done` answers true or `timeoutMs` has passed; the last answer of `done`.
bool WaitUntil(const std::function<bool()> &done, int timeoutMs);

struct Datagram {
    std::string bytes;
    std::string from;     // sender address
    uint16_t fromPort = 0;
    std::string to;       // destination address (255.255.255.255 for a broadcast)
    Clock::time_point at;
};

// A UDP socket created in the device namespace, bound to ip:port, allowed to
// broadcast, reporting the destination of what it receives.
class DeviceSocket {
public:
    DeviceSocket(const sandbox::DeviceNetwork &net, const std::string &ip, uint16_t port);
    ~DeviceSocket();
    DeviceSocket(const DeviceSocket &) = delete;
    DeviceSocket &operator=(const DeviceSocket &) = delete;

    bool ok() const { return m_fd >= 0; }
    const std::string &error() const { return m_error; }
    bool SendTo(const std::string &ip, uint16_t port, const std::string &bytes) const;
    // False when nothing arrived within timeoutMs.
    bool Receive(Datagram &datagram, int timeoutMs) const;

private:
    int m_fd = -1;
    std::string m_error;
};

// The JSON body of a search answer of device `serial` (pretty-printed, with blanks,
// so that its compact rewrite differs from it).
std::string SearchAnswerBody(const std::string &serial, const std::string &api = "/brenu/model/searchbrenu.htm");
// The body of a command answer: data[0] holds "serialNo" and "result".
std::string CommandAnswerBody(const std::string &serial, bool result);
// A framed search answer.
std::string SearchAnswerFrame(const std::string &serial, const std::string &api = "/brenu/model/searchbrenu.htm");
// The compact text a receiver makes of a body.
std::string Compact(const std::string &body);
// data[0]."serialNo" of a JSON text.
std::string SerialOf(const std::string &text);

// Collects the texts handed to a UdpMsgCallBack (pass the collector as the user).
class Collector {
public:
    static void Callback(const char *text, int length, void *user);
    std::vector<std::string> Texts() const;
    size_t Count() const;
    bool WaitForCount(size_t count, int timeoutMs) const;

    // Called inside every callback, on the socket thread (for extra checks).
    std::function<void(const std::string &)> onText;

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_texts;
};

// The logger of the test process, writing into a temporary directory (set up once
// per process, writing on, no prefix).
std::string TestLogDirectory();
// Every line of every day's "<context>.log" in the test log directory.
std::vector<std::string> LogLines(const std::string &context);
// Lines of "<context>.log" that contain `marker`.
size_t CountLogLines(const std::string &context, const std::string &marker);

// The device simulator built beside the test program.
std::string SimulatorPath();

// A brenu-devsim process in the device namespace, logging to a temporary file.
class Simulator {
public:
    Simulator(const sandbox::DeviceNetwork &net, std::vector<std::string> options);
    // Ends the process (SIGTERM) if it still runs.
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Waits for its ready line; false (with the log) when it did not come.
    bool WaitReady(int timeoutMs, std::string &why) const;
    // Ends it and returns its summary line ("" when there was none).
    std::string Finish();
    std::string Log() const;

private:
    pid_t m_pid = -1;
    std::string m_logPath;
};

// The value of key=... in a summary line, or -1.
long long SummaryValue(const std::string &summary, const std::string &key);

// A sandbox test whose searchers log into the test log directory.
class SearchSandboxTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (HasFatalFailure())
            return;
        TestLogDirectory();
    }
};

} // namespace searchtest
