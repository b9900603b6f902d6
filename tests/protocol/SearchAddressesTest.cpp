// Which addresses the search covers on a machine set up like real ones, inside the
// network sandbox: an address added with a label (an alias), answers sent to a
// subnet's broadcast address, a broadcast receiver that cannot be made, and
// addresses that appear and vanish while the group runs.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostBridge.h"
#include "SandboxFixture.h"
#include "SearchTestSupport.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"
#include "transport/UdpCast.h"

using namespace searchtest;
using std::chrono::milliseconds;

namespace {

// A new address is searched within one search interval; the rest covers a loaded
// machine (the benchmark measures the real delay).
constexpr int kOnePeriodMs = 5500 + 1000;

using SearchAddresses = SearchSandboxTest;

std::map<std::string, int> CountBySerial(const Collector &collector)
{
    std::map<std::string, int> counts;
    for (const std::string &text : collector.Texts())
        ++counts[SerialOf(text)];
    return counts;
}

size_t CountOf(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

long Since(Clock::time_point from, Clock::time_point to)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(to - from).count());
}

// A hand-made interface list of IPv4 addresses on "brw0" (or on "lo" for 127.x),
// which tests change between rescans; g_fail makes reading it fail. An address
// may carry the interface flags it is listed with after a '/': "10.77.0.7/down".
std::vector<sockaddr_in> g_addresses;
std::vector<ifaddrs> g_entries;
bool g_fail = false;

void SetFakeList(const std::vector<std::string> &addresses)
{
    g_addresses.assign(addresses.size(), sockaddr_in{});
    g_entries.assign(addresses.size(), ifaddrs{});
    for (size_t i = 0; i < addresses.size(); ++i) {
        const std::string address = addresses[i].substr(0, addresses[i].find('/'));
        const std::string state = addresses[i].find('/') == std::string::npos ? "" : addresses[i].substr(address.size() + 1);
        const bool loopback = address.rfind("127.", 0) == 0;
        unsigned flags = loopback ? IFF_UP | IFF_RUNNING | IFF_LOOPBACK : IFF_UP | IFF_RUNNING | IFF_BROADCAST;
        if (state == "down")
            flags &= ~(IFF_UP | IFF_RUNNING);
        else if (state == "nolink")
            flags &= ~IFF_RUNNING;
        g_addresses[i] = sandbox::Ipv4(address.c_str(), 0);
        g_entries[i].ifa_name = const_cast<char *>(loopback ? "lo" : sandbox::kWorkstationLink);
        g_entries[i].ifa_flags = flags;
        g_entries[i].ifa_addr = reinterpret_cast<sockaddr *>(&g_addresses[i]);
        g_entries[i].ifa_next = i + 1 < addresses.size() ? &g_entries[i + 1] : nullptr;
    }
}

int FakeGet(ifaddrs **list)
{
    if (g_fail) {
        errno = EACCES;
        return -1;
    }
    *list = g_entries.empty() ? nullptr : g_entries.data();
    return 0;
}

void FakeRelease(ifaddrs *) {}

} // namespace

// The start and every rescan follow one set of rules: the list's order, loopback
// skipped, an address listed twice on one interface searched once, interfaces down
// or without link left out until they come up, the group's filter applied; a list
// that cannot be read changes nothing.
TEST_F(SearchAddresses, EveryRescanAppliesTheRulesOfTheStart)
{
    QUdpCastGroup group(nullptr, nullptr);
    group.SetInterfaceList(InterfaceListCalls{FakeGet, FakeRelease});
    group.SetAddressFilter([](const std::string &address) { return address != "10.77.8.8"; });
    g_fail = false;
    SetFakeList({"127.0.0.1", "10.77.0.1", "10.77.9.9", "10.77.8.8", "10.77.0.1", "127.0.0.2", "10.77.7.7/down",
                 "10.77.6.6/nolink"});
    group.Start();
    EXPECT_EQ(group.SearchedAddresses(), (std::vector<std::string>{"10.77.0.1", "10.77.9.9"}));

    SetFakeList({"10.77.8.8", "10.77.0.1", "10.77.9.7", "127.0.0.1", "10.77.0.1", "10.77.7.7"});
    EXPECT_TRUE(group.Rescan());
    EXPECT_EQ(group.SearchedAddresses(), (std::vector<std::string>{"10.77.0.1", "10.77.9.7", "10.77.7.7"}));
    EXPECT_EQ(group.SearcherCount(), 3);
    EXPECT_FALSE(group.Rescan());

    g_fail = true;
    EXPECT_FALSE(group.Rescan());
    EXPECT_EQ(group.SearcherCount(), 3);
    g_fail = false;
    SetFakeList({"127.0.0.1"});
    EXPECT_TRUE(group.Rescan());
    EXPECT_EQ(group.SearcherCount(), 0);
    group.Stop();
}

// An alias (listed under the label "brw0:1") gets a working searcher, and answers
// sent to either subnet's broadcast address reach the searcher of that subnet: each
// answer exactly once, whichever of its sockets received it.
TEST_F(SearchAddresses, AliasAddressAndSubnetBroadcastAnswersAreHeardOnceEach)
{
    ASSERT_TRUE(net->AddWorkstationAddress("10.77.5.1/24", "brw0:1"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.5.2/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.5.3/24"));
    Simulator simulator(*net, {"--device", "serial=ALIAS-UNICAST,address=10.77.5.2,port=8001", "--device",
                               "serial=ALIAS-DIRECTED,address=10.77.5.3,port=8002,answer=directed", "--device",
                               "serial=MAIN-DIRECTED,address=10.77.0.2,port=8003,answer=directed", "--device",
                               "serial=MAIN-BROADCAST,address=10.77.0.2,port=8004,answer=broadcast"});
    std::string why;
    ASSERT_TRUE(simulator.WaitReady(5000, why)) << why;

    testing::internal::CaptureStderr();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    EXPECT_EQ(group.SearchedAddresses(), (std::vector<std::string>{"10.77.0.1", "10.77.5.1"}));
    // One round: each searcher's request gets one answer from each device. The
    // unicast device answers both searchers; each directed answer reaches only the
    // searcher of its subnet; each answer to 255.255.255.255 reaches the one
    // receiver of the interface, though two searchers share it.
    const bool all = collector.WaitForCount(8, 3000);
    std::this_thread::sleep_for(milliseconds(300)); // room for a duplicate to show
    group.Stop();
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(all) << simulator.Log();
    EXPECT_EQ(CountBySerial(collector),
              (std::map<std::string, int>{
                  {"ALIAS-UNICAST", 2}, {"ALIAS-DIRECTED", 2}, {"MAIN-DIRECTED", 2}, {"MAIN-BROADCAST", 2}}));
    EXPECT_EQ(errors, "");
    const std::string summary = simulator.Finish();
    EXPECT_EQ(SummaryValue(summary, "search_broadcast"), 6) << summary;
    // The alias searched from its own address.
    EXPECT_NE(simulator.Log().find("rx from=10.77.5.1:19009 to=255.255.255.255:19010"), std::string::npos)
        << simulator.Log();
}

// Another program holds the subnet's broadcast address and port, so that receiver
// cannot be made: the searcher still sends and hears unicast answers and answers to
// 255.255.255.255, and says so once, even when its socket starts again.
TEST_F(SearchAddresses, SearcherWithoutOneBroadcastReceiverStillSearchesAndSaysSoOnce)
{
    const int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in held = sandbox::Ipv4("10.77.0.255", QUdpCast::kLocalPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&held), sizeof held), 0);
    auto listener = std::make_unique<DeviceSocket>(*net, "0.0.0.0", QUdpCast::kDestinationPort);
    ASSERT_TRUE(listener->ok()) << listener->error();

    testing::internal::CaptureStderr();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    auto *searcher = new QUdpCast("10.77.0.1", &group, false);
    searcher->Start();
    Datagram first, second;
    const bool sent = listener->Receive(first, 2000);
    EXPECT_TRUE(WaitUntil([&] { return searcher->Socket()->GetState() == SocketState::Started; }, 2000));
    const bool subnetMissing = dynamic_cast<CUdpCast *>(searcher->Socket())->SubnetBroadcastSocket() < 0;
    DeviceSocket device(*net, sandbox::kDeviceAddress, QUdpCast::kDestinationPort);
    device.SendTo("10.77.0.1", QUdpCast::kLocalPort, SearchAnswerFrame("HEARD-UNICAST"));
    device.SendTo("255.255.255.255", QUdpCast::kLocalPort, SearchAnswerFrame("HEARD-BROADCAST"));
    const bool heard = collector.WaitForCount(2, 2000);
    // A socket that stopped is started again, with the same failure, at the next request.
    searcher->Socket()->Stop();
    const bool again = listener->Receive(second, kOnePeriodMs);
    searcher->RequestStop(true);
    while (!searcher->HasExited())
        std::this_thread::sleep_for(milliseconds(10));
    delete searcher;
    close(blocker);
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(sent && again);
    EXPECT_TRUE(subnetMissing);
    ASSERT_TRUE(heard);
    EXPECT_EQ(CountBySerial(collector), (std::map<std::string, int>{{"HEARD-UNICAST", 1}, {"HEARD-BROADCAST", 1}}));
    EXPECT_EQ(CountOf(errors, "\n"), 1u) << errors;
    EXPECT_NE(errors.find("search from 10.77.0.1: no receiver for broadcast answers (10.77.0.255:19009 on brw0: "),
              std::string::npos)
        << errors;
}

// Another program holds 255.255.255.255:19009 without SO_REUSEADDR before the search
// starts: the group's receiver cannot be bound, so the searcher moves to a port with
// receivers of its own, where a device answering by broadcast is heard, and says who
// holds it; once the port is free it returns to 19009. The other order: with the
// search running, a program binding the port without SO_REUSEADDR is refused and the
// search is not disturbed.
TEST_F(SearchAddresses, HeldBroadcastPortMovesTheSearchToAPortWithReceiversOfItsOwn)
{
    int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in held = sandbox::Ipv4("255.255.255.255", QUdpCast::kLocalPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&held), sizeof held), 0) << std::strerror(errno);
    Simulator simulator(*net, {"--device", "serial=HELD-BROADCAST,address=10.77.0.2,port=8004,answer=broadcast"});
    std::string why;
    ASSERT_TRUE(simulator.WaitReady(5000, why)) << why;

    testing::internal::CaptureStderr();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    const bool heard = collector.WaitForCount(1, 3000);
    const std::vector<QUdpCastGroup::SearcherState> moved = group.SearcherStates();
    close(blocker);
    const bool back = WaitUntil(
        [&] {
            const auto states = group.SearcherStates();
            return !states.empty() && states[0].socket.use == QUdpCast::SocketUse::SearchPort;
        },
        2 * kOnePeriodMs);
    blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int late = bind(blocker, reinterpret_cast<sockaddr *>(&held), sizeof held) == 0 ? 0 : errno;
    close(blocker);
    const size_t before = collector.Texts().size();
    const bool stillHeard = collector.WaitForCount(before + 1, kOnePeriodMs);
    group.Stop();
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(heard) << simulator.Log();
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].socket.use, QUdpCast::SocketUse::OtherPort);
    EXPECT_NE(moved[0].socket.port, QUdpCast::kLocalPort);
    EXPECT_EQ(moved[0].socket.heldBroadcast, "255.255.255.255");
    EXPECT_NE(moved[0].socket.holder.find("(pid " + std::to_string(getpid()) + ", this program)"), std::string::npos)
        << moved[0].socket.holder;
    EXPECT_NE(QUdpCast::PortInUseText(moved[0].socket).find("broadcast port 255.255.255.255:19009 is in use by "),
              std::string::npos);
    EXPECT_NE(errors.find("broadcast port 255.255.255.255:19009 is in use"), std::string::npos) << errors;
    EXPECT_TRUE(back);
    EXPECT_EQ(late, EADDRINUSE);
    EXPECT_TRUE(stillHeard);
}

// An address added while the group runs is searched within one interval and its
// subnet's device is listed; once the address is removed again its searcher goes
// within one interval, without a word, and the searcher of 10.77.0.1 keeps its pace
// throughout (no restart, no missed round).
TEST_F(SearchAddresses, AddressesThatComeAndGoGetAndLoseTheirSearcherAndTheOthersKeepTheirPace)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.6.2/24"));
    DeviceSocket device(*net, "0.0.0.0", QUdpCast::kDestinationPort);
    ASSERT_TRUE(device.ok()) << device.error();
    // The device of the new subnet answers by that subnet's broadcast, which only a
    // searcher on 10.77.6.1 can hear.
    std::mutex lock;
    std::vector<Datagram> requests;
    std::atomic<bool> listening{true};
    std::thread answering([&] {
        Datagram d;
        while (listening.load()) {
            if (!device.Receive(d, 100))
                continue;
            if (d.from == "10.77.6.1")
                device.SendTo("10.77.6.255", QUdpCast::kLocalPort, SearchAnswerFrame("LATE-DIRECTED"));
            std::lock_guard<std::mutex> guard(lock);
            requests.push_back(d);
        }
    });
    auto requestTimes = [&](const std::string &from) {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<Clock::time_point> times;
        for (const Datagram &d : requests)
            if (d.from == from)
                times.push_back(d.at);
        return times;
    };
    auto searched = [](const QUdpCastGroup &group, const std::string &address) {
        const std::vector<std::string> all = group.SearchedAddresses();
        return std::find(all.begin(), all.end(), address) != all.end();
    };

    testing::internal::CaptureStderr();
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    std::this_thread::sleep_for(milliseconds(500));
    const auto added = Clock::now();
    const bool addedOk = net->AddWorkstationAddress("10.77.6.1/24");
    const bool requested = WaitUntil([&] { return !requestTimes("10.77.6.1").empty(); }, kOnePeriodMs);
    const auto firstRequest = Clock::now();
    const bool listed = collector.WaitForCount(1, 2000);

    const auto removedAt = Clock::now();
    const bool removedOk = net->RemoveWorkstationAddress("10.77.6.1/24");
    const bool gone = WaitUntil([&] { return !searched(group, "10.77.6.1"); }, kOnePeriodMs);
    const auto goneAt = Clock::now();
    const size_t beforeGone = requestTimes("10.77.0.1").size();
    // One more round of the remaining searcher after the removal.
    const bool goesOn = WaitUntil([&] { return requestTimes("10.77.0.1").size() > beforeGone; }, kOnePeriodMs);
    const std::vector<std::string> left = group.SearchedAddresses();
    group.Stop();
    listening.store(false);
    answering.join();
    const std::string errors = testing::internal::GetCapturedStderr();

    ASSERT_TRUE(addedOk && removedOk);
    ASSERT_TRUE(requested) << "no request from the added address";
    EXPECT_LE(Since(added, firstRequest), kOnePeriodMs);
    ASSERT_TRUE(listed);
    EXPECT_EQ(SerialOf(collector.Texts()[0]), "LATE-DIRECTED");
    ASSERT_TRUE(gone) << "the searcher of the removed address is still there";
    EXPECT_LE(Since(removedAt, goneAt), kOnePeriodMs);
    EXPECT_EQ(left, (std::vector<std::string>{"10.77.0.1"}));
    EXPECT_EQ(errors, "");
    for (const auto &at : requestTimes("10.77.6.1"))
        EXPECT_LT(at, goneAt);
    // 10.77.0.1 asked every 5 s from start to end: no round lost, none added by a restart.
    EXPECT_TRUE(goesOn);
    const std::vector<Clock::time_point> pace = requestTimes("10.77.0.1");
    ASSERT_GE(pace.size(), 3u);
    for (size_t i = 1; i < pace.size(); ++i) {
        EXPECT_GE(Since(pace[i - 1], pace[i]), 4800) << "request " << i;
        EXPECT_LE(Since(pace[i - 1], pace[i]), 5400) << "request " << i;
    }
}

namespace {

using sandbox::Ip;

// Waits for `count` answers or the time; the time it took in ms, or -1.
long TimeToCount(const Collector &collector, size_t count, int timeoutMs)
{
    const auto from = Clock::now();
    return collector.WaitForCount(count, timeoutMs) ? Since(from, Clock::now()) : -1;
}

} // namespace

// A bridge carrying the host address is deleted and re-created (same name, same
// address, new interface index): the group searches it again within one period
// with fresh receivers, and a device answering by broadcast is heard again.
TEST_F(SearchAddresses, InterfaceRecreatedUnderTheSameNameIsSearchedAgainWithinOnePeriod)
{
    ASSERT_TRUE(net->RemoveWorkstationAddress("10.77.0.1/24"));
    ASSERT_TRUE(sandbox::MakeHostBridge());
    Simulator simulator(*net, {"--device", "serial=BRIDGE-BROADCAST,address=10.77.0.2,port=8001,answer=broadcast"});
    std::string why;
    ASSERT_TRUE(simulator.WaitReady(5000, why)) << why;
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    const bool first = collector.WaitForCount(1, 3000);
    const unsigned before = if_nametoindex("brx");
    const bool recreated = Ip({"link", "del", "brx"}) && sandbox::MakeHostBridge();
    const size_t heard = collector.Count();
    const long again = TimeToCount(collector, heard + 1, kOnePeriodMs);
    const std::vector<QUdpCastGroup::SearcherState> states = group.SearcherStates();
    const std::vector<QUdpCastGroup::ReceiverState> receivers = group.ReceiverStates();
    group.Stop();
    ASSERT_TRUE(first) << simulator.Log();
    ASSERT_TRUE(recreated);
    EXPECT_NE(if_nametoindex("brx"), before);
    EXPECT_GE(again, 0) << "not heard again after the re-creation";
    EXPECT_LE(again, 5500);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].target.index, if_nametoindex("brx"));
    ASSERT_EQ(receivers.size(), 2u); // 255.255.255.255 and 10.77.0.255
    EXPECT_TRUE(receivers[0].running && receivers[1].running);
    EXPECT_EQ(receivers[0].name, "255.255.255.255:19009 on brx");
}

// One address on two interfaces (a copy on a second link): a searcher on each,
// each request leaves by its own interface, and devices on both links are heard,
// each answer once.
TEST_F(SearchAddresses, AddressOnTwoInterfacesIsSearchedOnEach)
{
    const std::string device = net->namespacePath().substr(6, net->namespacePath().find("/ns/") - 6); // its pid
    ASSERT_TRUE(Ip({"link", "add", "brw1", "type", "veth", "peer", "name", "brd1", "netns", device}));
    ASSERT_TRUE(Ip({"addr", "add", "10.77.0.1/24", "dev", "brw1"}) && Ip({"link", "set", "brw1", "up"}));
    ASSERT_EQ(net->RunInDeviceCommand({"ip", "link", "set", "brd1", "up"}), 0);
    // A listener tied to each device-side link.
    int links[2] = {-1, -1};
    net->RunInDevice([&] {
        const char *names[2] = {sandbox::kDeviceLink, "brd1"};
        for (int i = 0; i < 2; ++i) {
            links[i] = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            setsockopt(links[i], SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
            setsockopt(links[i], SOL_SOCKET, SO_BINDTODEVICE, names[i], static_cast<socklen_t>(std::strlen(names[i]) + 1));
            sockaddr_in any = sandbox::Ipv4("0.0.0.0", QUdpCast::kDestinationPort);
            bind(links[i], reinterpret_cast<sockaddr *>(&any), sizeof any);
        }
    });
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    group.Start();
    std::string requests[2];
    for (int i = 0; i < 2; ++i) {
        char bytes[256];
        pollfd wait{links[i], POLLIN, 0};
        // The second link comes up within a moment: a request may need a second round.
        if (poll(&wait, 1, kOnePeriodMs) == 1) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            if (recvfrom(links[i], bytes, sizeof bytes, 0, reinterpret_cast<sockaddr *>(&from), &length) > 0)
                requests[i] = inet_ntoa(from.sin_addr) + (":" + std::to_string(ntohs(from.sin_port)));
        }
        const std::string answer = SearchAnswerFrame(i == 0 ? "LINK-0" : "LINK-1");
        sockaddr_in all = sandbox::Ipv4("255.255.255.255", QUdpCast::kLocalPort);
        sendto(links[i], answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&all), sizeof all);
        const std::string unicast = SearchAnswerFrame(i == 0 ? "UNICAST-0" : "UNICAST-1");
        sockaddr_in host = sandbox::Ipv4("10.77.0.1", QUdpCast::kLocalPort);
        sendto(links[i], unicast.data(), unicast.size(), 0, reinterpret_cast<sockaddr *>(&host), sizeof host);
    }
    const bool all = collector.WaitForCount(4, 2000);
    std::this_thread::sleep_for(milliseconds(200)); // room for a duplicate to show
    const std::vector<QUdpCastGroup::SearcherState> states = group.SearcherStates();
    group.Stop();
    close(links[0]);
    close(links[1]);
    EXPECT_EQ(requests[0], "10.77.0.1:19009");
    EXPECT_EQ(requests[1], "10.77.0.1:19009");
    ASSERT_TRUE(all);
    EXPECT_EQ(CountBySerial(collector),
              (std::map<std::string, int>{{"LINK-0", 1}, {"LINK-1", 1}, {"UNICAST-0", 1}, {"UNICAST-1", 1}}));
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].target.device, sandbox::kWorkstationLink);
    EXPECT_EQ(states[1].target.device, "brw1");
    EXPECT_EQ(states[1].socket.use, QUdpCast::SocketUse::SearchPort);
}

// An interface taken down loses its searcher at the next rescan; brought up again
// it is searched within one period.
TEST_F(SearchAddresses, InterfaceDownIsLeftOutAndSearchedAgainOnceItIsUp)
{
    auto listener = std::make_unique<DeviceSocket>(*net, "0.0.0.0", QUdpCast::kDestinationPort);
    QUdpCastGroup group(nullptr, nullptr);
    group.Start();
    ASSERT_EQ(group.SearcherCount(), 1);
    ASSERT_TRUE(Ip({"link", "set", sandbox::kWorkstationLink, "down"}));
    const bool left = WaitUntil([&] { return group.SearcherCount() == 0; }, kOnePeriodMs);
    ASSERT_TRUE(Ip({"link", "set", sandbox::kWorkstationLink, "up"}));
    const auto up = Clock::now();
    Datagram request;
    bool back = false;
    while (!back && Since(up, Clock::now()) < kOnePeriodMs)
        back = listener->Receive(request, 200) && request.from == "10.77.0.1";
    group.Stop();
    EXPECT_TRUE(left);
    EXPECT_TRUE(back);
}
