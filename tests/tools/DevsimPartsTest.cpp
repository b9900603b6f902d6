// The simulator's pieces on their own: options, device settings lists, faults, the request
// log's escaping, the send schedule, answer shaping and request reassembly.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Device.h"
#include "Messages.h"
#include "Options.h"
#include "Outbox.h"
#include "RequestLog.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"

using namespace devsim;

namespace {

bool Parse(const std::vector<std::string> &args, Options &o, std::string &error)
{
    return ParseOptions(args, o, error);
}

std::string Body(const std::string &api, const std::string &data = "")
{
    std::string body = "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"" + api + "\"";
    if (!data.empty())
        body += ",\"params\":{\"data\":[" + data + "]}";
    return body + "}";
}

} // namespace

TEST(DevsimOptions, ParsesValuesSwitchesAndEqualsForms)
{
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--devices", "5", "--jitter=200", "--answer-once", "--fault", "garbage", "--fault",
                       "command:silent", "--address-pool", "10.77.0.2,10.77.0.3", "--log", "-"},
                      o, error))
        << error;
    EXPECT_EQ(o.deviceCount, 5);
    EXPECT_EQ(o.jitterMs, 200);
    EXPECT_TRUE(o.answerOnce);
    EXPECT_EQ(o.faults.ToString(), "garbage+command:silent");
    EXPECT_EQ(o.addressPool, (std::vector<std::string>{"10.77.0.2", "10.77.0.3"}));
    EXPECT_EQ(o.logPath, "-");
}

TEST(DevsimOptions, RejectsUnknownOptionsBadNumbersAndMissingValues)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--devise", "3"}, {"--devices", "-1"}, {"--devices", "3x"}, {"--jitter"},
        {"--answer-once=yes"}, {"devices"}, {"--base-port", "70000"}, {"--fault", "sometimes"},
        {"--oversize-bytes", "1472"}};
    for (const auto &args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(DevsimOptions, ConfigFileTakesOneOptionPerLineAndNamesTheBadLine)
{
    std::string path = testing::TempDir() + "devsim_config_test.conf";
    {
        std::ofstream out(path);
        out << "# a dozen devices\n\ndevices 2\n  device serial=SN-A,description=仓库\\, 一号  \nbroadcast\n";
    }
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--config", path, "--jitter", "7"}, o, error)) << error;
    EXPECT_EQ(o.deviceCount, 2);
    EXPECT_TRUE(o.broadcast);
    EXPECT_EQ(o.jitterMs, 7);
    std::vector<DeviceConfig> devices;
    ASSERT_TRUE(BuildDevices(o, devices, error)) << error;
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[2].settings.serialNo, "SN-A");
    EXPECT_EQ(devices[2].settings.description, "仓库, 一号");
    EXPECT_TRUE(devices[2].answerByBroadcast);

    {
        std::ofstream out(path);
        out << "devices 2\nanswer-once now\n";
    }
    Options bad;
    EXPECT_FALSE(Parse({"--config", path}, bad, error));
    EXPECT_NE(error.find(":2:"), std::string::npos) << error;
    std::remove(path.c_str());
}

TEST(DevsimDevices, GeneratedSetIsDeterministicAndSpecsOverrideIt)
{
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--devices", "12", "--address-pool", "10.77.0.2,10.77.0.3", "--base-port", "9000",
                       "--fault", "search:split", "--reboot-time", "700", "--device",
                       "serial=X1,address=10.77.1.5,port=8100,dhcp=on,mac=02:00:00:00:00:09,answer=broadcast,"
                       "fault=command:wrong-serial,reboot=50"},
                      o, error));
    std::vector<DeviceConfig> devices;
    ASSERT_TRUE(BuildDevices(o, devices, error)) << error;
    ASSERT_EQ(devices.size(), 13u);
    EXPECT_EQ(devices[0].settings.serialNo, "BRSIM000001");
    EXPECT_EQ(devices[0].settings.address, "10.77.0.2");
    EXPECT_EQ(devices[1].settings.address, "10.77.0.3");
    EXPECT_EQ(devices[1].settings.port, 9000);
    EXPECT_TRUE(devices[0].settings.dhcp);
    EXPECT_FALSE(devices[1].settings.dhcp);
    EXPECT_EQ(devices[9].settings.description, "模拟设备 10 号");
    EXPECT_NE(devices[0].settings.mac, devices[1].settings.mac);
    EXPECT_EQ(devices[0].rebootMs, 700);
    EXPECT_TRUE(devices[0].faults.Has(Scope::Search, Fault::Split));
    EXPECT_FALSE(devices[0].faults.Has(Scope::Command, Fault::Split));

    const DeviceConfig &x = devices[12];
    EXPECT_EQ(x.settings.serialNo, "X1");
    EXPECT_EQ(x.settings.address, "10.77.1.5");
    EXPECT_EQ(x.settings.port, 8100);
    EXPECT_EQ(x.rebootMs, 50);
    EXPECT_TRUE(x.answerByBroadcast);
    EXPECT_FALSE(x.answerBySubnetBroadcast);
    EXPECT_FALSE(devices[0].answerBySubnetBroadcast);
    EXPECT_TRUE(x.faults.Has(Scope::Command, Fault::WrongSerial));
    EXPECT_TRUE(x.faults.Has(Scope::Search, Fault::Split)); // the global fault joins in
    EXPECT_EQ(x.settings.subnetMask, "255.255.255.0");       // unspecified keys keep the pattern

    DeviceConfig directed;
    ASSERT_TRUE(ApplyDeviceSettings("answer=directed", directed, error)) << error;
    EXPECT_TRUE(directed.answerBySubnetBroadcast);
    EXPECT_FALSE(directed.answerByBroadcast);

    // One serial number may be shared by devices with different MACs (a cloned
    // image), never by two with the same MAC.
    Options clone;
    ASSERT_TRUE(Parse({"--devices", "1", "--device", "serial=BRSIM000001"}, clone, error));
    EXPECT_TRUE(BuildDevices(clone, devices, error)) << error;
    Options twice;
    ASSERT_TRUE(Parse({"--devices", "1", "--device", "serial=BRSIM000001,mac=" + devices[0].settings.mac}, twice,
                      error));
    EXPECT_FALSE(BuildDevices(twice, devices, error));
}

TEST(DevsimDevices, BadSpecsAreRefused)
{
    for (const char *text : {"serial=", "address=10.77.0", "port=0", "port=65536", "dhcp=maybe", "colour=red",
                             "answer=multicast", "fault=none+loud", "reboot=-1", "justtext"}) {
        DeviceConfig d;
        std::string error;
        EXPECT_FALSE(ApplyDeviceSettings(text, d, error)) << text;
    }
}

TEST(DevsimFaults, ListsKeepTheirScopeAndWriteBackTheSameWay)
{
    FaultSet f;
    std::string error;
    ASSERT_TRUE(f.AddList("garbage+search:oversize+command:result-string", error));
    EXPECT_TRUE(f.Has(Scope::Search, Fault::Garbage));
    EXPECT_TRUE(f.Has(Scope::Command, Fault::Garbage));
    EXPECT_TRUE(f.Has(Scope::Search, Fault::Oversize));
    EXPECT_FALSE(f.Has(Scope::Command, Fault::Oversize));
    EXPECT_TRUE(f.Has(Scope::Command, Fault::ResultString));
    EXPECT_EQ(f.ToString(), "garbage+search:oversize+command:result-string");
    EXPECT_FALSE(f.AddList("search:", error));
}

TEST(DevsimRequestLog, EscapingIsReversibleForEveryByte)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    all += "\\x41";
    std::string escaped = EscapeBytes(all.data(), all.size());
    EXPECT_EQ(escaped.find('\n'), std::string::npos);
    std::string back;
    ASSERT_TRUE(UnescapeBytes(escaped, back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(EscapeBytes("a\\b\x01 ", 5), "a\\\\b\\x01 ");
    EXPECT_EQ(HexBytes("\x00\xffK", 3), "00ff4b");
    for (const char *bad : {"\\", "\\x4", "\\x4g", "\\q"})
        EXPECT_FALSE(UnescapeBytes(bad, back)) << bad;
}

TEST(DevsimOutbox, ReleasesInDueOrderAndKeepsTheOrderOfEqualTimes)
{
    Outbox box;
    auto add = [&](int64_t due, const char *bytes) {
        Outgoing d;
        d.dueNs = due;
        d.fd = 7;
        d.bytes = bytes;
        box.Schedule(d);
    };
    add(300, "c");
    add(100, "a");
    add(100, "b");
    add(500, "d");
    EXPECT_EQ(box.NextDelay(0), 100);
    EXPECT_EQ(box.NextDelay(150), 0);
    box.ReleaseDue(300);
    EXPECT_EQ(box.Pending(), 4u);
    EXPECT_EQ(box.ReadySockets(), std::vector<int>{7});
    EXPECT_EQ(box.NextDelay(300), 200);
    box.ReleaseDue(1000);
    EXPECT_EQ(box.NextDelay(1000), -1);
}

TEST(DevsimAnswers, ShapingAddsGarbageSecondFramePaddingAndSplits)
{
    FaultSet none;
    std::string body = Body(kSearchApi, "{\"serialNo\":\"A\"}");
    std::vector<std::string> plain = ShapeAnswer(body, "x", none, Scope::Search, 2000);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0], BuildFrame(body));

    FaultSet all;
    std::string error;
    ASSERT_TRUE(all.AddList("garbage+double+oversize+split", error));
    std::vector<std::string> shaped = ShapeAnswer(body, "second", all, Scope::Search, 2000);
    ASSERT_EQ(shaped.size(), 2u);
    std::string joined = shaped[0] + shaped[1];
    EXPECT_EQ(joined.size(), 2000u);
    EXPECT_EQ(shaped[0].size(), 1000u);
    std::string expected = kGarbage + BuildFrame(body) + BuildFrame("second");
    EXPECT_EQ(joined.substr(0, expected.size()), expected);
    EXPECT_EQ(joined.find_first_not_of('.', expected.size()), std::string::npos);

    FaultSet commandOnly;
    ASSERT_TRUE(commandOnly.AddList("command:split", error));
    EXPECT_EQ(ShapeAnswer(body, "", commandOnly, Scope::Search, 2000).size(), 1u);
    EXPECT_EQ(ShapeAnswer(body, "", commandOnly, Scope::Command, 2000).size(), 2u);
}

TEST(DevsimAnswers, BodiesCarryTheDeviceRecordAndTheFaultsChangeIt)
{
    DeviceSettings d;
    d.serialNo = "SN1";
    d.address = "10.77.0.2";
    d.port = 8000;
    d.dhcp = true;
    d.subnetMask = "255.255.255.0";
    d.gateway = "10.77.0.254";
    d.dns = "10.77.0.253";
    d.mac = "02:00:00:00:00:01";
    d.description = "仓库\"一号\"";
    FaultSet none;
    EXPECT_EQ(SearchAnswerBody(d, none, "0"),
              "{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/searchbrenu.htm\","
              "\"params\":{\"data\":[{\"serialNo\":\"SN1\",\"address\":\"10.77.0.2\",\"port\":8000,\"dhcp\":true,"
              "\"subnetMask\":\"255.255.255.0\",\"gateway\":\"10.77.0.254\",\"dns\":\"10.77.0.253\","
              "\"mac\":\"02:00:00:00:00:01\",\"description\":\"仓库\\\"一号\\\"\"}]}}");

    FaultSet f;
    std::string error;
    ASSERT_TRUE(f.AddList("api-case+no-data", error));
    Vant::CProtocalJson json;
    std::string text = SearchAnswerBody(d, f, "1");
    ASSERT_TRUE(json.ParseText(text.c_str()));
    EXPECT_FALSE(json.Validate()) << text; // no "params"."data"
    EXPECT_NE(json.GetApi(), kSearchApi);
    EXPECT_EQ(LowerAscii(json.GetApi()), kSearchApi);
    EXPECT_EQ(Vant::ValueToString(json.Root()["sessionId"]), "1");

    struct Case {
        ResultForm form;
        const char *member;
    };
    for (Case c : {Case{ResultForm::True, "\"result\":true"}, Case{ResultForm::False, "\"result\":false"},
                   Case{ResultForm::Number, "\"result\":1"}, Case{ResultForm::String, "\"result\":\"1\""}}) {
        EXPECT_EQ(CommandAnswerBody(kRebootApi, "SN1", c.form, none, "0"),
                  Body(kRebootApi, std::string("{\"serialNo\":\"SN1\",") + c.member + "}"));
    }
}

TEST(DevsimRequests, ReaderReassemblesSkipsGarbageAndReadsTheUpdate)
{
    RequestReader reader;
    std::string search = BuildFrame(Body("/Brenu/Model/SearchBrenu.htm"));
    std::string update = BuildFrame(Body(kUpdateApi, "{\"serialNo\":\"SN1\",\"address\":\"10.77.0.9\",\"dhcp\":"
                                                     "false,\"subnetMask\":\"255.255.0.0\",\"gateway\":\"g\","
                                                     "\"dns\":\"d\",\"mac\":\"m\",\"description\":\"新\"}"));
    std::string stream = "noise" + search + update;
    size_t cut = 5 + search.size() + 10; // inside the update's header
    std::vector<Request> first = reader.Push(stream.data(), cut);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].api, "/Brenu/Model/SearchBrenu.htm");
    EXPECT_EQ(first[0].apiLower, kSearchApi);
    EXPECT_FALSE(first[0].hasData);
    EXPECT_EQ(reader.Pending(), 10u);

    std::vector<Request> second = reader.Push(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(second.size(), 1u);
    const Request &r = second[0];
    EXPECT_TRUE(r.hasData);
    EXPECT_EQ(r.serialNo, "SN1");
    EXPECT_TRUE(r.hasDhcp);
    EXPECT_FALSE(r.dhcp);
    EXPECT_EQ(r.texts.at("address"), "10.77.0.9");
    EXPECT_EQ(r.texts.at("subnetMask"), "255.255.0.0");
    EXPECT_EQ(r.texts.at("description"), "新");
    EXPECT_EQ(r.texts.count("port"), 0u);
    EXPECT_EQ(reader.Pending(), 0u);
}

TEST(DevsimRequests, ReaderDropsNonObjectsAndCapsADeclaredLengthNeverDelivered)
{
    RequestReader reader;
    std::string notObject = BuildFrame("[1,2]") + BuildFrame("{\"api\":\"/x\"}");
    std::vector<Request> got = reader.Push(notObject.data(), notObject.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].api, "/x");

    std::string header = "KTRW00010000000000060000"; // within the scanner's length bound: waited for
    EXPECT_TRUE(reader.Push(header.data(), header.size()).empty());
    EXPECT_EQ(reader.Pending(), 24u);
    std::string filler(64 * 1024, 'z');
    for (int i = 0; i < 5; ++i) {
        reader.Push(filler.data(), filler.size());
        EXPECT_LE(reader.Pending(), RequestReader::kMaxPending);
    }
    std::string search = BuildFrame(Body(kSearchApi));
    got = reader.Push(search.data(), search.size());
    ASSERT_EQ(got.size(), 1u) << "a sender that once declared a huge length is heard again";
}
