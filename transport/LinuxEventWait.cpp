#include "transport/LinuxEventWait.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

EventSignal::EventSignal() { Open(); }

EventSignal::~EventSignal()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool EventSignal::Open()
{
    if (m_fd >= 0)
        return true;
    m_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return m_fd >= 0;
}

void EventSignal::Set()
{
    const uint64_t one = 1;
    // A full counter (impossible in practice) still leaves the signal set.
    ssize_t written = write(m_fd, &one, sizeof one);
    (void)written;
}

bool EventSignal::Consume()
{
    uint64_t value = 0;
    return read(m_fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

WaitResult WaitForEvents(const int *sockets, int socketCount, bool watchSockets, bool wantWritable,
                         EventSignal &sendSignal, EventSignal &stopSignal, int timeoutMs)
{
    pollfd fds[kMaxWaitSockets + 2];
    int n = 0;
    for (int i = 0; i < socketCount && i < kMaxWaitSockets; ++i) {
        short events = 0;
        if (watchSockets) {
            events = POLLIN;
            if (i == 0 && wantWritable)
                events |= POLLOUT;
        }
        // A negative descriptor is skipped by poll: that is how a paused socket is left out.
        fds[n++] = pollfd{watchSockets ? sockets[i] : -1, events, 0};
    }
    const int sendIndex = n;
    fds[n++] = pollfd{sendSignal.Descriptor(), POLLIN, 0};
    const int stopIndex = n;
    fds[n++] = pollfd{stopSignal.Descriptor(), POLLIN, 0};

    WaitResult result;
    const int ready = poll(fds, static_cast<nfds_t>(n), timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) {
            result.kind = WaitResult::Kind::Ready;
            return result;
        }
        result.kind = WaitResult::Kind::Failed;
        result.error = errno;
        return result;
    }
    if (ready == 0) {
        result.kind = WaitResult::Kind::Timeout;
        return result;
    }
    result.kind = WaitResult::Kind::Ready;
    for (int i = 0; i < sendIndex; ++i)
        result.socketEvents[i] = fds[i].revents;
    result.send = fds[sendIndex].revents != 0;
    result.stop = fds[stopIndex].revents != 0;
    return result;
}
