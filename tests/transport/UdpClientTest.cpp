// CUdpClient inside the network sandbox, talking to a peer in the device namespace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "SandboxFixture.h"
#include "TransportTestSupport.h"
#include "transport/UdpClient.h"

using namespace transport_test;

namespace {

using ClientRecorder = Recorder<CUdpClientListener, IUdpClient>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPeerPort = 19100;

class UdpClientTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (HasFatalFailure())
            return;
        peer = std::make_unique<DevicePeer>(*net, sandbox::kDeviceAddress, kPeerPort);
        ASSERT_TRUE(peer->ok());
    }
    void TearDown() override
    {
        peer.reset();
        SandboxTest::TearDown();
    }

    // Runs a peer in the device namespace that answers every empty datagram with an
    // empty one (and nothing else) until `quit`.
    std::thread EchoEmpties(std::atomic<bool> &quit, std::atomic<int> &empties)
    {
        return std::thread([this, &quit, &empties] {
            while (!quit) {
                DevicePeer::Datagram d = peer->Receive(50);
                if (!d.ok || !d.bytes.empty())
                    continue;
                ++empties;
                sendto(peer->fd(), "", 0, 0, reinterpret_cast<sockaddr *>(&d.from), sizeof d.from);
            }
        });
    }

    ClientRecorder listener;
    std::unique_ptr<DevicePeer> peer;
};

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

} // namespace

TEST_F(UdpClientTest, FreshSocketDefaults)
{
    CUdpClient client(&listener);
    EXPECT_EQ(client.GetMaxDatagramSize(), 1472);
    EXPECT_EQ(client.GetPoolSize(), 10);
    EXPECT_EQ(client.GetPoolHold(), 40);
    EXPECT_EQ(client.GetDetectAttempts(), 3);
    EXPECT_EQ(client.GetDetectInterval(), 30);
    EXPECT_EQ(client.GetState(), SocketState::Stopped);
}

TEST_F(UdpClientTest, InvalidConfigurationIsRefused)
{
    CUdpClient client(&listener);
    client.SetDetectInterval(-1);
    EXPECT_FALSE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    EXPECT_EQ(client.GetLastErrorCode(), SocketError::InvalidParameter);
    EXPECT_EQ(errno, SysError::InvalidParameter);
    client.SetDetectInterval(30);
    client.SetDetectAttempts(-1);
    EXPECT_FALSE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    EXPECT_EQ(client.GetLastErrorCode(), SocketError::InvalidParameter);
    EXPECT_TRUE(listener.Notices().empty());
}

// The command client's way: synchronous connect, one empty datagram right after
// SocketReady, then request and answer.
TEST_F(UdpClientTest, SynchronousConnectSendsKeepAliveThenRequestAndAnswer)
{
    CUdpClient client(&listener);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr)) << client.GetLastErrorText();
    EXPECT_EQ(client.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Kinds(), (std::vector<std::string>{"BeforeConnect", "Connected", "Ready"}));
    for (const Notice &n : listener.Notices())
        EXPECT_EQ(n.thread, std::this_thread::get_id());

    DevicePeer::Datagram keepAlive = peer->Receive();
    ASSERT_TRUE(keepAlive.ok);
    EXPECT_EQ(keepAlive.bytes, "");
    EXPECT_EQ(Text(keepAlive.from), sandbox::kWorkstationAddress);

    ASSERT_TRUE(client.Send(Data("request"), 7, 0));
    DevicePeer::Datagram request = peer->Receive();
    EXPECT_EQ(request.bytes, "request");
    EXPECT_EQ(ntohs(request.from.sin_port), ntohs(keepAlive.from.sin_port));
    ASSERT_TRUE(listener.WaitFor("Sent", 1));
    EXPECT_EQ(listener.Count("Sent"), 1u); // the keep-alive is not reported

    // Only the peer's datagrams arrive; empty ones are never delivered.
    DevicePeer stranger(*net, sandbox::kDeviceAddress, kPeerPort + 1);
    ASSERT_TRUE(stranger.SendTo(sandbox::kWorkstationAddress, ntohs(request.from.sin_port), "stranger"));
    ASSERT_EQ(sendto(peer->fd(), "", 0, 0, reinterpret_cast<const sockaddr *>(&request.from), sizeof request.from), 0);
    ASSERT_TRUE(peer->SendTo(sandbox::kWorkstationAddress, ntohs(request.from.sin_port), "answer"));
    ASSERT_TRUE(listener.WaitFor("Received", 1));
    std::this_thread::sleep_for(100ms);
    const auto received = listener.OfKind("Received");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].data, "answer");
    EXPECT_NE(received[0].thread, std::this_thread::get_id());

    char text[64];
    int32_t length = sizeof text;
    uint16_t port = 0;
    ASSERT_TRUE(client.GetRemoteHost(text, length, port));
    EXPECT_STREQ(text, sandbox::kDeviceAddress);
    EXPECT_EQ(port, kPeerPort);
    length = sizeof text;
    ASSERT_TRUE(client.GetLocalAddress(text, length, port));
    EXPECT_STREQ(text, sandbox::kWorkstationAddress);
    EXPECT_EQ(port, ntohs(request.from.sin_port));

    ASSERT_TRUE(client.Stop());
    const auto closed = listener.OfKind("Closed");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].operation, CloseOperation::Close);
    EXPECT_EQ(closed[0].code, 0);
}

// A silent peer: keep-alives at connect, 1 s and 2 s; the socket gives up at 3 s
// with (Close, ECONNRESET).
TEST_F(UdpClientTest, KeepAliveGivesUpOnASilentPeer)
{
    CUdpClient client(&listener);
    client.SetDetectInterval(1);
    client.SetDetectAttempts(2);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    std::vector<double> arrivals;
    for (int i = 0; i < 3; ++i) {
        DevicePeer::Datagram d = peer->Receive(2500);
        ASSERT_TRUE(d.ok) << "keep-alive " << i;
        EXPECT_EQ(d.bytes, "");
        arrivals.push_back(Seconds(start));
    }
    ASSERT_TRUE(listener.WaitFor("Closed", 1, 3000ms));
    const double closedAt = Seconds(start);
    EXPECT_LT(arrivals[0], 0.5);
    EXPECT_NEAR(arrivals[1], 1.0, 0.5);
    EXPECT_NEAR(arrivals[2], 2.0, 0.6);
    EXPECT_NEAR(closedAt, 3.0, 0.8);
    const Notice closed = listener.OfKind("Closed")[0];
    EXPECT_EQ(closed.operation, CloseOperation::Close);
    EXPECT_EQ(closed.code, SysError::ConnectionReset);
    EXPECT_NE(closed.thread, std::this_thread::get_id());
    EXPECT_FALSE(peer->Receive(300).ok); // no fourth keep-alive
    WaitUntilStopped(client, 50);
    EXPECT_EQ(client.GetState(), SocketState::Stopped);
}

TEST_F(UdpClientTest, EchoingPeerKeepsASilentLinkOpen)
{
    std::atomic<bool> quit{false};
    std::atomic<int> empties{0};
    std::thread echo = EchoEmpties(quit, empties);
    CUdpClient client(&listener);
    client.SetDetectInterval(1);
    client.SetDetectAttempts(2);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    std::this_thread::sleep_for(4500ms);
    EXPECT_EQ(client.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Count("Closed"), 0u);
    EXPECT_GE(empties, 4);
    EXPECT_EQ(listener.Count("Received"), 0u);
    quit = true;
    echo.join();
}

// Non-empty answers wake the worker but do not reset the counter.
TEST_F(UdpClientTest, NonEmptyAnswersDoNotCountAsKeepAlive)
{
    std::atomic<bool> quit{false};
    std::thread chatty([&] {
        while (!quit) {
            DevicePeer::Datagram d = peer->Receive(50);
            if (d.ok)
                sendto(peer->fd(), "busy", 4, 0, reinterpret_cast<sockaddr *>(&d.from), sizeof d.from);
        }
    });
    CUdpClient client(&listener);
    client.SetDetectInterval(1);
    client.SetDetectAttempts(2);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    ASSERT_TRUE(listener.WaitFor("Closed", 1, 6000ms));
    EXPECT_NEAR(Seconds(start), 3.0, 0.8);
    EXPECT_EQ(listener.OfKind("Closed")[0].code, SysError::ConnectionReset);
    EXPECT_EQ(listener.Count("Received"), 3u);
    quit = true;
    chatty.join();
}

TEST_F(UdpClientTest, KeepAliveOffWhenIntervalOrAttemptsAreZero)
{
    CUdpClient client(&listener);
    client.SetDetectInterval(0);
    client.SetDetectAttempts(1);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    EXPECT_EQ(peer->Receive().bytes, ""); // only the one after connecting
    EXPECT_FALSE(peer->Receive(1500).ok);
    EXPECT_EQ(client.GetState(), SocketState::Started);
}

// 4294968 s in milliseconds is 704 beyond 2^32: a wait computed in int would come
// round every 0.7 s instead of after weeks.
TEST_F(UdpClientTest, HugeKeepAliveIntervalDoesNotWrapIntoAShortOne)
{
    CUdpClient client(&listener);
    client.SetDetectInterval(4294968);
    client.SetDetectAttempts(1);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    EXPECT_EQ(peer->Receive().bytes, ""); // only the one after connecting
    EXPECT_FALSE(peer->Receive(1500).ok);
    EXPECT_EQ(client.GetState(), SocketState::Started);
}

// The ICMP port-unreachable for the keep-alive does not end the socket; once the
// device listens, the next request gets through.
TEST_F(UdpClientTest, ClosedPeerPortDoesNotEndTheSocket)
{
    constexpr uint16_t kClosedPort = 19200;
    CUdpClient client(&listener);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kClosedPort, 0, nullptr));
    std::this_thread::sleep_for(300ms); // the refusal has arrived by now
    ASSERT_TRUE(client.Send(Data("lost"), 4, 0));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(client.GetState(), SocketState::Started);

    DevicePeer late(*net, sandbox::kDeviceAddress, kClosedPort);
    ASSERT_TRUE(late.ok());
    ASSERT_TRUE(client.Send(Data("found"), 5, 0));
    DevicePeer::Datagram d = late.Receive();
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, "found");
    EXPECT_EQ(client.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Count("Closed"), 0u);
}

// A refusal pending when the worker sends: the request is sent again, not lost
// and not fatal.
TEST_F(UdpClientTest, RefusedSendIsRepeated)
{
    constexpr uint16_t kClosedPort = 19201;
    CUdpClient client(&listener);
    client.SetDetectInterval(0); // no keep-alive traffic of its own
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kClosedPort, 0, nullptr));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(client.PauseReceiving(true)); // the worker leaves pending errors alone
    ASSERT_TRUE(client.Send(Data("probe"), 5, 0)); // refused by the closed port
    std::this_thread::sleep_for(300ms);
    DevicePeer late(*net, sandbox::kDeviceAddress, kClosedPort);
    ASSERT_TRUE(client.Send(Data("again"), 5, 0));
    DevicePeer::Datagram d = late.Receive();
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, "again");
    ASSERT_TRUE(client.PauseReceiving(false));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(client.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Count("Closed"), 0u);
}

TEST_F(UdpClientTest, AsynchronousConnectCompletesOnTheWorker)
{
    CUdpClient client(&listener);
    std::atomic<int> sendErrno{0};
    std::atomic<bool> sendResult{true};
    listener.onBeforeConnect = [&](IUdpClient *s) {
        sendResult = s->Send(Data("early"), 5, 0);
        sendErrno = errno;
        return ListenerReply::Proceed;
    };
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 1, nullptr));
    EXPECT_FALSE(sendResult);
    EXPECT_EQ(sendErrno, SysError::InvalidState);
    ASSERT_TRUE(listener.WaitFor("Ready", 1));
    EXPECT_EQ(client.GetState(), SocketState::Started);
    const auto notices = listener.Notices();
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[0].thread, std::this_thread::get_id());
    EXPECT_NE(notices[1].thread, std::this_thread::get_id()); // SocketConnected on the worker
    EXPECT_EQ(notices[1].thread, notices[2].thread);
    EXPECT_EQ(peer->Receive().bytes, ""); // keep-alive after the completion
    ASSERT_TRUE(client.Send(Data("late"), 4, 0));
    EXPECT_EQ(peer->Receive().bytes, "late");
}

TEST_F(UdpClientTest, AbortOnTheWorkerConnectStopsWithoutSocketClosed)
{
    CUdpClient client(&listener);
    listener.onConnected = [](IUdpClient *) { return ListenerReply::Abort; };
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 1, nullptr));
    WaitUntilStopped(client);
    EXPECT_EQ(client.GetState(), SocketState::Stopped);
    EXPECT_EQ(listener.Count("Closed"), 0u);
    EXPECT_EQ(listener.Count("Ready"), 0u);
    EXPECT_FALSE(peer->Receive(200).ok); // no keep-alive either
}

TEST_F(UdpClientTest, StartFailures)
{
    CUdpClient client(&listener);
    EXPECT_FALSE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, "::1"));
    EXPECT_EQ(client.GetLastErrorCode(), SocketError::SocketCreateFailed);
    EXPECT_EQ(errno, SysError::AddressFamilyNotSupported);
    EXPECT_FALSE(client.Start("no-such-device.invalid", kPeerPort, 0, nullptr));
    EXPECT_EQ(client.GetLastErrorCode(), SocketError::SocketCreateFailed);
    EXPECT_EQ(errno, SysError::HostNotFound);
    EXPECT_FALSE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, "10.77.9.9"));
    EXPECT_EQ(client.GetLastErrorCode(), SocketError::SocketBindFailed);
    EXPECT_EQ(errno, EADDRNOTAVAIL);

    listener.onBeforeConnect = [](IUdpClient *) {
        errno = 5;
        return ListenerReply::Abort;
    };
    EXPECT_FALSE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    EXPECT_EQ(client.GetLastErrorCode(), SocketError::SocketPrepareFailed);
    EXPECT_EQ(errno, 5);
    listener.onBeforeConnect = nullptr;
    listener.onReady = [](IUdpClient *) { return ListenerReply::Abort; };
    EXPECT_FALSE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    EXPECT_EQ(client.GetLastErrorCode(), SocketError::ConnectFailed);
    EXPECT_EQ(errno, SysError::Cancelled);
    EXPECT_FALSE(peer->Receive(200).ok); // no keep-alive after a refused start
    listener.onReady = nullptr;
    EXPECT_EQ(listener.Count("Closed"), 0u);

    // With an explicit bind address of the right family it starts; without one no
    // bind is made, and either way an id is assigned.
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, sandbox::kWorkstationAddress));
    EXPECT_NE(client.GetConnectionId(), 0u);
    const uint32_t first = client.GetConnectionId();
    ASSERT_TRUE(client.Stop());
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, ""));
    EXPECT_NE(client.GetConnectionId(), first);
}

TEST_F(UdpClientTest, AbortAndStopFromDatagramReceived)
{
    CUdpClient client(&listener);
    std::atomic<bool> stopResult{false};
    listener.onReceived = [&](IUdpClient *s, const uint8_t *data, int32_t) {
        if (data[0] == 's') {
            stopResult = s->Stop();
            return ListenerReply::Proceed;
        }
        return ListenerReply::Abort;
    };
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    DevicePeer::Datagram keepAlive = peer->Receive();
    ASSERT_TRUE(keepAlive.ok);
    ASSERT_TRUE(peer->SendTo(sandbox::kWorkstationAddress, ntohs(keepAlive.from.sin_port), "abort"));
    ASSERT_TRUE(listener.WaitFor("Closed", 1));
    EXPECT_EQ(listener.OfKind("Closed")[0].operation, CloseOperation::Receive);
    EXPECT_EQ(listener.OfKind("Closed")[0].code, SysError::Cancelled);

    WaitUntilStopped(client);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    keepAlive = peer->Receive();
    ASSERT_TRUE(peer->SendTo(sandbox::kWorkstationAddress, ntohs(keepAlive.from.sin_port), "stop"));
    ASSERT_TRUE(listener.WaitFor("Closed", 2));
    WaitUntilStopped(client);
    EXPECT_TRUE(stopResult);
    EXPECT_EQ(listener.OfKind("Closed")[1].operation, CloseOperation::Close);
    EXPECT_EQ(client.GetState(), SocketState::Stopped);
}

// A datagram of exactly maxDatagramSize is delivered whole; a longer one is dropped
// and counted without being delivered, and the socket keeps running: the peer's
// next datagram arrives.
TEST_F(UdpClientTest, OversizeDatagramIsDroppedAndTheSocketGoesOn)
{
    CUdpClient client(&listener);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    DevicePeer::Datagram keepAlive = peer->Receive();
    ASSERT_TRUE(keepAlive.ok);
    const uint16_t port = ntohs(keepAlive.from.sin_port);
    ASSERT_TRUE(peer->SendTo(sandbox::kWorkstationAddress, port, std::string(1472, 'y')));
    ASSERT_TRUE(peer->SendTo(sandbox::kWorkstationAddress, port, std::string(1473, 'x')));
    ASSERT_TRUE(peer->SendTo(sandbox::kWorkstationAddress, port, "answer"));
    ASSERT_TRUE(listener.WaitFor("Received", 2));
    const std::vector<Notice> received = listener.OfKind("Received");
    EXPECT_EQ(received[0].data, std::string(1472, 'y'));
    EXPECT_EQ(received[1].data, "answer");
    EXPECT_EQ(client.GetOversizeDropped(), 1u);
    EXPECT_EQ(client.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Count("Closed"), 0u);
}

TEST_F(UdpClientTest, GetRemoteHostReportsTheNeededLength)
{
    CUdpClient client(&listener);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    char text[32];
    int32_t length = 9; // "10.77.0.2" needs 10
    uint16_t port = 0;
    EXPECT_FALSE(client.GetRemoteHost(text, length, port));
    EXPECT_EQ(length, 10);
    ASSERT_TRUE(client.Stop());
    length = sizeof text;
    EXPECT_FALSE(client.GetRemoteHost(text, length, port)); // emptied by the stop
    int32_t pending = -1;
    EXPECT_FALSE(client.GetPendingBytes(pending));
    EXPECT_EQ(pending, 0);
}

namespace {

uint16_t InternetChecksum(const uint8_t *data, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2)
        sum += static_cast<uint32_t>(data[length - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// An ICMP error message, as any host on the LAN can send it, quoting a datagram
// from 10.77.0.1:clientPort to the peer.
std::vector<uint8_t> ForgedIcmp(uint8_t type, uint8_t code, uint16_t clientPort)
{
    std::vector<uint8_t> m(8 + 20 + 8, 0);
    m[0] = type;
    m[1] = code;
    if (type == 3 && code == 4)
        m[6] = 0x02, m[7] = 0x40; // fragmentation needed: next-hop MTU 576
    uint8_t *ip = &m[8];
    ip[0] = 0x45;
    ip[3] = 20 + 8 + 5; // total length of the quoted datagram
    ip[8] = 64;         // TTL
    ip[9] = IPPROTO_UDP;
    const in_addr_t from = inet_addr("10.77.0.1"), to = inet_addr(sandbox::kDeviceAddress);
    std::memcpy(ip + 12, &from, 4);
    std::memcpy(ip + 16, &to, 4);
    uint8_t *udp = ip + 20;
    udp[0] = static_cast<uint8_t>(clientPort >> 8), udp[1] = static_cast<uint8_t>(clientPort);
    udp[2] = kPeerPort >> 8, udp[3] = kPeerPort & 0xff;
    udp[5] = 8 + 5;
    const uint16_t sum = InternetChecksum(m.data(), m.size());
    m[2] = static_cast<uint8_t>(sum >> 8), m[3] = static_cast<uint8_t>(sum);
    return m;
}

} // namespace

// Every kind of ICMP error that Linux reports on a connected socket, forged from the
// device side: each is counted, none ends the socket, and the answer still arrives.
TEST_F(UdpClientTest, ForgedIcmpErrorsOfEveryKindAreCountedAndTheSocketGoesOn)
{
    int raw = -1;
    net->RunInDevice([&] { raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP); });
    ASSERT_GE(raw, 0) << "a raw socket in the sandbox: " << std::strerror(errno);
    CUdpClient client(&listener);
    ASSERT_TRUE(client.Start(sandbox::kDeviceAddress, kPeerPort, 0, nullptr));
    const DevicePeer::Datagram keepAlive = peer->Receive();
    ASSERT_TRUE(keepAlive.ok);
    const uint16_t clientPort = ntohs(keepAlive.from.sin_port);

    // Destination unreachable: protocol, port, fragmentation needed, network and
    // host unknown, host isolated, network and host prohibited, packet filtered; then
    // parameter problem. (Linux reports the others, such as plain host unreachable,
    // only to sockets that ask for IP_RECVERR.)
    const std::vector<std::pair<uint8_t, uint8_t>> kinds{{3, 2}, {3, 3},  {3, 4},  {3, 6},  {3, 7},
                                                          {3, 8}, {3, 9}, {3, 10}, {3, 13}, {12, 0}};
    sockaddr_in workstation = Ipv4("10.77.0.1", 0);
    for (const auto &[type, code] : kinds) {
        const uint64_t before = client.GetIcmpErrors();
        const std::vector<uint8_t> message = ForgedIcmp(type, code, clientPort);
        ASSERT_EQ(sendto(raw, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&workstation),
                         sizeof workstation),
                  static_cast<ssize_t>(message.size()));
        const auto deadline = Clock::now() + 2s;
        while (client.GetIcmpErrors() == before && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_EQ(client.GetIcmpErrors(), before + 1) << "ICMP type " << int(type) << " code " << int(code);
        EXPECT_EQ(client.GetState(), SocketState::Started) << "ICMP type " << int(type) << " code " << int(code);
    }
    close(raw);

    ASSERT_TRUE(client.Send(Data("request"), 7, 0));
    DevicePeer::Datagram request;
    do
        request = peer->Receive();
    while (request.ok && request.bytes.empty());
    ASSERT_EQ(request.bytes, "request");
    ASSERT_TRUE(peer->SendTo("10.77.0.1", clientPort, "answer"));
    ASSERT_TRUE(listener.WaitFor("Received", 1));
    EXPECT_EQ(listener.OfKind("Received")[0].data, "answer");
    EXPECT_EQ(listener.Count("Closed"), 0u);
}
