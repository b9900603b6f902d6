// Reliability: a flood of a million datagrams of mixed sizes (empty, normal, oversize)
// at a cast socket and at a client socket, bounded in count and time. Nothing may
// crash or leak, memory must stay bounded, and Stop returns promptly while the flood
// goes on.
//
// Every tenth datagram is longer than the socket takes: each one is dropped and
// counted, and never ends the socket. Each flood has two phases. In the first the
// owner stops the socket and starts it again and again under the flood, as the
// searcher does after a failure. In the second the socket, started afresh, must stay
// up until the test stops it; the oversize datagrams keep coming throughout.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>

#include "SandboxFixture.h"
#include "TransportTestSupport.h"
#include "transport/UdpCast.h"
#include "transport/UdpClient.h"

using namespace transport_test;

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kFloodCount = 1000000;
constexpr auto kFloodTime = std::chrono::seconds(15);
constexpr int32_t kMaxDatagram = 1472;
// The first phase, with restarts, ends at this count or time.
constexpr long kRestartPhaseCount = 250000;
constexpr auto kRestartPhaseTime = std::chrono::seconds(4);
// The socket runs this long between two restarts of the first phase.
constexpr auto kRunBetweenRestarts = std::chrono::milliseconds(5);

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Size of the i-th datagram of the flood: every 10th empty, every 10th too large for
// the receiver, the rest spread over 1..1472 bytes.
size_t FloodSize(long i)
{
    switch (i % 10) {
    case 0: return 0;
    case 5: return kMaxDatagram + 1 + static_cast<size_t>(i % 2000);
    default: return 1 + static_cast<size_t>((i * 7919) % kMaxDatagram);
    }
}

// Counts what a listener receives and checks every datagram on the way.
struct FloodCounter {
    std::atomic<long> received{0};
    std::atomic<long> empty{0};
    std::atomic<long> oversize{0}; // must stay 0
    std::atomic<long> corrupt{0};  // must stay 0

    void Count(const uint8_t *data, int32_t length)
    {
        ++received;
        if (length == 0)
            ++empty;
        if (length > kMaxDatagram)
            ++oversize;
        // The sender fills each datagram with its length's low byte.
        for (int32_t i = 0; i < length; i += 97)
            if (data[i] != static_cast<uint8_t>(length)) {
                ++corrupt;
                break;
            }
    }
};

// Sorts the SocketClosed notifications of one socket.
struct CloseCounter {
    std::thread::id owner = std::this_thread::get_id();
    std::atomic<long> byOwner{0}; // (Close, 0) inside the owner's Stop
    std::atomic<long> other{0};   // anything else (an oversize datagram's close): must stay 0

    void Count(CloseOperation operation, int32_t code)
    {
        const bool onOwner = std::this_thread::get_id() == owner;
        if (operation == CloseOperation::Close && code == 0 && onOwner)
            ++byOwner;
        else
            ++other;
    }
};

// Where a flood goes. The peer of a client socket follows it to its new local port
// after each restart (the client greets it with an empty datagram on connecting).
class Targets {
public:
    explicit Targets(std::vector<sockaddr_in> targets) : m_targets(std::move(targets)) {}
    std::vector<sockaddr_in> Get() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_targets;
    }
    void Set(const sockaddr_in &target)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_targets = {target};
    }

private:
    mutable std::mutex m_lock;
    std::vector<sockaddr_in> m_targets;
};

struct Flood {
    std::atomic<bool> quit{false};
    std::atomic<long> sent{0};
    std::atomic<long> oversize{0}; // of `sent`, those longer than the receiver takes
};

// Floods the targets from `fd`, a socket in the device namespace, until the count or
// the time is reached or `quit` is set. With `follow` it also reads what arrives at
// `fd` and aims at the last sender.
void RunFlood(int fd, Targets &targets, Flood &flood, bool follow)
{
    std::vector<uint8_t> buffer(kMaxDatagram + 2001);
    std::vector<sockaddr_in> to = targets.Get();
    const Clock::time_point end = Clock::now() + kFloodTime;
    for (long i = 0; i < kFloodCount && !flood.quit; ++i) {
        if ((i & 63) == 0) {
            if (follow) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                bool heard = false;
                while (recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                                &length) >= 0) {
                    heard = true;
                    length = sizeof from;
                }
                if (heard)
                    targets.Set(from);
            }
            to = targets.Get();
            if ((i & 1023) == 0 && Clock::now() > end)
                break;
        }
        const size_t size = FloodSize(i);
        std::fill(buffer.begin(), buffer.begin() + static_cast<long>(size), static_cast<uint8_t>(size));
        const sockaddr_in &target = to[static_cast<size_t>(i) % to.size()];
        if (sendto(fd, buffer.data(), size, 0, reinterpret_cast<const sockaddr *>(&target), sizeof target) >= 0) {
            ++flood.sent;
            if (size > static_cast<size_t>(kMaxDatagram))
                ++flood.oversize;
        }
    }
}

// A listener that only counts: recording every datagram would itself grow without
// bound.
template <class ListenerBase, class Socket>
struct CountingListener : ListenerBase {
    CountingListener(FloodCounter &counter, CloseCounter &closes) : counter(counter), closes(closes) {}
    ListenerReply DatagramReceived(Socket *, uint32_t, const uint8_t *data, int32_t length) override
    {
        counter.Count(data, length);
        return ListenerReply::Proceed;
    }
    ListenerReply SocketClosed(Socket *, uint32_t, CloseOperation operation, int32_t code) override
    {
        closes.Count(operation, code);
        return ListenerReply::Proceed;
    }
    FloodCounter &counter;
    CloseCounter &closes;
};

struct RestartPhase {
    int sends = 0;
    int restarts = 0;
    int failedStarts = 0;
    int failedStops = 0; // a Stop that found the socket stopped already: must stay 0
};

// Phase one: the owner stops the socket and starts it again every few milliseconds;
// meanwhile the socket sends `request` now and then. Ends with the socket stopped.
template <class Socket, class Start>
RestartPhase RunRestartPhase(Socket &socket, Start &&start, const Flood &flood, Clock::time_point floodStart,
                             const std::string &request)
{
    RestartPhase phase;
    const Clock::time_point phaseEnd = floodStart + kRestartPhaseTime;
    Clock::time_point restartAt = Clock::now() + kRunBetweenRestarts;
    while (flood.sent < kRestartPhaseCount && Clock::now() < phaseEnd) {
        if (socket.GetState() == SocketState::Stopped) {
            ++(start() ? phase.restarts : phase.failedStarts);
            restartAt = Clock::now() + kRunBetweenRestarts;
        } else if (Clock::now() >= restartAt) {
            if (!socket.Stop())
                ++phase.failedStops;
        } else if (socket.Send(Data(request), Size(request), 0)) {
            ++phase.sends;
        }
        std::this_thread::sleep_for(200us);
    }
    if (socket.GetState() != SocketState::Stopped && !socket.Stop())
        ++phase.failedStops;
    return phase;
}

// What phase one must show: restarts happened, every start and stop worked (the
// socket never ended by itself), and the owner closed it once per run.
void ExpectOnlyTheOwnerRestarted(const RestartPhase &phase, long closesByOwner)
{
    EXPECT_GT(phase.restarts, 0);
    EXPECT_EQ(phase.failedStarts, 0);
    EXPECT_EQ(phase.failedStops, 0) << "the socket ended by itself";
    // One close per run: the first start and each restart.
    EXPECT_EQ(closesByOwner, phase.restarts + 1);
}

class FloodTest : public SandboxTest {};

} // namespace

TEST_F(FloodTest, CastSocketSurvivesAFloodAndStopsPromptly)
{
    FloodCounter counter;
    CloseCounter closes;
    CountingListener<CUdpCastListener, IUdpCast> counting(counter, closes);

    CUdpCast cast(&counting);
    cast.SetCastMode(CastMode::Broadcast);
    auto start = [&] { return cast.Start(19010, 19009, 0, sandbox::kWorkstationAddress); };
    ASSERT_TRUE(start());
    const long residentBefore = ResidentKiB();

    int fd = sandbox::DeviceUdpSocket(*net);
    ASSERT_GE(fd, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local = Ipv4(sandbox::kDeviceAddress, 19010);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    // Both ways in: to the bound socket and to the broadcast companion.
    Targets targets({Ipv4(sandbox::kWorkstationAddress, 19009), Ipv4("255.255.255.255", 19009)});
    Flood flood;
    const Clock::time_point floodStart = Clock::now();
    std::thread sender = net->StartInDevice([&] { RunFlood(fd, targets, flood, false); });

    // Phase one: the owner stops and starts the socket again and again.
    const std::string request(99, 'r');
    const RestartPhase phase = RunRestartPhase(cast, start, flood, floodStart, request);
    int sends = phase.sends;
    const int restarts = phase.restarts;
    ExpectOnlyTheOwnerRestarted(phase, closes.byOwner);

    // Phase two: the socket stays up and keeps sending its own datagrams meanwhile.
    ASSERT_TRUE(start());
    const long byOwner = closes.byOwner;
    const Clock::time_point until = floodStart + kFloodTime - 2s;
    // Stop while the flood still runs (it ends at kFloodCount or kFloodTime).
    while (flood.sent < kFloodCount * 9 / 10 && Clock::now() < until && cast.IsActive()) {
        if (cast.Send(Data(request), Size(request), 0))
            ++sends;
        std::this_thread::sleep_for(200us);
    }
    EXPECT_EQ(cast.GetState(), SocketState::Started);

    const Clock::time_point stopAt = Clock::now();
    ASSERT_TRUE(cast.Stop());
    const auto stopTook = Clock::now() - stopAt;
    flood.quit = true;
    sender.join();
    close(fd);

    EXPECT_LT(stopTook, 1s) << "Stop under a flood";
    EXPECT_EQ(closes.byOwner, byOwner + 1);
    EXPECT_EQ(closes.other, 0);
    EXPECT_GT(counter.received, 1000);
    EXPECT_GT(counter.empty, 0);
    EXPECT_EQ(counter.oversize, 0);
    EXPECT_EQ(counter.corrupt, 0);
    EXPECT_GT(cast.GetOversizeDropped(), 0u);
    EXPECT_LE(cast.GetOversizeDropped(), static_cast<uint64_t>(flood.oversize.load()));
    EXPECT_EQ(cast.Pool().LiveItems(), 0);
    const long growth = ResidentKiB() - residentBefore;
    EXPECT_LT(growth, 64 * 1024) << "resident memory grew by " << growth << " KiB";
    std::printf("cast flood: %ld sent (%ld oversize), %ld delivered (%ld empty), %llu oversize dropped, "
                "%d restarts, %d own sends, stop took %.1f ms\n",
                flood.sent.load(), flood.oversize.load(), counter.received.load(), counter.empty.load(),
                static_cast<unsigned long long>(cast.GetOversizeDropped()), restarts, sends,
                std::chrono::duration<double, std::milli>(stopTook).count());
}

TEST_F(FloodTest, ClientSocketSurvivesAFloodAndStopsPromptly)
{
    FloodCounter counter;
    CloseCounter closes;
    CountingListener<CUdpClientListener, IUdpClient> counting(counter, closes);

    DevicePeer device(*net, sandbox::kDeviceAddress, 19100);
    ASSERT_TRUE(device.ok());
    CUdpClient client(&counting);
    client.SetDetectInterval(1);
    client.SetDetectAttempts(1);
    auto start = [&] { return client.Start(sandbox::kDeviceAddress, 19100, 0, nullptr); };
    ASSERT_TRUE(start());
    DevicePeer::Datagram keepAlive = device.Receive();
    ASSERT_TRUE(keepAlive.ok);
    const long residentBefore = ResidentKiB();

    // The peer floods the client and follows it to each new port; a stranger aims at
    // the same port with the same flood, but its datagrams never reach the connected
    // socket.
    int stranger = sandbox::DeviceUdpSocket(*net);
    ASSERT_GE(stranger, 0);
    Targets targets({keepAlive.from});
    Flood flood, noise;
    const Clock::time_point floodStart = Clock::now();
    std::thread sender = net->StartInDevice([&] { RunFlood(device.fd(), targets, flood, true); });
    std::thread other = net->StartInDevice([&] { RunFlood(stranger, targets, noise, false); });

    // Phase one: the owner stops and starts the socket again and again; the peer
    // follows it to each new port.
    const std::string request(200, 'q');
    const RestartPhase phase = RunRestartPhase(client, start, flood, floodStart, request);
    int sends = phase.sends;
    const int restarts = phase.restarts;
    ExpectOnlyTheOwnerRestarted(phase, closes.byOwner);

    // Phase two: this runs past several keep-alive intervals; the flood's empty
    // datagrams keep the link alive. Stop comes while the flood runs.
    ASSERT_TRUE(start());
    const long byOwner = closes.byOwner;
    const Clock::time_point until = floodStart + kFloodTime - 2s;
    while (flood.sent < kFloodCount * 9 / 10 && Clock::now() < until && client.IsActive()) {
        if (client.Send(Data(request), Size(request), 0))
            ++sends;
        std::this_thread::sleep_for(500us);
    }
    EXPECT_EQ(client.GetState(), SocketState::Started);

    const Clock::time_point stopAt = Clock::now();
    ASSERT_TRUE(client.Stop());
    const auto stopTook = Clock::now() - stopAt;
    flood.quit = true;
    noise.quit = true;
    sender.join();
    other.join();
    close(stranger);

    EXPECT_LT(stopTook, 1s) << "Stop under a flood";
    EXPECT_EQ(closes.byOwner, byOwner + 1);
    EXPECT_EQ(closes.other, 0);
    EXPECT_GT(counter.received, 1000);
    EXPECT_EQ(counter.empty, 0); // empty datagrams are never delivered
    EXPECT_EQ(counter.oversize, 0);
    EXPECT_EQ(counter.corrupt, 0);
    EXPECT_GT(client.GetOversizeDropped(), 0u);
    EXPECT_LE(client.GetOversizeDropped(), static_cast<uint64_t>(flood.oversize.load()));
    EXPECT_EQ(client.Pool().LiveItems(), 0);
    const long growth = ResidentKiB() - residentBefore;
    EXPECT_LT(growth, 64 * 1024) << "resident memory grew by " << growth << " KiB";
    std::printf("client flood: %ld sent (%ld oversize), %ld delivered, %llu oversize dropped, %d restarts, "
                "%d own sends, stop took %.1f ms\n",
                flood.sent.load(), flood.oversize.load(), counter.received.load(),
                static_cast<unsigned long long>(client.GetOversizeDropped()), restarts, sends,
                std::chrono::duration<double, std::milli>(stopTook).count());
}
