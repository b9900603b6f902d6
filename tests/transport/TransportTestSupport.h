#pragma once
// Helpers for the socket tests: listeners that record every notification (and can
// be told how to answer), and datagram sockets on the device side of the sandbox.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "transport/IUdpCast.h"
#include "transport/IUdpClient.h"
#include "transport/Listener.h"

namespace transport_test {

using namespace std::chrono_literals;

struct Notice {
    std::string kind; // "BeforeConnect", "Connected", "Ready", "Sent", "Received", "Closed"
    std::string data;
    CloseOperation operation = CloseOperation::Unspecified;
    int32_t code = 0;
    std::thread::id thread;
    std::string sender; // cast: GetSenderAddress inside DatagramReceived
    uint16_t senderPort = 0;
};

// Records the notifications of one socket type. Hooks may replace the reply of a
// notification; they run on the notifying thread, outside the recorder's lock.
template <class Base, class Socket>
class Recorder : public Base {
public:
    std::function<ListenerReply(Socket *)> onBeforeConnect, onConnected, onReady;
    std::function<ListenerReply(Socket *, const uint8_t *, int32_t)> onReceived, onSent;
    std::function<void(Socket *, CloseOperation, int32_t)> onClosed;

    ListenerReply BeforeConnect(Socket *s, uint32_t, SocketHandle) override
    {
        Add(Make("BeforeConnect"));
        return onBeforeConnect ? onBeforeConnect(s) : ListenerReply::Proceed;
    }
    ListenerReply SocketConnected(Socket *s, uint32_t) override
    {
        Add(Make("Connected"));
        return onConnected ? onConnected(s) : ListenerReply::Proceed;
    }
    ListenerReply SocketReady(Socket *s, uint32_t) override
    {
        Add(Make("Ready"));
        return onReady ? onReady(s) : ListenerReply::Proceed;
    }
    ListenerReply DatagramSent(Socket *s, uint32_t, const uint8_t *data, int32_t length) override
    {
        Add(Make("Sent", std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(length))));
        return onSent ? onSent(s, data, length) : ListenerReply::Proceed;
    }
    ListenerReply DatagramReceived(Socket *s, uint32_t, const uint8_t *data, int32_t length) override
    {
        Notice n = Make("Received", std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(length)));
        SenderOf(s, n);
        Add(n);
        return onReceived ? onReceived(s, data, length) : ListenerReply::Proceed;
    }
    ListenerReply SocketClosed(Socket *s, uint32_t, CloseOperation operation, int32_t code) override
    {
        Notice n = Make("Closed");
        n.operation = operation;
        n.code = code;
        if (onClosed)
            onClosed(s, operation, code);
        Add(n);
        return ListenerReply::Proceed;
    }

    std::vector<Notice> Notices()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_notices;
    }
    std::vector<Notice> OfKind(const std::string &kind)
    {
        std::vector<Notice> out;
        for (const Notice &n : Notices())
            if (n.kind == kind)
                out.push_back(n);
        return out;
    }
    size_t Count(const std::string &kind) { return OfKind(kind).size(); }
    std::vector<std::string> Kinds()
    {
        std::vector<std::string> out;
        for (const Notice &n : Notices())
            out.push_back(n.kind);
        return out;
    }
    // Waits until at least `count` notices of the kind arrived.
    bool WaitFor(const std::string &kind, size_t count, std::chrono::milliseconds limit = 5000ms)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, limit, [&] {
            size_t seen = 0;
            for (const Notice &n : m_notices)
                seen += n.kind == kind;
            return seen >= count;
        });
    }

private:
    static Notice Make(const char *kind, std::string data = {})
    {
        Notice n;
        n.kind = kind;
        n.data = std::move(data);
        return n;
    }
    static void SenderOf(IUdpCast *s, Notice &n)
    {
        char text[50];
        int32_t length = sizeof text;
        uint16_t port = 0;
        if (s->GetSenderAddress(text, length, port)) {
            n.sender = text;
            n.senderPort = port;
        }
    }
    static void SenderOf(IUdpClient *, Notice &) {}

    void Add(Notice n)
    {
        n.thread = std::this_thread::get_id();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_notices.push_back(std::move(n));
        }
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Notice> m_notices;
};

inline sockaddr_in Ipv4(const char *ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

inline std::string Text(const sockaddr_in &a)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

// A datagram socket in the device namespace, bound to ip:port (SO_REUSEADDR and
// SO_BROADCAST set). Closed by the destructor.
class DevicePeer {
public:
    DevicePeer(const sandbox::DeviceNetwork &net, const char *ip, uint16_t port)
    {
        m_fd = sandbox::DeviceUdpSocket(net);
        if (m_fd < 0)
            return;
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        sockaddr_in local = Ipv4(ip, port);
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~DevicePeer()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    DevicePeer(const DevicePeer &) = delete;
    DevicePeer &operator=(const DevicePeer &) = delete;

    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    bool SendTo(const char *ip, uint16_t port, const std::string &bytes) const
    {
        sockaddr_in to = Ipv4(ip, port);
        return sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
               static_cast<ssize_t>(bytes.size());
    }

    struct Datagram {
        bool ok = false;
        std::string bytes;
        sockaddr_in from{};
        std::string destination; // header destination address (IP_PKTINFO)
    };
    Datagram Receive(int timeoutMs = 3000) const
    {
        Datagram d;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1)
            return d;
        char buffer[70000];
        char control[256];
        iovec piece{buffer, sizeof buffer};
        msghdr message{};
        message.msg_name = &d.from;
        message.msg_namelen = sizeof d.from;
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(m_fd, &message, MSG_DONTWAIT);
        if (n < 0)
            return d;
        d.ok = true;
        d.bytes.assign(buffer, static_cast<size_t>(n));
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
                d.destination = text;
            }
        }
        return d;
    }

private:
    int m_fd = -1;
};

// Waits up to `tries` times 10 ms for a socket that is stopping itself (on its
// worker) to reach Stopped; the caller checks the state.
template <class Socket>
void WaitUntilStopped(const Socket &socket, int tries = 100)
{
    for (int i = 0; i < tries && socket.GetState() != SocketState::Stopped; ++i)
        std::this_thread::sleep_for(10ms);
}

inline std::string Bytes(const char *text) { return std::string(text); }
inline const uint8_t *Data(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }
// For literals: the bytes of the literal itself, not of a temporary string.
inline const uint8_t *Data(const char *literal) { return reinterpret_cast<const uint8_t *>(literal); }
inline int32_t Size(const std::string &s) { return static_cast<int32_t>(s.size()); }

} // namespace transport_test
