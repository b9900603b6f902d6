// CUdpCast throughput and allocation benchmarks, inside the network sandbox.
//
// BM_DeliveryRate: a device in the device namespace floods the workstation address
// over the veth pair. In alternating windows of the same run the flood goes to a
// bare socket read by a plain recvfrom loop, to a bare socket read with recvmmsg,
// and to a started CUdpCast whose listener counts the datagrams. Reported:
// datagrams per second for each, and the ratio CUdpCast / recvfrom loop.
//
// BM_SteadySend: after warm-up, datagrams queued with Send and sent by the worker
// in bursts the free list can hold; every operator new in the process is counted,
// and the count per Send is reported (the target is 0).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "transport/UdpCast.h"

// ---- allocation counting: every operator new of the process ----

namespace {
std::atomic<long> g_allocations{0};
}

void *operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept { return operator new(size, tag); }
void *operator new(std::size_t size, std::align_val_t align)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = static_cast<std::size_t>(align);
    if (void *p = std::aligned_alloc(a, (size + a - 1) / a * a))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kBarePort = 19301;
constexpr uint16_t kMmsgPort = 19302;
constexpr uint16_t kCastPort = 19303;
constexpr size_t kFloodSize = 100;
constexpr auto kWindow = std::chrono::milliseconds(200);

sandbox::DeviceNetwork *g_net = nullptr;

// A device that floods one workstation port at a time, as fast as it can.
class Flooder {
public:
    explicit Flooder(const sandbox::DeviceNetwork &net)
    {
        m_fd = sandbox::DeviceUdpSocket(net);
        sockaddr_in local = sandbox::Ipv4(sandbox::kDeviceAddress, 19300);
        bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
        m_thread = net.StartInDevice([this] { Run(); });
    }
    ~Flooder()
    {
        m_quit = true;
        m_thread.join();
        close(m_fd);
    }
    // 0 pauses the flood.
    void Target(uint16_t port) { m_port = port; }
    long Sent() const { return m_sent; }

private:
    void Run()
    {
        char payload[kFloodSize] = {};
        while (!m_quit) {
            const uint16_t port = m_port;
            if (port == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            sockaddr_in to = sandbox::Ipv4(sandbox::kWorkstationAddress, port);
            for (int i = 0; i < 64; ++i)
                if (sendto(m_fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) > 0)
                    m_sent.fetch_add(1, std::memory_order_relaxed);
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_quit{false};
    std::atomic<uint16_t> m_port{0};
    std::atomic<long> m_sent{0};
    std::thread m_thread;
};

int BoundSocket(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in local = sandbox::Ipv4(sandbox::kWorkstationAddress, port);
    bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    return fd;
}

void Drain(int fd)
{
    char buffer[2048];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
    }
}

// Datagrams read in one window by a poll + recvfrom loop.
long BareRecvfromWindow(int fd)
{
    char buffer[1472];
    sockaddr_in from{};
    long count = 0;
    const Clock::time_point end = Clock::now() + kWindow;
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        for (int i = 0; i < 256; ++i) {
            socklen_t length = sizeof from;
            if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length) < 0)
                break;
            ++count;
        }
    }
    return count;
}

// Datagrams read in one window by a poll + recvmmsg loop (batches of 32).
long BareRecvmmsgWindow(int fd)
{
    constexpr int kBatch = 32;
    static char buffers[kBatch][1472];
    sockaddr_in from[kBatch];
    iovec pieces[kBatch];
    mmsghdr messages[kBatch];
    long count = 0;
    const Clock::time_point end = Clock::now() + kWindow;
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        for (int round = 0; round < 8; ++round) {
            for (int i = 0; i < kBatch; ++i) {
                pieces[i] = iovec{buffers[i], sizeof buffers[i]};
                messages[i] = mmsghdr{};
                messages[i].msg_hdr.msg_name = &from[i];
                messages[i].msg_hdr.msg_namelen = sizeof from[i];
                messages[i].msg_hdr.msg_iov = &pieces[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                break;
            count += n;
        }
    }
    return count;
}

class CountingListener : public CUdpCastListener {
public:
    std::atomic<long> received{0};
    ListenerReply DatagramReceived(IUdpCast *, uint32_t, const uint8_t *data, int32_t length) override
    {
        benchmark::DoNotOptimize(data);
        benchmark::DoNotOptimize(length);
        received.fetch_add(1, std::memory_order_relaxed);
        return ListenerReply::Proceed;
    }
    ListenerReply SocketClosed(IUdpCast *, uint32_t, CloseOperation, int32_t) override { return ListenerReply::Proceed; }
};

void BM_DeliveryRate(benchmark::State &state)
{
    Flooder flood(*g_net);
    CountingListener listener;
    CUdpCast cast(&listener);
    cast.SetCastMode(CastMode::Broadcast);
    if (!cast.Start(19999, kCastPort, 0, sandbox::kWorkstationAddress)) {
        state.SkipWithError("CUdpCast did not start");
        return;
    }
    const int bare = BoundSocket(kBarePort);
    const int mmsg = BoundSocket(kMmsgPort);
    long bareCount = 0, mmsgCount = 0, castCount = 0;
    double seconds = 0;
    for (auto _ : state) {
        flood.Target(kBarePort);
        bareCount += BareRecvfromWindow(bare);
        flood.Target(0);
        Drain(bare);

        flood.Target(kMmsgPort);
        mmsgCount += BareRecvmmsgWindow(mmsg);
        flood.Target(0);
        Drain(mmsg);

        const long before = listener.received;
        flood.Target(kCastPort);
        std::this_thread::sleep_for(kWindow);
        castCount += listener.received - before;
        flood.Target(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the worker catch up
        seconds += std::chrono::duration<double>(kWindow).count();
    }
    cast.Stop();
    close(bare);
    close(mmsg);
    const double recvfromRate = bareCount / seconds;
    const double recvmmsgRate = mmsgCount / seconds;
    const double castRate = castCount / seconds;
    state.counters["recvfrom_per_s"] = recvfromRate;
    state.counters["recvmmsg_per_s"] = recvmmsgRate;
    state.counters["cast_per_s"] = castRate;
    state.counters["cast_vs_recvfrom"] = recvfromRate > 0 ? castRate / recvfromRate : 0;
    state.counters["cast_vs_recvmmsg"] = recvmmsgRate > 0 ? castRate / recvmmsgRate : 0;
    state.counters["flood_sent_per_s"] = flood.Sent() / (seconds * 3);
}
BENCHMARK(BM_DeliveryRate)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);

class SentCounter : public CUdpCastListener {
public:
    ListenerReply DatagramReceived(IUdpCast *, uint32_t, const uint8_t *, int32_t) override
    {
        return ListenerReply::Proceed;
    }
    ListenerReply SocketClosed(IUdpCast *, uint32_t, CloseOperation, int32_t) override { return ListenerReply::Proceed; }
};

void WaitDrained(CUdpCast &cast)
{
    int32_t pending = 1;
    while (cast.GetPendingBytes(pending) && pending > 0)
        std::this_thread::yield();
}

void BM_SteadySend(benchmark::State &state)
{
    SentCounter listener;
    CUdpCast cast(&listener);
    cast.SetCastMode(CastMode::Broadcast);
    const long atStart = g_allocations.load();
    if (!cast.Start(19998, 19304, 0, sandbox::kWorkstationAddress)) {
        state.SkipWithError("CUdpCast did not start");
        return;
    }
    const int burst = cast.GetPoolHold();
    uint8_t request[99] = {};
    // Warm-up: fill the free list.
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < burst; ++i)
            cast.Send(request, sizeof request, 0);
        WaitDrained(cast);
    }
    // The worker returns a sent buffer to the free list right after DatagramSent.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Start and warm-up do allocate (thread, pool): proof that the counter counts.
    state.counters["allocs_start_and_warmup"] = static_cast<double>(g_allocations.load() - atStart);

    const long before = g_allocations.load();
    long sends = 0, failures = 0;
    for (auto _ : state) {
        if (!cast.Send(request, sizeof request, 0))
            ++failures;
        if (++sends % burst == 0)
            WaitDrained(cast);
    }
    WaitDrained(cast);
    const long allocations = g_allocations.load() - before;
    cast.Stop();
    state.counters["allocations"] = static_cast<double>(allocations);
    state.counters["allocs_per_send"] = sends > 0 ? static_cast<double>(allocations) / sends : 0;
    state.counters["failed_sends"] = static_cast<double>(failures);
    state.SetItemsProcessed(sends);
}
BENCHMARK(BM_SteadySend)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    const std::string error = sandbox::EnterPrivateNetwork();
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    sandbox::DeviceNetwork net;
    if (!net.ok()) {
        std::fprintf(stderr, "%s\n", net.error().c_str());
        return 1;
    }
    g_net = &net;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
