// Reliability: a flood of datagrams of mixed sizes (empty, normal, oversize) at a
// cast socket and at a client socket, bounded in count and time. Nothing may crash
// or leak, memory must stay bounded, the sockets keep running, and Stop returns
// promptly while the flood goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>

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

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Size of the i-th datagram of the flood: every 10th empty, every 10th too large
// for the receiver, the rest spread over 1..1472 bytes.
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

struct Flood {
    std::atomic<bool> quit{false};
    std::atomic<long> sent{0};
};

// Floods `to` from a socket in the device namespace until the count or the time
// is reached or `quit` is set. `fd` is a device-side socket.
void RunFlood(int fd, const std::vector<sockaddr_in> &targets, Flood &flood)
{
    std::vector<uint8_t> buffer(kMaxDatagram + 2001);
    const Clock::time_point end = Clock::now() + kFloodTime;
    for (long i = 0; i < kFloodCount && !flood.quit; ++i) {
        if ((i & 1023) == 0 && Clock::now() > end)
            break;
        const size_t size = FloodSize(i);
        std::fill(buffer.begin(), buffer.begin() + static_cast<long>(size), static_cast<uint8_t>(size));
        const sockaddr_in &to = targets[static_cast<size_t>(i) % targets.size()];
        if (sendto(fd, buffer.data(), size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) >= 0)
            ++flood.sent;
    }
}

class FloodTest : public SandboxTest {};

} // namespace

TEST_F(FloodTest, CastSocketSurvivesAFloodAndStopsPromptly)
{
    FloodCounter counter;
    // Recording every datagram would itself grow without bound: count only.
    struct Counting : CUdpCastListener {
        FloodCounter *counter = nullptr;
        std::atomic<int> closed{0};
        ListenerReply DatagramReceived(IUdpCast *, uint32_t, const uint8_t *data, int32_t length) override
        {
            counter->Count(data, length);
            return ListenerReply::Proceed;
        }
        ListenerReply SocketClosed(IUdpCast *, uint32_t, CloseOperation, int32_t) override
        {
            ++closed;
            return ListenerReply::Proceed;
        }
    } counting;
    counting.counter = &counter;

    CUdpCast cast(&counting);
    cast.SetCastMode(CastMode::Broadcast);
    ASSERT_TRUE(cast.Start(19010, 19009, 0, sandbox::kWorkstationAddress));
    const long residentBefore = ResidentKiB();

    int fd = sandbox::DeviceUdpSocket(*net);
    ASSERT_GE(fd, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local = Ipv4(sandbox::kDeviceAddress, 19010);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    Flood flood;
    std::thread sender = net->StartInDevice([&] {
        RunFlood(fd, {Ipv4(sandbox::kWorkstationAddress, 19009), Ipv4("255.255.255.255", 19009)}, flood);
    });

    // The socket keeps sending its own datagrams meanwhile.
    const std::string request(99, 'r');
    int sends = 0;
    const Clock::time_point until = Clock::now() + kFloodTime - 2s;
    // Stop while the flood still runs (it ends at kFloodCount or kFloodTime).
    while (flood.sent < kFloodCount * 9 / 10 && Clock::now() < until && cast.IsActive()) {
        if (cast.Send(Data(request), Size(request), 0))
            ++sends;
        std::this_thread::sleep_for(200us);
    }
    EXPECT_EQ(cast.GetState(), SocketState::Started);
    EXPECT_EQ(counting.closed, 0);

    const Clock::time_point stopAt = Clock::now();
    ASSERT_TRUE(cast.Stop());
    const auto stopTook = Clock::now() - stopAt;
    flood.quit = true;
    sender.join();
    close(fd);

    EXPECT_LT(stopTook, 1s) << "Stop under a flood";
    EXPECT_GT(counter.received, 1000);
    EXPECT_GT(counter.empty, 0);
    EXPECT_EQ(counter.oversize, 0);
    EXPECT_EQ(counter.corrupt, 0);
    EXPECT_EQ(cast.Pool().LiveItems(), 0);
    const long growth = ResidentKiB() - residentBefore;
    EXPECT_LT(growth, 64 * 1024) << "resident memory grew by " << growth << " KiB";
    std::printf("cast flood: %ld sent, %ld delivered (%ld empty), %d own sends, stop took %.1f ms\n",
                flood.sent.load(), counter.received.load(), counter.empty.load(), sends,
                std::chrono::duration<double, std::milli>(stopTook).count());
}

TEST_F(FloodTest, ClientSocketSurvivesAFloodAndStopsPromptly)
{
    FloodCounter counter;
    struct Counting : CUdpClientListener {
        FloodCounter *counter = nullptr;
        std::atomic<int> closed{0};
        ListenerReply DatagramReceived(IUdpClient *, uint32_t, const uint8_t *data, int32_t length) override
        {
            counter->Count(data, length);
            return ListenerReply::Proceed;
        }
        ListenerReply SocketClosed(IUdpClient *, uint32_t, CloseOperation, int32_t) override
        {
            ++closed;
            return ListenerReply::Proceed;
        }
    } counting;
    counting.counter = &counter;

    DevicePeer device(*net, sandbox::kDeviceAddress, 19100);
    ASSERT_TRUE(device.ok());
    CUdpClient client(&counting);
    client.SetDetectInterval(1);
    client.SetDetectAttempts(1);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, 19100, 0, nullptr));
    DevicePeer::Datagram keepAlive = device.Receive();
    ASSERT_TRUE(keepAlive.ok);
    const sockaddr_in clientAddress = keepAlive.from;
    const long residentBefore = ResidentKiB();

    // The peer floods the client; a stranger's datagrams never reach it.
    int stranger = sandbox::DeviceUdpSocket(*net);
    ASSERT_GE(stranger, 0);
    Flood flood, noise;
    std::thread sender = net->StartInDevice([&] { RunFlood(device.fd(), {clientAddress}, flood); });
    std::thread other = net->StartInDevice([&] { RunFlood(stranger, {clientAddress}, noise); });

    const std::string request(200, 'q');
    int sends = 0;
    // This runs past several keep-alive intervals: the flood's empty datagrams keep
    // the link alive, the oversize ones are dropped. Stop comes while the flood runs.
    const Clock::time_point until = Clock::now() + kFloodTime - 2s;
    while (flood.sent < kFloodCount * 9 / 10 && Clock::now() < until && client.IsActive()) {
        if (client.Send(Data(request), Size(request), 0))
            ++sends;
        std::this_thread::sleep_for(500us);
    }
    EXPECT_EQ(client.GetState(), SocketState::Started);
    EXPECT_EQ(counting.closed, 0);

    const Clock::time_point stopAt = Clock::now();
    ASSERT_TRUE(client.Stop());
    const auto stopTook = Clock::now() - stopAt;
    flood.quit = true;
    noise.quit = true;
    sender.join();
    other.join();
    close(stranger);

    EXPECT_LT(stopTook, 1s) << "Stop under a flood";
    EXPECT_GT(counter.received, 1000);
    EXPECT_EQ(counter.empty, 0); // empty datagrams are never delivered
    EXPECT_EQ(counter.oversize, 0);
    EXPECT_EQ(counter.corrupt, 0);
    EXPECT_EQ(client.Pool().LiveItems(), 0);
    const long growth = ResidentKiB() - residentBefore;
    EXPECT_LT(growth, 64 * 1024) << "resident memory grew by " << growth << " KiB";
    std::printf("client flood: %ld sent, %ld delivered, %d own sends, stop took %.1f ms\n", flood.sent.load(),
                counter.received.load(), sends, std::chrono::duration<double, std::milli>(stopTook).count());
}
