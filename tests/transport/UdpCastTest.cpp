// CUdpCast inside the network sandbox: the workstation side is this test's
// namespace (brw0, 10.77.0.1), simulated devices live in the device namespace
// (brd0, 10.77.0.2) at the other end of a veth pair.
#include <gtest/gtest.h>

#include <net/if.h>

#include <algorithm>
#include <map>
#include <fstream>
#include <sstream>

#include "SandboxFixture.h"
#include "TransportTestSupport.h"
#include "transport/UdpCast.h"

using namespace transport_test;

namespace {

using CastRecorder = Recorder<CUdpCastListener, IUdpCast>;

constexpr uint16_t kDevicePort = 19010;
constexpr uint16_t kLocalPort = 19009;

class UdpCastTest : public SandboxTest {
protected:
    // The searcher's way of starting a socket on the workstation address.
    bool StartSearcher(CUdpCast &cast, const char *bindAddress = sandbox::kWorkstationAddress)
    {
        cast.SetMulticastLoop(1);
        cast.SetMulticastTtl(1);
        cast.SetCastMode(CastMode::Broadcast);
        return cast.Start(kDevicePort, kLocalPort, 0, bindAddress);
    }

    CastRecorder listener;
};

} // namespace

TEST_F(UdpCastTest, FreshSocketDefaults)
{
    CUdpCast cast(&listener);
    EXPECT_EQ(cast.GetState(), SocketState::Stopped);
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::Ok);
    EXPECT_STREQ(cast.GetLastErrorText(), "SUCCESS");
    EXPECT_EQ(cast.GetMaxDatagramSize(), 1472);
    EXPECT_EQ(cast.GetPoolSize(), 10);
    EXPECT_EQ(cast.GetPoolHold(), 40);
    EXPECT_EQ(cast.GetMulticastTtl(), 1);
    EXPECT_EQ(cast.GetMulticastLoop(), 0);
    EXPECT_EQ(cast.GetCastMode(), CastMode::Multicast);
    EXPECT_EQ(cast.GetReuseAddress(), 0);
    EXPECT_FALSE(cast.IsEncrypted());
    int32_t pending = -1;
    EXPECT_FALSE(cast.GetPendingBytes(pending));
    EXPECT_EQ(pending, 0);
    EXPECT_EQ(cast.Stop(), false);
    EXPECT_EQ(errno, SysError::InvalidOperation);
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::IllegalState);
}

// The searcher's broadcast: the queued bytes leave 10.77.0.1:19009 for
// 255.255.255.255:19010 unchanged, and a device receives them.
TEST_F(UdpCastTest, BroadcastPortFormPutsExactBytesOnTheWire)
{
    DevicePeer device(*net, "0.0.0.0", kDevicePort);
    ASSERT_TRUE(device.ok());
    CUdpCast cast(&listener);
    ASSERT_TRUE(StartSearcher(cast)) << cast.GetLastErrorText() << " errno " << errno;
    EXPECT_EQ(cast.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Kinds(), (std::vector<std::string>{"BeforeConnect", "Connected", "Ready"}));
    EXPECT_NE(cast.GetConnectionId(), 0u);

    std::string request("\x00\x01search\xff", 9);
    ASSERT_TRUE(cast.Send(Data(request), Size(request), 0));
    DevicePeer::Datagram d = device.Receive();
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, request);
    EXPECT_EQ(Text(d.from), sandbox::kWorkstationAddress);
    EXPECT_EQ(ntohs(d.from.sin_port), kLocalPort);
    EXPECT_EQ(d.destination, "255.255.255.255");

    ASSERT_TRUE(listener.WaitFor("Sent", 1));
    EXPECT_EQ(listener.OfKind("Sent")[0].data, request);

    char text[64];
    int32_t length = sizeof text;
    uint16_t port = 0;
    ASSERT_TRUE(cast.GetLocalAddress(text, length, port));
    EXPECT_STREQ(text, sandbox::kWorkstationAddress);
    EXPECT_EQ(port, kLocalPort);
    length = sizeof text;
    EXPECT_FALSE(cast.GetRemoteHost(text, length, port)); // the port form stores no remote text

    // The offset selects where the datagram starts.
    std::string framed = "skipPAYLOAD";
    ASSERT_TRUE(cast.Send(Data(framed), 7, 4));
    d = device.Receive();
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, "PAYLOAD");
}

// Devices answer by unicast, or by broadcast when they cannot reach the workstation
// (another subnet): both reach DatagramReceived with the sender's address.
TEST_F(UdpCastTest, UnicastAndBroadcastAnswersReachTheListener)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.5.2/24"));
    DevicePeer sameSubnet(*net, sandbox::kDeviceAddress, kDevicePort);
    DevicePeer otherSubnet(*net, "10.77.5.2", kDevicePort);
    ASSERT_TRUE(sameSubnet.ok() && otherSubnet.ok());
    CUdpCast cast(&listener);
    ASSERT_TRUE(StartSearcher(cast));

    ASSERT_TRUE(sameSubnet.SendTo(sandbox::kWorkstationAddress, kLocalPort, "unicast answer"));
    ASSERT_TRUE(listener.WaitFor("Received", 1));
    ASSERT_TRUE(otherSubnet.SendTo("255.255.255.255", kLocalPort, "broadcast answer"));
    ASSERT_TRUE(listener.WaitFor("Received", 2));
    // A broadcast to another port is not ours.
    ASSERT_TRUE(otherSubnet.SendTo("255.255.255.255", kLocalPort + 5, "other port"));
    ASSERT_TRUE(sameSubnet.SendTo("255.255.255.255", kLocalPort, "from the same subnet"));
    ASSERT_TRUE(listener.WaitFor("Received", 3));
    std::this_thread::sleep_for(100ms);

    const auto received = listener.OfKind("Received");
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].data, "unicast answer");
    EXPECT_EQ(received[0].sender, sandbox::kDeviceAddress);
    EXPECT_EQ(received[0].senderPort, kDevicePort);
    EXPECT_EQ(received[1].data, "broadcast answer");
    EXPECT_EQ(received[1].sender, "10.77.5.2");
    EXPECT_EQ(received[1].senderPort, kDevicePort);
    EXPECT_EQ(received[2].data, "from the same subnet");
    EXPECT_EQ(received[2].sender, sandbox::kDeviceAddress);
    for (const Notice &n : received)
        EXPECT_NE(n.thread, std::this_thread::get_id()); // delivered on the worker
}

// Two addresses on one adapter: both searchers get their own receive-only
// broadcast socket, and both hear a broadcast answer.
TEST_F(UdpCastTest, TwoAddressesOnOneAdapterBothHearBroadcasts)
{
    ASSERT_TRUE(net->AddWorkstationAddress("10.77.0.3/24"));
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CastRecorder second;
    CUdpCast a(&listener), b(&second);
    ASSERT_TRUE(StartSearcher(a));
    ASSERT_TRUE(StartSearcher(b, "10.77.0.3")) << std::strerror(errno);
    ASSERT_TRUE(device.SendTo("255.255.255.255", kLocalPort, "to all"));
    EXPECT_TRUE(listener.WaitFor("Received", 1));
    EXPECT_TRUE(second.WaitFor("Received", 1));
    ASSERT_TRUE(device.SendTo("10.77.0.3", kLocalPort, "to b"));
    EXPECT_TRUE(second.WaitFor("Received", 2));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(listener.Count("Received"), 1u);
}

TEST_F(UdpCastTest, WildcardBindReceivesBothWays)
{
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CUdpCast cast(&listener);
    ASSERT_TRUE(StartSearcher(cast, nullptr));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "u"));
    ASSERT_TRUE(device.SendTo("255.255.255.255", kLocalPort, "b"));
    ASSERT_TRUE(listener.WaitFor("Received", 2));
    DevicePeer everyone(*net, "0.0.0.0", kDevicePort); // hears broadcasts
    // Without a bind address the limited broadcast follows the default route.
    ASSERT_EQ(sandbox::RunCommand({"ip", "route", "add", "default", "dev", sandbox::kWorkstationLink}), 0);
    ASSERT_TRUE(cast.Send(Data("q"), 1, 0));
    DevicePeer::Datagram d = everyone.Receive();
    EXPECT_EQ(d.bytes, "q");
    EXPECT_EQ(d.destination, "255.255.255.255");
}

TEST_F(UdpCastTest, MulticastGroupBothWays)
{
    DevicePeer device(*net, "0.0.0.0", 19020);
    ASSERT_TRUE(device.ok());
    ip_mreq membership{};
    inet_pton(AF_INET, "239.77.0.9", &membership.imr_multiaddr);
    inet_pton(AF_INET, sandbox::kDeviceAddress, &membership.imr_interface);
    ASSERT_EQ(setsockopt(device.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership), 0);
    in_addr out{};
    inet_pton(AF_INET, sandbox::kDeviceAddress, &out);
    ASSERT_EQ(setsockopt(device.fd(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);

    CUdpCast cast(&listener);
    ASSERT_TRUE(cast.Start("239.77.0.9", 19020, 0, sandbox::kWorkstationAddress)) << cast.GetLastErrorText();
    char text[64];
    int32_t length = sizeof text;
    uint16_t port = 0;
    ASSERT_TRUE(cast.GetRemoteHost(text, length, port));
    EXPECT_STREQ(text, "239.77.0.9");
    EXPECT_EQ(port, 19020);

    ASSERT_TRUE(cast.Send(Data("to group"), 8, 0));
    DevicePeer::Datagram d = device.Receive();
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, "to group");
    EXPECT_EQ(d.destination, "239.77.0.9");

    ASSERT_TRUE(device.SendTo("239.77.0.9", 19020, "from device"));
    ASSERT_TRUE(listener.WaitFor("Received", 1));
    EXPECT_EQ(listener.OfKind("Received")[0].sender, sandbox::kDeviceAddress);
}

namespace {

int ReceiveBufferOf(int fd)
{
    int size = -1;
    socklen_t length = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return -1;
    return size;
}

long ReadProcNumber(const char *path)
{
    std::ifstream in(path);
    long value = -1;
    in >> value;
    return in ? value : -1;
}

// Asks for `request` bytes of receive buffer on the socket BeforeConnect hands over
// (0: asks nothing), as the searcher does, and keeps that bound socket's handle.
struct SizingRecorder : CastRecorder {
    int request = 0;
    SocketHandle bound = kInvalidSocket;
    ListenerReply BeforeConnect(IUdpCast *s, uint32_t id, SocketHandle socket) override
    {
        bound = socket;
        if (request > 0)
            setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &request, sizeof request);
        return CastRecorder::BeforeConnect(s, id, socket);
    }
};

} // namespace

// Broadcast and group answers queue up at the receive-only companion: it gets the
// receive buffer BeforeConnect gave the bound socket, capped by rmem_max the same
// way, in both modes and on every start.
TEST_F(UdpCastTest, CompanionGetsTheReceiveBufferOfTheBoundSocket)
{
    const long rmemMax = ReadProcNumber("/proc/sys/net/core/rmem_max");
    const long rmemDefault = ReadProcNumber("/proc/sys/net/core/rmem_default");
    ASSERT_GT(rmemMax, 0);
    ASSERT_GT(rmemDefault, 0);
    SizingRecorder sizing;
    CUdpCast cast(&sizing);
    for (const CastMode mode : {CastMode::Broadcast, CastMode::Multicast}) {
        for (const int request : {0, 1 << 20, 8 << 20}) {
            SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(mode) << ", request " << request);
            sizing.request = request;
            cast.SetCastMode(mode);
            if (mode == CastMode::Broadcast)
                ASSERT_TRUE(cast.Start(kDevicePort, kLocalPort, 0, sandbox::kWorkstationAddress));
            else
                ASSERT_TRUE(cast.Start("239.77.0.9", 19020, 0, sandbox::kWorkstationAddress));
            const int companion = cast.ReceiveOnlySocket();
            ASSERT_GE(companion, 0);
            // The kernel reports twice what it granted, and grants at most rmem_max.
            const long expected = request > 0 ? 2 * std::min<long>(request, rmemMax) : rmemDefault;
            EXPECT_EQ(ReceiveBufferOf(sizing.bound), expected);
            EXPECT_EQ(ReceiveBufferOf(companion), expected);
            ASSERT_TRUE(cast.Stop());
        }
    }
}

// A burst of broadcast answers that the bound socket's buffer would hold all arrive,
// even while the worker does not read (receiving paused): none is lost for want of
// room at the companion.
TEST_F(UdpCastTest, BroadcastBurstFitsTheReceiveBufferAskedFor)
{
    SizingRecorder sizing;
    sizing.request = 8 << 20;
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    ASSERT_TRUE(device.ok());
    CUdpCast cast(&sizing);
    cast.SetCastMode(CastMode::Broadcast);
    ASSERT_TRUE(cast.Start(kDevicePort, kLocalPort, 0, sandbox::kWorkstationAddress));
    const long buffer = ReceiveBufferOf(sizing.bound);
    const long rmemDefault = ReadProcNumber("/proc/sys/net/core/rmem_default");
    if (buffer < 8 * rmemDefault)
        GTEST_SKIP() << "rmem_max leaves no room above the default receive buffer";
    // A 1000-byte datagram takes less than 4 KiB of buffer (data and bookkeeping);
    // the default buffer would hold well under a tenth of the burst.
    const int count = static_cast<int>(std::min<long>(2000, buffer / 4096));
    ASSERT_TRUE(cast.PauseReceiving(true));
    const std::string answer(1000, 'a');
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(device.SendTo("255.255.255.255", kLocalPort, answer));
        if (i % 50 == 49)
            std::this_thread::sleep_for(1ms); // the link's own queue is not under test
    }
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(cast.PauseReceiving(false));
    EXPECT_TRUE(sizing.WaitFor("Received", static_cast<size_t>(count)));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sizing.Count("Received"), static_cast<size_t>(count));
}

TEST_F(UdpCastTest, InvalidConfigurationIsRefusedBeforeAnythingHappens)
{
    CUdpCast cast(&listener);
    auto expectRefused = [&](const char *what) {
        errno = 0;
        EXPECT_FALSE(StartSearcher(cast)) << what;
        EXPECT_EQ(cast.GetLastErrorCode(), SocketError::InvalidParameter) << what;
        EXPECT_EQ(errno, SysError::InvalidParameter) << what;
        EXPECT_EQ(cast.GetState(), SocketState::Stopped) << what;
    };
    cast.SetMaxDatagramSize(0);
    expectRefused("max 0");
    cast.SetMaxDatagramSize(1472);
    cast.SetPoolHold(-1);
    expectRefused("hold -1");
    cast.SetPoolHold(40);
    cast.SetMulticastTtl(256);
    cast.SetCastMode(CastMode::Broadcast);
    errno = 0;
    EXPECT_FALSE(cast.Start(kDevicePort, kLocalPort, 0, sandbox::kWorkstationAddress));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::InvalidParameter);
    cast.SetMulticastTtl(1);
    cast.SetMulticastLoop(2);
    EXPECT_FALSE(cast.Start(kDevicePort, kLocalPort, 0, sandbox::kWorkstationAddress));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::InvalidParameter);
    cast.SetMulticastLoop(0);
    cast.SetCastMode(static_cast<CastMode>(2));
    EXPECT_FALSE(cast.Start(kDevicePort, kLocalPort, 0, sandbox::kWorkstationAddress));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::InvalidParameter);
    EXPECT_TRUE(listener.Notices().empty());
}

TEST_F(UdpCastTest, StartFailuresReportTheirCause)
{
    CUdpCast cast(&listener);
    cast.SetCastMode(CastMode::Broadcast);

    EXPECT_FALSE(cast.Start(kDevicePort, kLocalPort, 0, "fe80::1"));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::SocketCreateFailed);
    EXPECT_EQ(errno, SysError::ProtocolNotSupported);

    EXPECT_FALSE(cast.Start(kDevicePort, kLocalPort, 0, "workstation.local"));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::SocketCreateFailed);
    EXPECT_EQ(errno, SysError::AddressNotAvailable);

    EXPECT_FALSE(cast.Start(kDevicePort, kLocalPort, 0, "10.77.9.9")); // not an address of ours
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::SocketBindFailed);
    EXPECT_EQ(errno, EADDRNOTAVAIL);

    cast.SetCastMode(CastMode::Multicast);
    EXPECT_FALSE(cast.Start("239.1.1.1", kLocalPort, 0, "::1"));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::SocketCreateFailed);
    EXPECT_EQ(errno, SysError::AddressFamilyNotSupported);
    EXPECT_FALSE(cast.Start("no-such-group.invalid", kLocalPort, 0, nullptr));
    EXPECT_EQ(errno, SysError::HostNotFound);
    // Joining a unicast "group" fails the connect step.
    EXPECT_FALSE(cast.Start("10.77.0.2", kLocalPort, 0, sandbox::kWorkstationAddress));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::ConnectFailed);

    // The port is taken by another socket without address reuse.
    int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in taken = Ipv4(sandbox::kWorkstationAddress, kLocalPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&taken), sizeof taken), 0);
    cast.SetCastMode(CastMode::Broadcast);
    EXPECT_FALSE(cast.Start(kDevicePort, kLocalPort, 0, sandbox::kWorkstationAddress));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::SocketBindFailed);
    EXPECT_EQ(errno, EADDRINUSE);
    close(blocker);

    EXPECT_EQ(cast.GetState(), SocketState::Stopped);
    // A failed start fires nothing after BeforeConnect, and never SocketClosed.
    EXPECT_EQ(listener.Count("Closed"), 0u);
    EXPECT_EQ(listener.Count("Ready"), 0u);

    ASSERT_TRUE(StartSearcher(cast)); // and the socket still starts afterwards
}

TEST_F(UdpCastTest, SecondStartIsRefusedAndTheRunningSocketGoesOn)
{
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CUdpCast cast(&listener);
    ASSERT_TRUE(StartSearcher(cast));
    const uint32_t id = cast.GetConnectionId();
    errno = 0;
    EXPECT_FALSE(StartSearcher(cast));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::IllegalState);
    EXPECT_EQ(errno, SysError::InvalidOperation);
    EXPECT_EQ(cast.GetState(), SocketState::Started);
    EXPECT_EQ(cast.GetConnectionId(), id);
    // Configuration cannot change under a running socket.
    cast.SetMaxDatagramSize(4000);
    EXPECT_EQ(cast.GetMaxDatagramSize(), 1472);
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "still here"));
    EXPECT_TRUE(listener.WaitFor("Received", 1));

    // A restarted socket gets a new connection id.
    ASSERT_TRUE(cast.Stop());
    EXPECT_EQ(cast.GetState(), SocketState::Stopped);
    ASSERT_TRUE(StartSearcher(cast));
    EXPECT_NE(cast.GetConnectionId(), id);
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "again"));
    EXPECT_TRUE(listener.WaitFor("Received", 2));
}

TEST_F(UdpCastTest, SendArgumentsAndGatheredDatagrams)
{
    DevicePeer device(*net, "0.0.0.0", kDevicePort);
    CUdpCast cast(&listener);
    const std::string big(1473, 'x');
    errno = 0;
    EXPECT_FALSE(cast.Send(Data("x"), 1, 0)); // not started
    EXPECT_EQ(errno, SysError::InvalidState);
    EXPECT_FALSE(cast.PauseReceiving(true));
    EXPECT_EQ(errno, SysError::InvalidState);

    ASSERT_TRUE(StartSearcher(cast));
    EXPECT_FALSE(cast.Send(nullptr, 5, 0));
    EXPECT_EQ(errno, SysError::InvalidParameter);
    EXPECT_FALSE(cast.Send(Data(big), 0, 0));
    EXPECT_EQ(errno, SysError::InvalidParameter);
    EXPECT_FALSE(cast.Send(Data(big), -3, 0));
    EXPECT_FALSE(cast.Send(Data(big), 1473, 0));
    EXPECT_EQ(errno, SysError::InvalidParameter);

    const std::string k(1000, 'k');
    const GatherBuffer tooBig[] = {{1000, Data(k)}, {1000, Data(k)}};
    EXPECT_FALSE(cast.SendBuffers(tooBig, 2));
    EXPECT_EQ(errno, SysError::IncorrectSize);
    const GatherBuffer nothing[] = {{0, Data(k)}, {0, Data(k)}};
    EXPECT_FALSE(cast.SendBuffers(nothing, 2));
    EXPECT_EQ(errno, SysError::IncorrectSize);
    EXPECT_FALSE(cast.SendBuffers(nullptr, 1));
    EXPECT_EQ(errno, SysError::InvalidParameter);

    const GatherBuffer frame[] = {{4, Data("HEAD")}, {0x80000000u, Data(k)}, {5, Data("-body")}};
    ASSERT_TRUE(cast.SendBuffers(frame, 3));
    ASSERT_TRUE(cast.Send(Data(big), 1472, 1));
    DevicePeer::Datagram d = device.Receive();
    EXPECT_EQ(d.bytes, "HEAD-body");
    d = device.Receive();
    EXPECT_EQ(d.bytes, big.substr(1));
    // The refused calls queued nothing: exactly two datagrams were sent.
    ASSERT_TRUE(listener.WaitFor("Sent", 2));
    EXPECT_FALSE(device.Receive(200).ok);
    EXPECT_EQ(listener.Count("Sent"), 2u);
}

TEST_F(UdpCastTest, ZeroLengthDatagramIsDelivered)
{
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CUdpCast cast(&listener);
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, ""));
    ASSERT_TRUE(listener.WaitFor("Received", 1));
    EXPECT_EQ(listener.OfKind("Received")[0].data, "");
    EXPECT_EQ(listener.OfKind("Received")[0].sender, sandbox::kDeviceAddress);
    EXPECT_EQ(cast.GetState(), SocketState::Started);
}

// A datagram longer than maxDatagramSize is dropped and counted, whether it came to
// the bound socket or to the broadcast companion: its cut-off start is never
// delivered, the socket keeps running and hears the datagram sent right after it,
// and a datagram of exactly maxDatagramSize arrives whole.
TEST_F(UdpCastTest, OversizeDatagramIsDroppedAndTheSocketGoesOn)
{
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CUdpCast cast(&listener);
    cast.SetMaxDatagramSize(100);
    ASSERT_TRUE(StartSearcher(cast));
    const struct {
        const char *to;
        size_t size;
    } cases[] = {{sandbox::kWorkstationAddress, 101}, {"255.255.255.255", 5000}};
    size_t received = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.to);
        ASSERT_TRUE(device.SendTo(c.to, kLocalPort, std::string(c.size, 'o')));
        ASSERT_TRUE(device.SendTo(c.to, kLocalPort, "after"));
        ASSERT_TRUE(listener.WaitFor("Received", ++received));
        EXPECT_EQ(listener.OfKind("Received").back().data, "after");
        EXPECT_EQ(cast.GetOversizeDropped(), received);
    }
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, std::string(100, 'e')));
    ASSERT_TRUE(listener.WaitFor("Received", ++received));
    EXPECT_EQ(listener.OfKind("Received").back().data, std::string(100, 'e'));
    EXPECT_EQ(cast.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Count("Closed"), 0u);
    EXPECT_EQ(cast.GetOversizeDropped(), 2u);
}

TEST_F(UdpCastTest, AbortFromStartNotifications)
{
    CUdpCast cast(&listener);
    // BeforeConnect with a reason: the reason is the start's error.
    listener.onBeforeConnect = [](IUdpCast *) {
        errno = 5;
        return ListenerReply::Abort;
    };
    errno = 0;
    EXPECT_FALSE(StartSearcher(cast));
    EXPECT_EQ(errno, 5);
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::SocketPrepareFailed);
    // Without one: cancelled.
    listener.onBeforeConnect = [](IUdpCast *) { return ListenerReply::Abort; };
    EXPECT_FALSE(StartSearcher(cast));
    EXPECT_EQ(errno, SysError::Cancelled);
    listener.onBeforeConnect = nullptr;

    listener.onConnected = [](IUdpCast *) { return ListenerReply::Abort; };
    EXPECT_FALSE(StartSearcher(cast));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::ConnectFailed);
    EXPECT_EQ(errno, SysError::Cancelled);
    EXPECT_EQ(listener.Count("Ready"), 0u); // SocketReady not fired after an abort
    listener.onConnected = nullptr;

    listener.onReady = [](IUdpCast *) {
        errno = EIO;
        return ListenerReply::Abort;
    };
    EXPECT_FALSE(StartSearcher(cast));
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::ConnectFailed);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(cast.GetState(), SocketState::Stopped);
    EXPECT_EQ(listener.Count("Closed"), 0u);
    // Every start notification ran on the caller's thread.
    for (const Notice &n : listener.Notices())
        EXPECT_EQ(n.thread, std::this_thread::get_id());
}

TEST_F(UdpCastTest, AbortFromDatagramReceivedClosesOnTheWorker)
{
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CUdpCast cast(&listener);
    listener.onReceived = [](IUdpCast *, const uint8_t *data, int32_t) {
        if (data[0] == 'r')
            errno = EPROTO;
        return ListenerReply::Abort;
    };
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "quit"));
    ASSERT_TRUE(listener.WaitFor("Closed", 1));
    Notice closed = listener.OfKind("Closed")[0];
    EXPECT_EQ(closed.operation, CloseOperation::Receive);
    EXPECT_EQ(closed.code, SysError::Cancelled);
    EXPECT_NE(closed.thread, std::this_thread::get_id());
    WaitUntilStopped(cast);
    EXPECT_EQ(cast.GetState(), SocketState::Stopped);
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::Ok); // worker failures leave it alone

    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "reason"));
    ASSERT_TRUE(listener.WaitFor("Closed", 2));
    EXPECT_EQ(listener.OfKind("Closed")[1].code, EPROTO);
}

TEST_F(UdpCastTest, StopFromInsideDatagramReceived)
{
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CUdpCast cast(&listener);
    std::atomic<bool> stopped{false};
    std::atomic<int> closedBeforeReturn{-1};
    listener.onReceived = [&](IUdpCast *s, const uint8_t *, int32_t) {
        stopped = s->Stop();
        closedBeforeReturn = static_cast<int>(listener.Count("Closed"));
        return ListenerReply::Proceed;
    };
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "one"));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "two"));
    ASSERT_TRUE(listener.WaitFor("Closed", 1));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(closedBeforeReturn, 1);
    Notice closed = listener.OfKind("Closed")[0];
    EXPECT_EQ(closed.operation, CloseOperation::Close);
    EXPECT_EQ(closed.code, 0);
    EXPECT_EQ(closed.thread, listener.OfKind("Received")[0].thread); // on the worker
    EXPECT_EQ(listener.Count("Received"), 1u); // nothing after the stop
    EXPECT_EQ(cast.GetState(), SocketState::Stopped);

    // The socket starts again, from the same thread that just stopped it.
    listener.onReceived = nullptr;
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "three"));
    EXPECT_TRUE(listener.WaitFor("Received", 2));
}

TEST_F(UdpCastTest, RestartFromInsideDatagramReceived)
{
    DevicePeer device(*net, sandbox::kDeviceAddress, kDevicePort);
    CUdpCast cast(&listener);
    std::atomic<bool> restarted{false};
    listener.onReceived = [&](IUdpCast *s, const uint8_t *data, int32_t) {
        if (data[0] == 'r') {
            s->Stop();
            restarted = StartSearcher(static_cast<CUdpCast &>(*s));
        }
        return ListenerReply::Proceed;
    };
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "restart"));
    ASSERT_TRUE(listener.WaitFor("Received", 1));
    for (int i = 0; i < 100 && !restarted; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(restarted);
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "after"));
    ASSERT_TRUE(listener.WaitFor("Received", 2));
    const auto received = listener.OfKind("Received");
    EXPECT_NE(received[0].thread, received[1].thread); // a new worker took over
}

TEST_F(UdpCastTest, TwoThreadsStoppingTogether)
{
    CUdpCast cast(&listener);
    // A slow close keeps the first Stop busy while the second one arrives.
    listener.onClosed = [](IUdpCast *, CloseOperation, int32_t) { std::this_thread::sleep_for(200ms); };
    ASSERT_TRUE(StartSearcher(cast));
    std::atomic<int> wins{0}, losses{0};
    std::atomic<bool> lossSawStopped{false};
    std::atomic<int> lossErrno{0};
    auto stopper = [&] {
        if (cast.Stop()) {
            ++wins;
        } else {
            ++losses;
            lossErrno = errno;
            lossSawStopped = cast.GetState() == SocketState::Stopped;
        }
    };
    std::thread a(stopper), b(stopper);
    a.join();
    b.join();
    EXPECT_EQ(wins, 1);
    EXPECT_EQ(losses, 1);
    EXPECT_TRUE(lossSawStopped); // the loser waited for the stop to finish
    EXPECT_EQ(lossErrno, SysError::InvalidOperation);
    EXPECT_EQ(cast.GetLastErrorCode(), SocketError::IllegalState);
    EXPECT_EQ(listener.Count("Closed"), 1u);
}

TEST_F(UdpCastTest, StartOrStopFromInsideSocketClosedIsRefused)
{
    CUdpCast cast(&listener);
    std::atomic<bool> started{true}, stopped{true};
    std::atomic<SocketError> startError{SocketError::Ok};
    listener.onClosed = [&](IUdpCast *s, CloseOperation, int32_t) {
        started = StartSearcher(static_cast<CUdpCast &>(*s));
        startError = s->GetLastErrorCode();
        stopped = s->Stop(); // must not wait for its own Stop to finish
    };
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(cast.Stop());
    EXPECT_FALSE(started);
    EXPECT_EQ(startError, SocketError::IllegalState);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(cast.GetState(), SocketState::Stopped);
}

TEST_F(UdpCastTest, PausedSocketProcessesNoNetworkEvents)
{
    DevicePeer device(*net, "0.0.0.0", kDevicePort);
    CUdpCast cast(&listener);
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(cast.PauseReceiving(true));
    bool paused = false;
    EXPECT_TRUE(cast.IsReceivingPaused(paused));
    EXPECT_TRUE(paused);
    ASSERT_TRUE(device.SendTo(sandbox::kWorkstationAddress, kLocalPort, "held"));
    // Sending goes on while paused.
    ASSERT_TRUE(cast.Send(Data("out"), 3, 0));
    EXPECT_EQ(device.Receive().bytes, "out");
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(listener.Count("Received"), 0u);

    ASSERT_TRUE(cast.PauseReceiving(false));
    ASSERT_TRUE(listener.WaitFor("Received", 1));
    EXPECT_EQ(listener.OfKind("Received")[0].data, "held");
}

TEST_F(UdpCastTest, UserDataSurvivesRestarts)
{
    CUdpCast cast(&listener);
    int marker = 0;
    cast.SetUserData(&marker);
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(cast.Stop());
    EXPECT_EQ(cast.GetUserData(), &marker);
}

// ---- send pool ----

// Holds the worker inside the first DatagramSent until released, so that the
// following sends pile up in the queue.
struct SendGate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    bool entered = false;

    ListenerReply Pass()
    {
        std::unique_lock<std::mutex> guard(lock);
        entered = true;
        changed.notify_all();
        changed.wait(guard, [&] { return open; });
        return ListenerReply::Proceed;
    }
    void WaitEntered()
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
};

TEST_F(UdpCastTest, BurstOfFortyOneKeepsAtMostFortyBuffers)
{
    DevicePeer device(*net, "0.0.0.0", kDevicePort);
    CUdpCast cast(&listener);
    SendGate gate;
    listener.onSent = [&](IUdpCast *, const uint8_t *, int32_t) { return gate.Pass(); };
    ASSERT_TRUE(StartSearcher(cast));
    EXPECT_EQ(cast.Pool().Free().Capacity(), 40u);
    ASSERT_TRUE(cast.Send(Data("0"), 1, 0));
    gate.WaitEntered();
    for (int i = 1; i <= 40; ++i) {
        std::string n = std::to_string(i);
        ASSERT_TRUE(cast.Send(Data(n), Size(n), 0));
    }
    int32_t pending = 0;
    ASSERT_TRUE(cast.GetPendingBytes(pending));
    EXPECT_EQ(pending, 9 + 31 * 2); // "1".."40" wait in the queue
    EXPECT_EQ(cast.Pool().LiveItems(), 41);
    gate.Open();
    ASSERT_TRUE(listener.WaitFor("Sent", 41));
    for (int i = 0; i <= 40; ++i)
        EXPECT_EQ(device.Receive().bytes, std::to_string(i));
    for (int i = 0; i < 100 && cast.Pool().LiveItems() > 40; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(cast.Pool().Free().Count(), 40);
    EXPECT_EQ(cast.Pool().LiveItems(), 40); // the 41st went back to the heap
    ASSERT_TRUE(cast.GetPendingBytes(pending));
    EXPECT_EQ(pending, 0);

    // Stopping returns every buffer; the next start rebuilds the free list.
    ASSERT_TRUE(cast.Stop());
    listener.onSent = nullptr;
    EXPECT_EQ(cast.Pool().Free().Capacity(), 0u);
    EXPECT_EQ(cast.Pool().LiveItems(), 0);
    cast.SetPoolHold(7);
    ASSERT_TRUE(StartSearcher(cast));
    EXPECT_EQ(cast.Pool().Free().Capacity(), 7u);
}

TEST_F(UdpCastTest, HoldZeroFreesEveryBufferAndStillSends)
{
    DevicePeer device(*net, "0.0.0.0", kDevicePort);
    CUdpCast cast(&listener);
    cast.SetPoolHold(0);
    ASSERT_TRUE(StartSearcher(cast));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(cast.Send(Data("h"), 1, 0));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(device.Receive().bytes, "h");
    ASSERT_TRUE(listener.WaitFor("Sent", 5));
    for (int i = 0; i < 100 && cast.Pool().LiveItems() > 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(cast.Pool().LiveItems(), 0);
    EXPECT_EQ(cast.Pool().Free().Count(), 0);
}

namespace {

// The kernel's count of sends refused for want of send buffer space in this
// thread's network namespace.
long UdpSendBufferErrors()
{
    std::ifstream snmp("/proc/thread-self/net/snmp");
    std::string header, values;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        if (header.rfind("Udp:", 0) != 0)
            continue;
        std::istringstream names(header), numbers(values);
        std::string name, number;
        while (names >> name && numbers >> number)
            if (name == "SndbufErrors")
                return std::stol(number);
    }
    return -1;
}

} // namespace

// With a tiny send buffer and a slow link, sends would block; the refused datagram
// is sent first when the socket becomes writable, so the order holds.
TEST_F(UdpCastTest, OrderIsKeptAcrossWouldBlock)
{
    ASSERT_EQ(sandbox::RunCommand({"tc", "qdisc", "add", "dev", sandbox::kWorkstationLink, "root", "tbf", "rate",
                                   "800kbit", "burst", "1600", "latency", "10s"}),
              0);
    DevicePeer device(*net, "0.0.0.0", kDevicePort);
    int socketHandle = -1;
    struct Small : CastRecorder {
        int *handle = nullptr;
        ListenerReply BeforeConnect(IUdpCast *s, uint32_t id, SocketHandle fd) override
        {
            *handle = fd;
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &one, sizeof one); // the kernel's minimum
            return CastRecorder::BeforeConnect(s, id, fd);
        }
    } small;
    small.handle = &socketHandle;
    CUdpCast slow(&small);
    slow.SetCastMode(CastMode::Broadcast);
    ASSERT_TRUE(slow.Start(kDevicePort, kLocalPort, 0, sandbox::kWorkstationAddress));
    ASSERT_GE(socketHandle, 0);

    const long refusedBefore = UdpSendBufferErrors();
    constexpr int kCount = 40;
    for (int i = 0; i < kCount; ++i) {
        std::string d = std::to_string(i) + ":" + std::string(1000, 'p');
        ASSERT_TRUE(slow.Send(Data(d), Size(d), 0));
    }
    for (int i = 0; i < kCount; ++i) {
        DevicePeer::Datagram d = device.Receive(5000);
        ASSERT_TRUE(d.ok) << "datagram " << i;
        EXPECT_EQ(d.bytes.substr(0, d.bytes.find(':')), std::to_string(i));
    }
    EXPECT_GT(UdpSendBufferErrors(), refusedBefore); // the socket did report would-block
    ASSERT_TRUE(small.WaitFor("Sent", kCount));
    int32_t pending = -1;
    EXPECT_TRUE(slow.GetPendingBytes(pending));
    EXPECT_EQ(pending, 0);
}

// Senders race with stops and restarts: a send either queues on a running socket or
// fails with ENOTCONN; no buffer is touched after its pool was released.
TEST_F(UdpCastTest, SendsRacingStopAndStart)
{
    CUdpCast cast(&listener);
    ASSERT_TRUE(StartSearcher(cast));
    std::atomic<bool> quit{false};
    std::atomic<long> queued{0}, refused{0}, otherErrors{0};
    auto sender = [&](bool gather) {
        const GatherBuffer pieces[] = {{3, Data("abc")}, {4, Data("defg")}};
        while (!quit) {
            const bool ok = gather ? cast.SendBuffers(pieces, 2) : cast.Send(Data("hijk"), 4, 0);
            if (ok)
                ++queued;
            else if (errno == SysError::InvalidState)
                ++refused;
            else
                ++otherErrors;
        }
    };
    std::thread a(sender, false), b(sender, true);
    int restarts = 0;
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(2ms);
        ASSERT_TRUE(cast.Stop());
        std::this_thread::sleep_for(1ms);
        restarts += StartSearcher(cast);
    }
    quit = true;
    a.join();
    b.join();
    EXPECT_EQ(restarts, 40);
    EXPECT_GT(queued, 0);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(otherErrors, 0);
    EXPECT_EQ(listener.Count("Closed"), 40u);
}

// Start on one thread, Stop on another, over and over. A Stop that comes while a
// Start is still setting up makes that Start fail (silently: no SocketClosed);
// every Start that succeeded ends with exactly one SocketClosed.
TEST_F(UdpCastTest, StartAndStopFromTwoThreads)
{
    CUdpCast cast(&listener);
    std::atomic<bool> quit{false};
    std::atomic<long> stops{0};
    std::thread stopper([&] {
        while (!quit) {
            if (cast.Stop()) {
                ++stops;
                std::this_thread::sleep_for(100us); // give some Starts a chance to finish
            } else {
                std::this_thread::yield();
            }
        }
    });
    long starts = 0, interrupted = 0;
    for (int i = 0; i < 200; ++i) {
        if (StartSearcher(cast)) {
            ++starts;
            continue;
        }
        // errno, not GetLastErrorCode: the stopper's refused Stops overwrite that.
        if (errno != SysError::InvalidOperation)
            ++interrupted; // a Stop came in while this Start was setting up
        // Let the Stop under way finish before the next try.
        while (cast.GetState() != SocketState::Stopped)
            std::this_thread::yield();
    }
    quit = true;
    stopper.join();
    if (cast.Stop())
        ++stops;
    EXPECT_GT(starts + interrupted, 0);
    EXPECT_EQ(stops, starts + interrupted);
    EXPECT_EQ(cast.GetState(), SocketState::Stopped);
    EXPECT_EQ(listener.Count("Closed"), static_cast<size_t>(starts));
    EXPECT_EQ(cast.Pool().LiveItems(), 0);
}

// A send that fails (here the interface is down: ENETUNREACH) loses only that
// datagram: it is counted by its errno, the socket stays Started with its broadcast
// receivers, and once the link is back it hears answers again and sends again.
TEST_F(UdpCastTest, FailedSendIsCountedAndTheSocketKeepsReceiving)
{
    DevicePeer device(*net, "0.0.0.0", kDevicePort);
    ASSERT_TRUE(device.ok());
    CUdpCast cast(&listener);
    cast.SetInterface(if_nametoindex(sandbox::kWorkstationLink), {htonl(INADDR_BROADCAST)});
    ASSERT_TRUE(StartSearcher(cast));
    ASSERT_TRUE(cast.ReceiveOnlySocket() >= 0);
    ASSERT_EQ(sandbox::RunCommand({"ip", "link", "set", sandbox::kWorkstationLink, "down"}), 0);
    ASSERT_TRUE(cast.Send(Data(std::string("lost")), 4, 0));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (cast.SendErrorCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(sandbox::RunCommand({"ip", "link", "set", sandbox::kWorkstationLink, "up"}), 0);
    EXPECT_EQ(cast.SendErrors(), (std::map<int, uint64_t>{{ENETUNREACH, 1}}));
    EXPECT_EQ(cast.GetState(), SocketState::Started);
    EXPECT_EQ(listener.Count("Closed"), 0u);

    // The link needs a moment after coming up: answer until one is heard.
    DevicePeer answering(*net, sandbox::kDeviceAddress, kDevicePort);
    bool heard = false;
    for (int i = 0; i < 40 && !heard; ++i) {
        answering.SendTo("255.255.255.255", kLocalPort, "broadcast answer");
        heard = listener.WaitFor("Received", 1, 100ms);
    }
    EXPECT_TRUE(heard);
    ASSERT_TRUE(cast.Send(Data(std::string("again")), 5, 0));
    DevicePeer::Datagram d = device.Receive();
    EXPECT_TRUE(d.ok && d.bytes == "again");
}

// Tied to an interface, a socket opens exactly the receivers it is given there, and
// an address that two interfaces carry can have a socket on each on the same port.
TEST_F(UdpCastTest, InterfaceTiedSocketsShareAnAddressAcrossInterfaces)
{
    ASSERT_EQ(sandbox::RunCommand({"ip", "link", "add", "brx0", "type", "veth", "peer", "name", "brx1"}), 0);
    ASSERT_EQ(sandbox::RunCommand({"ip", "addr", "add", "10.77.0.1/24", "dev", "brx0"}), 0);
    ASSERT_EQ(sandbox::RunCommand({"ip", "link", "set", "brx0", "up"}), 0);
    CastRecorder second;
    CUdpCast a(&listener), b(&second), untied(&second);
    a.SetInterface(if_nametoindex(sandbox::kWorkstationLink), {htonl(INADDR_BROADCAST), inet_addr("10.77.0.255")});
    b.SetInterface(if_nametoindex("brx0"), {});
    ASSERT_TRUE(StartSearcher(a)) << std::strerror(errno);
    ASSERT_TRUE(StartSearcher(b)) << std::strerror(errno);
    EXPECT_EQ(a.Companions().size(), 2u);
    EXPECT_EQ(b.Companions().size(), 0u);
    EXPECT_EQ(a.CompanionFailure(), "");
    // A socket on no interface in particular conflicts with both.
    EXPECT_FALSE(StartSearcher(untied));
    EXPECT_EQ(errno, EADDRINUSE);
}
