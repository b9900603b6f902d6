#pragma once
// The simulator: N devices behind one poll loop. The search socket (wildcard address,
// port 19010) hears search requests; one socket per distinct device address and
// command port hears commands. Answers are scheduled in the Outbox (jitter, split
// halves) and sent when due; search answers leave the search socket with the
// device's own address as source (IP_PKTINFO), command answers leave the command
// socket that heard the request.
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include "kit/KeyedHash.h"
#include <vector>

#include "Device.h"
#include "Link.h"
#include "Messages.h"
#include "Net.h"
#include "Options.h"
#include "Outbox.h"
#include "RequestLog.h"
#include "Stats.h"

namespace devsim {

class Simulator {
public:
    Simulator(Options options, std::vector<DeviceConfig> devices);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Opens the log and the sockets; false (and `error`) when something is refused.
    bool Open(std::string &error);

    // Runs until SIGTERM or SIGINT (or the parent's end with --exit-with-parent);
    // returns the exit status.
    int Run();

    const Stats &stats() const { return m_stats; }

private:
    struct Device {
        DeviceConfig config;
        DeviceSettings current;        // as announced now (updates change it)
        size_t socket = 0;             // index of its command socket
        int64_t silentUntilNs = 0;     // rebooting until then
        std::vector<std::string> searchDatagrams; // cached answer, rebuilt after an update
        kit::KeyedSet<uint64_t> answered;    // searchers answered (--answer-once)
    };
    struct Socket {
        int fd = -1;
        Endpoint local;
        bool search = false;
        bool waitWritable = false;
        std::vector<size_t> devices; // devices listening here (command sockets)
    };

    bool OpenSocket(const Endpoint &local, bool search, size_t &index, std::string &error);
    void ReadSocket(size_t index);
    void HandleDatagram(size_t index, const Received &info, const char *data, size_t stored);
    // A search from `from` sent to `destination` (0: not known). A search sent by
    // unicast to an address some devices hold reaches only them, as a real device
    // receives only what is sent to its own address; any other search reaches all.
    void HandleSearch(const Endpoint &from, uint32_t destination, const Request &request);
    void HandleCommand(size_t socket, const Endpoint &from, const Request &request);
    void ApplyUpdate(Device &device, const Request &request);
    void MoveDevice(size_t deviceIndex, const std::string &newAddress);
    void MoveOnLink(size_t deviceIndex, const std::string &newAddress);
    void MoveDue();
    const std::vector<std::string> &SearchDatagrams(Device &device);
    void Schedule(int fd, uint32_t source, const Endpoint &to, const std::vector<std::string> &datagrams,
                  int64_t dueNs, AnswerKind kind);
    int64_t JitterNs();
    void SendDue();
    void Drain(Socket &socket);
    void Note(const std::string &text);

    Options m_options;
    std::vector<Device> m_devices;
    std::vector<Socket> m_sockets; // [0] is the search socket
    std::map<Endpoint, size_t> m_socketByEndpoint;
    std::map<std::pair<size_t, uint64_t>, RequestReader> m_readers; // per socket and sender
    Outbox m_outbox;
    RequestLog m_log;
    Stats m_stats;
    std::mt19937 m_random;
    int m_signalFd = -1;
    // --link: the link the one device owns, and the moves to its new address, made
    // once its answer to the update has left from the old one.
    LinkInfo m_link;
    struct PendingMove {
        size_t device;
        std::string address;
        int64_t dueNs;
    };
    std::vector<PendingMove> m_pendingMoves;
    std::vector<char> m_receiveBuffer;
};

} // namespace devsim
