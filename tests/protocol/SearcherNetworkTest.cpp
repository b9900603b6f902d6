// The searchers on the wire, inside the network sandbox: the requests they send,
// the answers they receive by unicast and broadcast, their recovery when their
// socket has stopped, and the group's stop while answers pour in.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SandboxFixture.h"
#include "SearchTestSupport.h"
#include "transport/LinuxPortHolder.h"
#include "protocol/Frame.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"
#include "transport/IUdpCast.h"
#include "transport/UdpCast.h"

using namespace searchtest;
using std::chrono::milliseconds;

namespace {

const std::string kSearchBody = "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/searchbrenu.htm\"}";

class SearchNetwork : public SearchSandboxTest {
protected:
    // A listener on the devices' search port.
    std::unique_ptr<DeviceSocket> SearchListener()
    {
        auto socket = std::make_unique<DeviceSocket>(*net, "0.0.0.0", QUdpCast::kDestinationPort);
        EXPECT_TRUE(socket->ok()) << socket->error();
        return socket;
    }

    long Elapsed(Clock::time_point from, Clock::time_point to)
    {
        return static_cast<long>(std::chrono::duration_cast<milliseconds>(to - from).count());
    }
};

// A searcher of its own, started like the group starts it and stopped like the group
// stops it.
struct RunningSearcher {
    RunningSearcher(const std::string &address, QUdpCastGroup *group)
        : RunningSearcher(new QUdpCast(address, group, false))
    {
    }
    // Takes a searcher just constructed (its worker not yet started).
    explicit RunningSearcher(QUdpCast *constructed) : searcher(constructed) { searcher->Start(); }
    ~RunningSearcher()
    {
        searcher->RequestStop(true);
        while (!searcher->HasExited())
            std::this_thread::sleep_for(milliseconds(10));
        delete searcher;
    }
    QUdpCast *searcher;
};

// A searcher that also notes how its socket closed. A datagram "fail" makes its
// listener answer Abort, a failure that ends the socket like a receive error does.
class ClosingSearcher : public QUdpCast {
public:
    using QUdpCast::QUdpCast;
    ListenerReply DatagramReceived(IUdpCast *sender, uint32_t connectionId, const uint8_t *data,
                                   int32_t length) override
    {
        if (std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(length)) == "fail")
            return ListenerReply::Abort;
        return QUdpCast::DatagramReceived(sender, connectionId, data, length);
    }
    ListenerReply SocketClosed(IUdpCast *sender, uint32_t connectionId, CloseOperation operation,
                               int32_t errorCode) override
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_closes.emplace_back(operation, errorCode);
        }
        return QUdpCast::SocketClosed(sender, connectionId, operation, errorCode);
    }
    std::vector<std::pair<CloseOperation, int32_t>> Closes()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_closes;
    }

private:
    std::mutex m_lock;
    std::vector<std::pair<CloseOperation, int32_t>> m_closes;
};

} // namespace

TEST_F(SearchNetwork, OneSearcherPerAddressSendsTheExactRequestByBroadcast)
{
    ASSERT_TRUE(net->AddWorkstationAddress("10.77.0.5/24"));
    auto listener = SearchListener();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    // lo (127.0.0.1) gets none; 10.77.0.1 and 10.77.0.5 get one each.
    EXPECT_EQ(group.SearcherCount(), 2);

    const std::string expected = "KTRW0001" + std::string(14, '0') + "75" + kSearchBody;
    ASSERT_EQ(expected.size(), 99u);
    std::map<std::string, int> requests;
    Datagram d;
    const auto deadline = Clock::now() + milliseconds(1500);
    // Until the deadline, not until the first quiet moment: on a loaded machine the two
    // searchers' first requests may lie far apart.
    while (Clock::now() < deadline) {
        if (!listener->Receive(d, 100))
            continue;
        EXPECT_EQ(d.bytes, expected);
        EXPECT_EQ(d.fromPort, QUdpCast::kLocalPort);
        EXPECT_EQ(d.to, "255.255.255.255");
        ++requests[d.from];
    }
    group.Stop();
    EXPECT_EQ(group.SearcherCount(), 0);
    EXPECT_EQ(requests, (std::map<std::string, int>{{"10.77.0.1", 1}, {"10.77.0.5", 1}}));
}

TEST(SearchWithoutAddresses, AHostWithOnlyLoopbackRunsNoSearcher)
{
    const std::string error = sandbox::EnterPrivateNetwork();
    ASSERT_TRUE(error.empty()) << error;
    QUdpCastGroup group(nullptr, nullptr);
    group.Start();
    EXPECT_EQ(group.SearcherCount(), 0);
    group.Stop();
}

TEST_F(SearchNetwork, FirstRequestRightAfterStartThenOneEveryInterval)
{
    auto listener = SearchListener();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    const auto started = Clock::now();
    group.Start();
    Datagram first, second;
    ASSERT_TRUE(listener->Receive(first, 1000));
    ASSERT_TRUE(listener->Receive(second, 6000));
    group.Stop();
    // Loose bounds: the machine is shared and the searcher paces itself in 10 ms steps.
    EXPECT_LT(Elapsed(started, first.at), 300);
    EXPECT_GE(Elapsed(first.at, second.at), 4900);
    EXPECT_LE(Elapsed(first.at, second.at), 5400);
}

TEST_F(SearchNetwork, UnicastAndBroadcastAnswersOfSimulatedDevicesArrive)
{
    // One device answers by unicast from 10.77.0.2; one, in another subnet that cannot
    // reach the workstation by unicast, answers by broadcast.
    ASSERT_TRUE(net->AddDeviceAddress("10.77.8.2/24"));
    Simulator simulator(*net, {"--device", "serial=NET-UNICAST,address=10.77.0.2,port=8001", "--device",
                               "serial=NET-BROADCAST,address=10.77.8.2,port=8002,answer=broadcast"});
    std::string why;
    ASSERT_TRUE(simulator.WaitReady(5000, why)) << why;

    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    ASSERT_TRUE(collector.WaitForCount(2, 3000)) << simulator.Log();
    group.Stop();
    std::set<std::string> serials;
    for (const std::string &text : collector.Texts())
        serials.insert(SerialOf(text));
    EXPECT_EQ(serials, (std::set<std::string>{"NET-UNICAST", "NET-BROADCAST"}));
    const std::string summary = simulator.Finish();
    EXPECT_GE(SummaryValue(summary, "search_unicast"), 1) << summary;
    EXPECT_GE(SummaryValue(summary, "search_broadcast"), 1) << summary;
    // The simulator saw the request byte for byte.
    EXPECT_NE(simulator.Log().find("len=99 data=KTRW00010000000000000075{"), std::string::npos) << simulator.Log();
}

TEST_F(SearchNetwork, DevicesAnsweringAtOnceThroughTheSocketKeepTheirOwnBuffers)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    DeviceSocket a(*net, "10.77.0.2", 19010);
    DeviceSocket b(*net, "10.77.0.3", 19010);
    ASSERT_TRUE(a.ok() && b.ok());
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    RunningSearcher running("10.77.0.1", &group);
    ASSERT_TRUE(WaitUntil([&] { return running.searcher->Socket()->GetState() == SocketState::Started; }, 2000));

    const std::string fa = SearchAnswerFrame("NET-A");
    const std::string fb = SearchAnswerFrame("NET-B1") + SearchAnswerFrame("NET-B2");
    ASSERT_TRUE(a.SendTo("10.77.0.1", 19009, fa.substr(0, 50)));
    ASSERT_TRUE(b.SendTo("10.77.0.1", 19009, fb.substr(0, 200)));
    ASSERT_TRUE(a.SendTo("10.77.0.1", 19009, fa.substr(50)));
    ASSERT_TRUE(b.SendTo("10.77.0.1", 19009, fb.substr(200)));
    ASSERT_TRUE(collector.WaitForCount(3, 3000));
    std::vector<std::string> serials;
    for (const std::string &text : collector.Texts())
        serials.push_back(SerialOf(text));
    EXPECT_EQ(serials, (std::vector<std::string>{"NET-A", "NET-B1", "NET-B2"}));
}

// A datagram larger than the 1472 bytes the socket takes (a stray or hostile one on
// the LAN) is dropped: the answer right behind it is heard and the socket runs on.
TEST_F(SearchNetwork, OversizeDatagramIsDroppedWithoutMissingTheNextAnswer)
{
    DeviceSocket device(*net, "10.77.0.2", 19010);
    ASSERT_TRUE(device.ok());
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    auto *closing = new ClosingSearcher("10.77.0.1", &group, false);
    RunningSearcher running(closing);
    IUdpCast *socket = running.searcher->Socket();
    ASSERT_TRUE(WaitUntil([&] { return socket->GetState() == SocketState::Started; }, 2000));

    for (const char *to : {"10.77.0.1", "255.255.255.255"}) {
        ASSERT_TRUE(device.SendTo(to, 19009, std::string(2000, 'x')));
        ASSERT_TRUE(device.SendTo(to, 19009, SearchAnswerFrame(std::string("NET-AFTER-") + to)));
    }
    ASSERT_TRUE(collector.WaitForCount(2, 2000));
    std::set<std::string> heard; // two sockets: the order between them is not fixed
    for (const std::string &text : collector.Texts())
        heard.insert(SerialOf(text));
    EXPECT_EQ(heard, (std::set<std::string>{"NET-AFTER-10.77.0.1", "NET-AFTER-255.255.255.255"}));
    EXPECT_EQ(socket->GetOversizeDropped(), 2u);
    EXPECT_EQ(socket->GetState(), SocketState::Started);
    EXPECT_TRUE(closing->Closes().empty());
}

// A socket that ended on a failure is started again at the searcher's next request.
TEST_F(SearchNetwork, SocketEndedByAFailureIsStartedAgainAtTheNextRequest)
{
    auto listener = SearchListener();
    DeviceSocket device(*net, "10.77.0.2", 19010);
    ASSERT_TRUE(device.ok());
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    auto *closing = new ClosingSearcher("10.77.0.1", &group, false);
    RunningSearcher running(closing);
    IUdpCast *socket = running.searcher->Socket();

    Datagram first;
    ASSERT_TRUE(listener->Receive(first, 1000));
    ASSERT_TRUE(device.SendTo("10.77.0.1", 19009, "fail"));
    ASSERT_TRUE(WaitUntil([&] { return socket->GetState() == SocketState::Stopped; }, 2000));
    EXPECT_EQ(closing->Closes(),
              (std::vector<std::pair<CloseOperation, int32_t>>{{CloseOperation::Receive, SysError::Cancelled}}));
    // The searcher is deaf from now on...
    ASSERT_TRUE(device.SendTo("10.77.0.1", 19009, SearchAnswerFrame("NET-DEAF")));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(collector.Count(), 0u);

    // ...until its next periodic request starts the socket again, set up as before.
    Datagram second;
    ASSERT_TRUE(listener->Receive(second, 6000));
    EXPECT_GE(Elapsed(first.at, second.at), 4900);
    EXPECT_EQ(second.bytes, first.bytes);
    EXPECT_EQ(second.from, "10.77.0.1");
    EXPECT_EQ(second.fromPort, QUdpCast::kLocalPort);
    EXPECT_EQ(second.to, "255.255.255.255");
    EXPECT_EQ(socket->GetState(), SocketState::Started);
    EXPECT_EQ(socket->GetCastMode(), CastMode::Broadcast);
    // Answers are heard again, by unicast and by broadcast.
    ASSERT_TRUE(device.SendTo("10.77.0.1", 19009, SearchAnswerFrame("NET-HEARD")));
    ASSERT_TRUE(device.SendTo("255.255.255.255", 19009, SearchAnswerFrame("NET-HEARD-BROADCAST")));
    ASSERT_TRUE(collector.WaitForCount(2, 2000));
    std::set<std::string> heard; // two sockets: the order between them is not fixed
    for (const std::string &text : collector.Texts())
        heard.insert(SerialOf(text));
    EXPECT_EQ(heard, (std::set<std::string>{"NET-HEARD", "NET-HEARD-BROADCAST"}));
    EXPECT_EQ(closing->Closes().size(), 1u);
}

// Another program holds 10.77.0.1:19009: the searcher searches at once from a port
// of its own, hears the answers sent to that port by unicast and by broadcast, names
// the holder once on the standard error, and is back on 19009 at the first request
// after the port was freed.
TEST_F(SearchNetwork, SearcherWhosePortIsHeldSearchesFromAnotherPortAndReturnsOnceItIsFree)
{
    int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in local = sandbox::Ipv4("10.77.0.1", QUdpCast::kLocalPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);

    auto listener = SearchListener();
    DeviceSocket device(*net, sandbox::kDeviceAddress, QUdpCast::kDestinationPort);
    testing::internal::CaptureStderr();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    Datagram request, back;
    QUdpCast::SocketStatus status;
    bool heard = false, returned = false;
    {
        RunningSearcher running("10.77.0.1", &group);
        if (listener->Receive(request, 2000)) {
            device.SendTo("10.77.0.1", request.fromPort, SearchAnswerFrame("OTHER-UNICAST"));
            device.SendTo("255.255.255.255", request.fromPort, SearchAnswerFrame("OTHER-BROADCAST"));
            heard = collector.WaitForCount(2, 2000);
            status = running.searcher->Status();
            close(blocker);
            returned = listener->Receive(back, 6000);
        }
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_NE(request.fromPort, 0) << "no request";
    EXPECT_EQ(request.from, "10.77.0.1");
    EXPECT_NE(request.fromPort, QUdpCast::kLocalPort);
    EXPECT_TRUE(heard);
    EXPECT_EQ(status.use, QUdpCast::SocketUse::OtherPort);
    EXPECT_EQ(status.port, request.fromPort);
    const std::string self = "(pid " + std::to_string(getpid()) + ", this program)";
    EXPECT_NE(status.holder.find(self), std::string::npos) << status.holder;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_NE(errors.find("search from 10.77.0.1: port 19009 is in use by "), std::string::npos) << errors;
    EXPECT_NE(errors.find("searching from port " + std::to_string(request.fromPort) + " instead"), std::string::npos);
    ASSERT_TRUE(returned);
    EXPECT_EQ(back.fromPort, QUdpCast::kLocalPort);
}

// An IPv6 socket on [::]:19009 takes the IPv4 port too; /proc lists it in udp6 only,
// and it is named as the holder.
TEST_F(SearchNetwork, AnIpv6HolderOfThePortIsNamed)
{
    const int blocker = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0) << std::strerror(errno);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(QUdpCast::kLocalPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&any), sizeof any), 0) << std::strerror(errno);
    in_addr address{};
    inet_pton(AF_INET, "10.77.0.1", &address);
    const std::string holder = UdpPortHolder(address.s_addr, QUdpCast::kLocalPort);
    const std::string other = UdpPortHolder(address.s_addr, QUdpCast::kLocalPort + 7);
    close(blocker);
    EXPECT_NE(holder.find("(pid " + std::to_string(getpid()) + ", this program)"), std::string::npos) << holder;
    EXPECT_EQ(other, "");
}

// A request that cannot be sent (the interface is down for a round) is said once and
// costs nothing else: the socket keeps running, unicast answers are heard, and the
// next request leaves once the link is back.
TEST_F(SearchNetwork, FailedRequestIsSaidOnceAndDoesNotDeafenTheSearcher)
{
    auto listener = SearchListener();
    DeviceSocket device(*net, sandbox::kDeviceAddress, QUdpCast::kDestinationPort);
    testing::internal::CaptureStderr();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    auto *searcher = new QUdpCast("10.77.0.1", &group, false);
    searcher->SetTarget(SearchTarget{"10.77.0.1", sandbox::kWorkstationLink, if_nametoindex(sandbox::kWorkstationLink),
                                     {htonl(INADDR_BROADCAST)}});
    Datagram request;
    bool failed = false, heard = false, again = false;
    std::map<int, uint64_t> errors;
    {
        RunningSearcher running(searcher);
        if (listener->Receive(request, 2000) && sandbox::RunCommand({"ip", "link", "set", "brw0", "down"}) == 0) {
            failed = WaitUntil([&] { return !searcher->Status().sendErrors.empty(); }, 6500);
            sandbox::RunCommand({"ip", "link", "set", "brw0", "up"});
            errors = searcher->Status().sendErrors;
            for (int i = 0; i < 40 && !heard; ++i) {
                device.SendTo("10.77.0.1", QUdpCast::kLocalPort, SearchAnswerFrame("STILL-HEARD"));
                heard = collector.WaitForCount(1, 100);
            }
            again = listener->Receive(request, 6000);
        }
    }
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(failed);
    EXPECT_EQ(errors, (std::map<int, uint64_t>{{ENETUNREACH, 1}}));
    EXPECT_TRUE(heard);
    EXPECT_TRUE(again);
    EXPECT_EQ(said, std::string(program_invocation_short_name) +
                        ": search from 10.77.0.1 on brw0: the search request could not be sent (Network is "
                        "unreachable); still listening for answers\n");
}

TEST_F(SearchNetwork, StopWhileAnswersPourInLeavesNoCallbackBehind)
{
    ASSERT_TRUE(net->AddWorkstationAddress("10.77.0.5/24"));
    Collector collector;
    std::atomic<bool> stopped{false};
    std::atomic<int> late{0};
    collector.onText = [&](const std::string &) {
        // A slow window widens the gap between a datagram and its callback.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (stopped.load())
            ++late;
    };
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    ASSERT_EQ(group.SearcherCount(), 2);

    std::atomic<bool> flooding{true};
    std::thread flood = net->StartInDevice([&] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const std::string frame = SearchAnswerFrame("NET-FLOOD");
        sockaddr_in to[2]{};
        const char *targets[2] = {"10.77.0.1", "10.77.0.5"};
        for (int i = 0; i < 2; ++i) {
            to[i].sin_family = AF_INET;
            to[i].sin_port = htons(QUdpCast::kLocalPort);
            inet_pton(AF_INET, targets[i], &to[i].sin_addr);
        }
        for (int n = 0; flooding.load(); ++n) {
            sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&to[n % 2]), sizeof to[0]);
            if (n % 64 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        close(fd);
    });
    ASSERT_TRUE(collector.WaitForCount(200, 5000));
    group.Stop();
    stopped.store(true);
    const size_t atStop = collector.Count();
    std::this_thread::sleep_for(milliseconds(300));
    flooding.store(false);
    flood.join();
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(collector.Count(), atStop);
    EXPECT_EQ(group.SearcherCount(), 0);
}

namespace {

// Reads back the receive buffer that the searcher's own set-up gave the socket.
class ObservedSearcher : public QUdpCast {
public:
    using QUdpCast::QUdpCast;
    ListenerReply BeforeConnect(IUdpCast *sender, uint32_t connectionId, SocketHandle socket) override
    {
        const ListenerReply reply = QUdpCast::BeforeConnect(sender, connectionId, socket);
        int size = 0;
        socklen_t length = sizeof size;
        getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &length);
        receiveBuffer.store(size);
        return reply;
    }
    std::atomic<int> receiveBuffer{-1};
};

long ReadNumber(const char *path)
{
    FILE *file = std::fopen(path, "r");
    long value = -1;
    if (file) {
        if (std::fscanf(file, "%ld", &value) != 1)
            value = -1;
        std::fclose(file);
    }
    return value;
}

} // namespace

TEST_F(SearchNetwork, SearcherSocketAndItsCompanionGetTheLargestReceiveBufferAnOrdinaryUserMayHave)
{
    const long rmemMax = ReadNumber("/proc/sys/net/core/rmem_max");
    ASSERT_GT(rmemMax, 0);
    QUdpCastGroup group(nullptr, nullptr);
    auto *searcher = new ObservedSearcher("10.77.0.1", &group, false);
    RunningSearcher running(searcher); // stopped and deleted on every way out
    ASSERT_TRUE(WaitUntil([&] { return searcher->receiveBuffer.load() >= 0; }, 2000));
    ASSERT_TRUE(WaitUntil([&] { return searcher->Socket()->GetState() == SocketState::Started; }, 2000));
    // Broadcast answers arrive at the socket's receive-only companion, which gets the
    // same buffer.
    auto *cast = dynamic_cast<CUdpCast *>(searcher->Socket());
    ASSERT_NE(cast, nullptr);
    int companion = -1;
    socklen_t length = sizeof companion;
    ASSERT_EQ(getsockopt(cast->ReceiveOnlySocket(), SOL_SOCKET, SO_RCVBUF, &companion, &length), 0);
    // The kernel doubles what it grants, and grants at most rmem_max.
    EXPECT_EQ(searcher->receiveBuffer.load(), 2 * std::min<long>(rmemMax, QUdpCast::kReceiveBufferBytes));
    EXPECT_EQ(companion, searcher->receiveBuffer.load());
}
