#pragma once
// Linux side of a socket worker's event wait: auto-reset signals made of eventfds,
// and one poll() over the socket descriptor(s) and the two signals.
#include <poll.h>

#include <cstdint>

// An auto-reset event: Set makes it signalled, the waiter clears it with Consume.
class EventSignal {
public:
    EventSignal();
    ~EventSignal();
    EventSignal(const EventSignal &) = delete;
    EventSignal &operator=(const EventSignal &) = delete;

    // Creates the descriptor if it does not exist yet; false with errno on failure.
    bool Open();
    bool IsOpen() const { return m_fd >= 0; }
    void Set();
    // Clears the signal; true when it was set.
    bool Consume();
    int Descriptor() const { return m_fd; }

private:
    int m_fd = -1;
};

// Sockets one wait can watch: a cast socket's bound socket and its receive-only
// companions (CUdpCast::kMaxCompanions: one for 255.255.255.255 and up to four
// subnet broadcast addresses of the bound address's prefixes).
constexpr int kMaxWaitSockets = 6;

// What one wait reported.
struct WaitResult {
    enum class Kind { Ready, Timeout, Failed };
    Kind kind = Kind::Failed;
    int error = 0;                // errno of a failed wait
    short socketEvents[kMaxWaitSockets] = {}; // revents of each watched socket
    bool send = false;            // the send signal is set
    bool stop = false;            // the stop signal is set
};

// Waits for the sockets (at most kMaxWaitSockets; a negative descriptor is left
// out), the send signal and the stop signal. The sockets are
// watched for readability only when `watchSockets` is set, and the first one also
// for writability when `wantWritable` is set (only while a send waits after a
// would-block, so that writability acts like an edge). A negative timeout waits
// without limit. A wait interrupted by a signal handler returns Ready with nothing set.
WaitResult WaitForEvents(const int *sockets, int socketCount, bool watchSockets, bool wantWritable,
                         EventSignal &sendSignal, EventSignal &stopSignal, int timeoutMs);
