// brenu-devsim run in the sandbox's device namespace, driven from the workstation
// side as the tool would drive it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DevsimHarness.h"
#include "Messages.h"
#include "RequestLog.h"
#include "SandboxFixture.h"
#include "Stats.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"

using namespace devsimtest;
using devsim::Ipv4Text;

namespace {

class DevsimTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(ws.Open(), "");
    }
    void Start(const std::vector<std::string> &args) { ASSERT_EQ(sim.Start(*net, args), ""); }

    // Answers by serial number, each parsed from a datagram holding one frame.
    std::map<std::string, Datagram> BySerial(const std::vector<Datagram> &datagrams)
    {
        std::map<std::string, Datagram> out;
        for (const Datagram &d : datagrams) {
            Vant::CProtocalJson json;
            EXPECT_TRUE(ParseOneFrame(d.bytes, json)) << devsim::EscapeBytes(d.bytes.data(), d.bytes.size());
            out[Vant::ValueToString(json.GetDataValue(0, "serialNo"))] = d;
        }
        return out;
    }

    Datagram Command(const char *address, uint16_t port, const std::string &frame, bool expectAnswer = true)
    {
        CommandPeer peer;
        EXPECT_EQ(peer.Connect(address, port), "");
        EXPECT_TRUE(peer.Send(frame));
        Datagram d;
        bool got = peer.Receive(d, expectAnswer ? 2000 : 300);
        EXPECT_EQ(got, expectAnswer);
        return d;
    }

    DevsimProcess sim;
    Workstation ws;
};

std::string Member(Vant::CProtocalJson &json, const char *name)
{
    return Vant::ValueToString(json.GetDataValue(0, name));
}

} // namespace

TEST_F(DevsimTest, EverySearchGetsOneUnicastFramePerDeviceWithItsSettings)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    Start({"--devices", "3", "--device",
           "serial=SN-CN,address=10.77.0.3,port=8100,dhcp=off,mask=255.255.0.0,gateway=10.77.0.1,dns=10.77.0.9,"
           "mac=02:00:00:00:00:AA,description=仓库一号摄像头\\, 北门"});
    ASSERT_TRUE(ws.SendSearch());
    std::vector<Datagram> got = ws.Collect(4, 2000);
    ASSERT_EQ(got.size(), 4u);
    std::map<std::string, Datagram> answers = BySerial(got);
    ASSERT_EQ(answers.size(), 4u);
    for (const auto &[serial, d] : answers) {
        EXPECT_FALSE(d.viaBroadcastSocket) << serial;
        EXPECT_EQ(d.from.port, 19010) << serial;
    }
    EXPECT_EQ(Ipv4Text(answers["BRSIM000001"].from.address), "10.77.0.2");
    EXPECT_EQ(Ipv4Text(answers["SN-CN"].from.address), "10.77.0.3");

    Vant::CProtocalJson json;
    ASSERT_TRUE(ParseOneFrame(answers["SN-CN"].bytes, json));
    EXPECT_EQ(json.GetApi(), "/brenu/model/searchbrenu.htm");
    EXPECT_EQ(Member(json, "address"), "10.77.0.3");
    EXPECT_TRUE(json.GetDataValue(0, "port").IsInt());
    EXPECT_EQ(json.GetDataValue(0, "port").GetInt(), 8100);
    EXPECT_TRUE(json.GetDataValue(0, "dhcp").IsFalse());
    EXPECT_EQ(Member(json, "subnetMask"), "255.255.0.0");
    EXPECT_EQ(Member(json, "gateway"), "10.77.0.1");
    EXPECT_EQ(Member(json, "dns"), "10.77.0.9");
    EXPECT_EQ(Member(json, "mac"), "02:00:00:00:00:AA");
    EXPECT_EQ(Member(json, "description"), "仓库一号摄像头, 北门");

    // The same searcher asking again gets the same answers again.
    ASSERT_TRUE(ws.SendSearch());
    EXPECT_EQ(ws.Collect(4, 2000).size(), 4u);
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "searches"), 2);
    EXPECT_EQ(Field(summary, "search_unicast"), 8);
    EXPECT_EQ(Field(summary, "search_broadcast"), 0);
    EXPECT_EQ(sim.exitStatus(), 0);
}

TEST_F(DevsimTest, BroadcastAnswerFromAnotherSubnetReachesOnlyTheBroadcastSocket)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.5.9/24"));
    Start({"--devices", "1", "--device", "serial=FAR,address=10.77.5.9,port=8200,answer=broadcast"});
    ASSERT_TRUE(ws.SendSearch());
    std::vector<Datagram> got = ws.Collect(2, 2000);
    ASSERT_EQ(got.size(), 2u);
    std::map<std::string, Datagram> answers = BySerial(got);
    EXPECT_FALSE(answers["BRSIM000001"].viaBroadcastSocket);
    EXPECT_TRUE(answers["FAR"].viaBroadcastSocket);
    EXPECT_EQ(Ipv4Text(answers["FAR"].from.address), "10.77.5.9");
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "search_broadcast"), 1);
    EXPECT_EQ(Field(summary, "search_unicast"), 1);
}

TEST_F(DevsimTest, RequestLogHoldsEveryDatagramByteForByte)
{
    Start({"--devices", "1"});
    const std::string search = SearchFrame();
    ASSERT_EQ(search.size(), 99u);
    ASSERT_TRUE(ws.SendSearch());
    ASSERT_EQ(ws.Collect(1, 2000).size(), 1u);
    ASSERT_TRUE(ws.Send(std::string("\x00\\ok\xe4\xbb\x93\n", 8), "10.77.0.2", 19010));
    ASSERT_TRUE(ws.Send("", "10.77.0.2", 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::string> lines = sim.Stop();

    std::vector<std::string> rx;
    for (const std::string &l : lines)
        if (l.compare(0, 3, "rx ") == 0)
            rx.push_back(l);
    ASSERT_EQ(rx.size(), 3u);
    EXPECT_EQ(rx[0], "rx from=10.77.0.1:19009 to=255.255.255.255:19010 len=99 data=" +
                         devsim::EscapeBytes(search.data(), search.size()));
    std::string bytes;
    ASSERT_TRUE(devsim::UnescapeBytes(rx[0].substr(rx[0].find("data=") + 5), bytes));
    EXPECT_EQ(bytes, search);
    EXPECT_EQ(rx[1], "rx from=10.77.0.1:19009 to=10.77.0.2:19010 len=8 data=\\x00\\\\ok\\xE4\\xBB\\x93\\x0A");
    EXPECT_EQ(rx[2], "rx from=10.77.0.1:19009 to=10.77.0.2:8000 len=0 data=");
    std::string summary = FindLine(lines, "summary ");
    EXPECT_EQ(Field(summary, "received"), 3);
    EXPECT_EQ(Field(summary, "empty"), 1);
    EXPECT_EQ(Field(summary, "searches"), 1);
}

TEST_F(DevsimTest, SearchSplitOverDatagramsBehindGarbageAndInOtherCaseIsAnswered)
{
    Start({"--devices", "2"});
    std::string frame = BuildFrame(
        "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/BRENU/Model/SearchBrenu.HTM\"}");
    std::string first = "garbage" + frame.substr(0, 20);
    ASSERT_TRUE(ws.Send(first));
    EXPECT_TRUE(ws.Collect(1, 200).empty());
    ASSERT_TRUE(ws.Send(frame.substr(20)));
    EXPECT_EQ(ws.Collect(2, 2000).size(), 2u);
    // A reboot request on the search port is no search.
    ASSERT_TRUE(ws.Send(CommandFrame("/brenu/model/reboot.htm", "\"serialNo\":\"BRSIM000001\"")));
    EXPECT_TRUE(ws.Collect(1, 300).empty());
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "searches"), 1);
    EXPECT_EQ(Field(summary, "ignored"), 1);
}

TEST_F(DevsimTest, GarbageDoubleAndApiCaseShapeOneDatagram)
{
    Start({"--device", "serial=G1,fault=search:garbage+search:double+search:api-case"});
    ASSERT_TRUE(ws.SendSearch());
    std::vector<Datagram> got = ws.Collect(1, 2000);
    ASSERT_EQ(got.size(), 1u);
    const std::string &bytes = got[0].bytes;
    ASSERT_EQ(bytes.compare(0, devsim::kGarbage.size(), devsim::kGarbage), 0);
    std::string rest = bytes.substr(devsim::kGarbage.size());
    size_t second = rest.find("KTRW0001", 8);
    ASSERT_NE(second, std::string::npos);
    Vant::CProtocalJson a, b;
    ASSERT_TRUE(ParseOneFrame(rest.substr(0, second), a));
    ASSERT_TRUE(ParseOneFrame(rest.substr(second), b));
    EXPECT_NE(a.GetApi(), devsim::kSearchApi);
    EXPECT_EQ(devsim::LowerAscii(a.GetApi()), devsim::kSearchApi);
    EXPECT_EQ(Vant::ValueToString(a.Root()["sessionId"]), "0");
    EXPECT_EQ(Vant::ValueToString(b.Root()["sessionId"]), "1");
    EXPECT_EQ(Member(a, "serialNo"), "G1");
    EXPECT_EQ(Member(b, "serialNo"), "G1");
}

TEST_F(DevsimTest, SplitOversizeNoDataAndSilentAnswers)
{
    Start({"--split-gap", "60", "--device", "serial=S1,fault=search:split", "--device",
           "serial=O1,fault=search:oversize", "--device", "serial=N1,fault=search:no-data", "--device",
           "serial=Q1,fault=search:silent"});
    ASSERT_TRUE(ws.SendSearch());
    std::vector<Datagram> got = ws.Collect(4, 1000);
    ASSERT_EQ(got.size(), 4u); // S1 twice, O1, N1; Q1 says nothing
    std::string halves;
    int64_t firstHalf = 0, secondHalf = 0;
    bool oversize = false, noData = false;
    for (const Datagram &d : got) {
        if (d.bytes.size() == 2000) {
            oversize = true;
            EXPECT_NE(d.bytes.find("\"serialNo\":\"O1\""), std::string::npos);
        } else if (d.bytes.find("\"params\":{}") != std::string::npos) {
            noData = true;
            Vant::CProtocalJson json;
            EXPECT_FALSE(ParseOneFrame(d.bytes, json));
        } else {
            (halves.empty() ? firstHalf : secondHalf) = d.atNs;
            halves += d.bytes;
        }
    }
    EXPECT_TRUE(oversize);
    EXPECT_TRUE(noData);
    Vant::CProtocalJson json;
    ASSERT_TRUE(ParseOneFrame(halves, json));
    EXPECT_EQ(Member(json, "serialNo"), "S1");
    EXPECT_GE(secondHalf - firstHalf, 40 * 1000000LL);
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "unanswered"), 1);
    EXPECT_EQ(Field(summary, "search_unicast"), 3);
}

TEST_F(DevsimTest, UpdateIsAnsweredAndLaterSearchesShowTheNewSettings)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.4/24"));
    Start({"--devices", "2"});
    Datagram answer = Command(
        "10.77.0.2", 8000,
        CommandFrame(devsim::kUpdateApi,
                     "\"serialNo\":\"BRSIM000002\",\"address\":\"10.77.0.4\",\"dhcp\":true,\"subnetMask\":"
                     "\"255.255.0.0\",\"gateway\":\"10.77.0.1\",\"dns\":\"10.77.0.8\",\"mac\":\"02:11:22:33:44:55\","
                     "\"description\":\"新名字\""));
    EXPECT_EQ(Ipv4Text(answer.from.address), "10.77.0.2");
    EXPECT_EQ(answer.from.port, 8000);
    Vant::CProtocalJson json;
    ASSERT_TRUE(ParseOneFrame(answer.bytes, json));
    EXPECT_EQ(json.GetApi(), devsim::kUpdateApi);
    EXPECT_EQ(Member(json, "serialNo"), "BRSIM000002");
    EXPECT_TRUE(json.GetDataValue(0, "result").IsTrue());

    ASSERT_TRUE(ws.SendSearch());
    std::map<std::string, Datagram> answers = BySerial(ws.Collect(2, 2000));
    ASSERT_EQ(answers.size(), 2u);
    Vant::CProtocalJson moved;
    ASSERT_TRUE(ParseOneFrame(answers["BRSIM000002"].bytes, moved));
    EXPECT_EQ(Ipv4Text(answers["BRSIM000002"].from.address), "10.77.0.4");
    EXPECT_EQ(Member(moved, "address"), "10.77.0.4");
    EXPECT_TRUE(moved.GetDataValue(0, "dhcp").IsTrue());
    EXPECT_EQ(Member(moved, "subnetMask"), "255.255.0.0");
    EXPECT_EQ(Member(moved, "gateway"), "10.77.0.1");
    EXPECT_EQ(Member(moved, "dns"), "10.77.0.8");
    EXPECT_EQ(Member(moved, "mac"), "02:11:22:33:44:55");
    EXPECT_EQ(Member(moved, "description"), "新名字");
    EXPECT_EQ(moved.GetDataValue(0, "port").GetInt(), 8000);

    // The device now listens at its new address; the other one stays where it was.
    Datagram reboot = Command("10.77.0.4", 8000, CommandFrame(devsim::kRebootApi, "\"serialNo\":\"BRSIM000002\""));
    EXPECT_EQ(Ipv4Text(reboot.from.address), "10.77.0.4");
    Command("10.77.0.2", 8000, CommandFrame(devsim::kRebootApi, "\"serialNo\":\"BRSIM000002\""), false);
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "update_answers"), 1);
    EXPECT_EQ(Field(summary, "reboot_answers"), 1);
    EXPECT_EQ(Field(summary, "unknown_serial"), 1);
}

TEST_F(DevsimTest, RebootedDeviceStaysSilentForTheRebootTime)
{
    Start({"--devices", "2", "--reboot-time", "700"});
    Datagram answer = Command("10.77.0.2", 8000, CommandFrame(devsim::kRebootApi, "\"serialNo\":\"BRSIM000001\""));
    Vant::CProtocalJson json;
    ASSERT_TRUE(ParseOneFrame(answer.bytes, json));
    EXPECT_EQ(Member(json, "serialNo"), "BRSIM000001");
    EXPECT_TRUE(json.GetDataValue(0, "result").IsTrue());

    ASSERT_TRUE(ws.SendSearch());
    std::map<std::string, Datagram> during = BySerial(ws.Collect(2, 300));
    EXPECT_EQ(during.size(), 1u);
    EXPECT_EQ(during.count("BRSIM000002"), 1u);
    Command("10.77.0.2", 8000, CommandFrame(devsim::kRebootApi, "\"serialNo\":\"BRSIM000001\""), false);

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(ws.SendSearch());
    EXPECT_EQ(BySerial(ws.Collect(2, 2000)).size(), 2u);
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "while_rebooting"), 1);
}

TEST_F(DevsimTest, CommandFaultsChangeSerialResultAndAnswering)
{
    Start({"--device", "serial=W,port=8001,fault=command:wrong-serial", "--device",
           "serial=F,port=8002,fault=command:result-false", "--device",
           "serial=N,port=8003,fault=command:result-number+command:api-case", "--device",
           "serial=S,port=8004,fault=command:result-string", "--device", "serial=Q,port=8005,fault=command:silent",
           "--device", "serial=D,port=8006,fault=command:no-data"});
    const std::string update = "\"address\":\"10.77.0.2\",\"description\":\"changed\"";
    struct Case {
        uint16_t port;
        const char *serial;
        const char *answerSerial;
        const char *result; // compact JSON of "result"
    };
    for (Case c : {Case{8001, "W", "W-X", "true"}, Case{8002, "F", "F", "false"}, Case{8003, "N", "N", "1"},
                   Case{8004, "S", "S", "\"1\""}}) {
        Datagram d = Command("10.77.0.2", c.port,
                             CommandFrame(devsim::kUpdateApi, std::string("\"serialNo\":\"") + c.serial + "\"," + update));
        Vant::CProtocalJson json;
        ASSERT_TRUE(ParseOneFrame(d.bytes, json)) << c.serial;
        EXPECT_EQ(Member(json, "serialNo"), c.answerSerial);
        EXPECT_NE(json.ToString().find(std::string("\"result\":") + c.result + "}"), std::string::npos)
            << json.ToString();
        if (c.port == 8003) {
            EXPECT_NE(json.GetApi(), devsim::kUpdateApi);
            EXPECT_EQ(devsim::LowerAscii(json.GetApi()), devsim::kUpdateApi);
        }
    }
    Command("10.77.0.2", 8005, CommandFrame(devsim::kUpdateApi, "\"serialNo\":\"Q\"," + update), false);
    Datagram noData = Command("10.77.0.2", 8006, CommandFrame(devsim::kUpdateApi, "\"serialNo\":\"D\"," + update));
    Vant::CProtocalJson json;
    EXPECT_FALSE(ParseOneFrame(noData.bytes, json));
    // Other apis on a command port get no answer.
    Command("10.77.0.2", 8001, CommandFrame("/brenu/model/other.htm", "\"serialNo\":\"W\""), false);

    // The refused and the unanswered update changed nothing; the others did.
    ASSERT_TRUE(ws.SendSearch());
    std::map<std::string, Datagram> answers = BySerial(ws.Collect(6, 2000));
    ASSERT_EQ(answers.size(), 6u);
    for (const char *serial : {"W", "F", "N", "S", "Q", "D"}) {
        Vant::CProtocalJson a;
        ASSERT_TRUE(ParseOneFrame(answers[serial].bytes, a));
        bool changed = std::string(serial) != "F" && std::string(serial) != "Q";
        EXPECT_EQ(Member(a, "description") == "changed", changed) << serial;
    }
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "unanswered"), 1);
    EXPECT_EQ(Field(summary, "ignored"), 1);
}

TEST_F(DevsimTest, JitterSpreadsAnswersAndAnswerOnceAnswersEachSearcherOnce)
{
    Start({"--devices", "20", "--jitter", "150", "--answer-once", "--seed", "7"});
    int64_t sent = devsim::MonotonicNs();
    ASSERT_TRUE(ws.SendSearch());
    std::vector<Datagram> got = ws.Collect(20, 3000);
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(BySerial(got).size(), 20u);
    auto [first, last] = std::minmax_element(got.begin(), got.end(),
                                             [](const Datagram &a, const Datagram &b) { return a.atNs < b.atNs; });
    EXPECT_GE(last->atNs - first->atNs, 30 * 1000000LL);
    EXPECT_LE(last->atNs - sent, 1000 * 1000000LL);

    ASSERT_TRUE(ws.SendSearch());
    EXPECT_TRUE(ws.Collect(1, 400).empty());
    // Another searcher (another port) is answered once too.
    Workstation other;
    ASSERT_EQ(other.Open(sandbox::kWorkstationAddress, 19111), "");
    ASSERT_TRUE(other.SendSearch());
    EXPECT_EQ(other.Collect(20, 3000).size(), 20u);
    std::string summary = FindLine(sim.Stop(), "summary ");
    EXPECT_EQ(Field(summary, "searches"), 3);
    EXPECT_EQ(Field(summary, "search_answers"), 40);
    EXPECT_GE(Field(summary, "last_answer_ns"), Field(summary, "first_search_ns"));
}

TEST_F(DevsimTest, KeepAliveIsIgnoredOrEchoedOnRequest)
{
    Start({"--devices", "1", "--device", "serial=E,port=8009"});
    Command("10.77.0.2", 8000, "", false);
    sim.Stop();
    DevsimProcess echo;
    ASSERT_EQ(echo.Start(*net, {"--devices", "1", "--echo-keepalive"}), "");
    CommandPeer peer;
    ASSERT_EQ(peer.Connect("10.77.0.2", 8000), ""); // sends the empty datagram
    Datagram d;
    ASSERT_TRUE(peer.Receive(d, 2000));
    EXPECT_TRUE(d.bytes.empty());
    EXPECT_EQ(Field(FindLine(echo.Stop(), "summary "), "keepalive_echoes"), 1);
}

TEST_F(DevsimTest, DemoConfigAnswersWithADozenMixedDevices)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.1.20/24"));
    Start({"--config", DEVSIM_DEMO_CONF});
    ASSERT_TRUE(ws.SendSearch());
    std::vector<Datagram> got = ws.Collect(12, 2000);
    std::map<std::string, Datagram> answers = BySerial(got);
    ASSERT_EQ(answers.size(), 12u);
    int dhcpOn = 0, chinese = 0, broadcast = 0;
    for (const auto &[serial, d] : answers) {
        Vant::CProtocalJson json;
        ASSERT_TRUE(ParseOneFrame(d.bytes, json));
        dhcpOn += json.GetDataValue(0, "dhcp").IsTrue();
        // Any byte of 0x80 or above is UTF-8 beyond ASCII: here Chinese text.
        std::string description = Member(json, "description");
        chinese += std::any_of(description.begin(), description.end(), [](char c) { return c & 0x80; });
        if (d.viaBroadcastSocket) {
            ++broadcast;
            EXPECT_EQ(Ipv4Text(d.from.address), "10.77.1.20");
        }
    }
    EXPECT_GT(dhcpOn, 0);
    EXPECT_LT(dhcpOn, 12);
    EXPECT_GE(chinese, 1);
    EXPECT_EQ(broadcast, 1);
}

TEST_F(DevsimTest, RefusesToRunOutsideASandboxOrWithoutItsAddresses)
{
    DevsimProcess missing;
    EXPECT_NE(missing.Start(*net, {"--device", "serial=M,address=10.77.9.9"}), "");
    EXPECT_EQ(missing.exitStatus(), 1);

    // A namespace holding an address outside 10.77.0.0/16 looks like a real network.
    ASSERT_TRUE(net->AddDeviceAddress("192.168.77.2/24"));
    DevsimProcess refused;
    EXPECT_NE(refused.Start(*net, {"--devices", "1"}), "");
    EXPECT_EQ(refused.exitStatus(), 1);
}
