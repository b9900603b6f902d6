#pragma once
// Datagrams waiting for their send time, and datagrams held back because a socket's
// send buffer was full. The simulator's poll loop sleeps until the next one is due.
#include <cerrno>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Net.h"

namespace devsim {

// What an outgoing datagram completes, for the summary.
enum class AnswerKind { None, SearchUnicast, SearchBroadcast, Update, Reboot, KeepAlive, Count };

struct Outgoing {
    int64_t dueNs = 0;    // CLOCK_MONOTONIC
    int fd = -1;
    uint32_t source = 0;  // source address chosen with IP_PKTINFO, 0 = the socket's own
    Endpoint to;
    std::string bytes;
    AnswerKind completes = AnswerKind::None; // set on the last datagram of an answer
};

class Outbox {
public:
    void Schedule(Outgoing datagram);

    // Nanoseconds until the next scheduled datagram is due (0 if one is due, -1 if none).
    int64_t NextDelay(int64_t nowNs) const;

    // Moves every datagram due at `nowNs` into its socket's send queue, in due order
    // (equal times keep the order of scheduling).
    void ReleaseDue(int64_t nowNs);

    // Sockets with datagrams ready to go.
    std::vector<int> ReadySockets() const;

    // Sends what the socket's queue holds until the buffer is full. Calls
    // sent(datagram) for each datagram handed to the kernel and failed(datagram, errno)
    // for each refused one. Returns true when the queue is empty afterwards (false:
    // wait for POLLOUT).
    template <typename Sent, typename Failed>
    bool Drain(int fd, Sent sent, Failed failed);

    size_t Pending() const { return m_timed.size() + m_queuedCount; }

private:
    // Timed datagrams ordered by (due time, order of scheduling).
    std::map<std::pair<int64_t, uint64_t>, Outgoing> m_timed;
    uint64_t m_sequence = 0;
    std::map<int, std::deque<Outgoing>> m_queues;
    size_t m_queuedCount = 0;
};

template <typename Sent, typename Failed>
bool Outbox::Drain(int fd, Sent sent, Failed failed)
{
    auto it = m_queues.find(fd);
    if (it == m_queues.end())
        return true;
    std::deque<Outgoing> &queue = it->second;
    while (!queue.empty()) {
        const Outgoing &d = queue.front();
        int error = SendDatagram(d.fd, d.to, d.source, d.bytes.data(), d.bytes.size());
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS)
            return false;
        if (error == 0)
            sent(d);
        else
            failed(d, error);
        queue.pop_front();
        --m_queuedCount;
    }
    m_queues.erase(it);
    return true;
}

} // namespace devsim
