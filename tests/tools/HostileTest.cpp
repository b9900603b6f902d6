// The hostile host's pieces: the late-fail stream really is the scanner's worst case
// (every body a JSON prefix that fails only at its last byte, nothing accepted), and
// the tool sends only from its own sandbox address to sandbox addresses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Hostile.h"
#include "Sandbox.h"
#include "protocol/Frame.h"
#include "protocol/RapidJson.h"

using namespace hostile;

TEST(HostileLateFail, DatagramsJoinIntoFramesWhoseBodiesAllFailAtTheirLastByte)
{
    const std::string unit = LateFailUnit();
    ASSERT_EQ(unit.size(), kFrameHeaderSize + 1);
    // One whole frame and a few datagrams more, which complete the next frames.
    std::string stream;
    for (uint64_t i = 0; stream.size() < kFrameHeaderSize + kMaxFrameBodyLength + 4 * 1472; ++i) {
        const std::string datagram = LateFailDatagram(i, 1472);
        ASSERT_EQ(datagram.size(), 1472u);
        stream += datagram;
    }
    for (size_t at = 0; at + unit.size() <= stream.size(); at += unit.size())
        ASSERT_EQ(stream.compare(at, unit.size(), unit), 0) << "the stream breaks at " << at;

    // Each frame declares the largest body a receiver waits for; that body parses up
    // to its end and fails there.
    ASSERT_EQ(ReadFrameLength(stream.c_str() + kFrameMagicSize), static_cast<int32_t>(kMaxFrameBodyLength));
    const std::string body = stream.substr(kFrameHeaderSize, kMaxFrameBodyLength);
    rapidjson::Document document;
    document.Parse(body.c_str(), body.size());
    ASSERT_TRUE(document.HasParseError());
    EXPECT_GE(document.GetErrorOffset(), body.size() - 1);

    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append(stream.data(), static_cast<uint32_t>(stream.size())));
    Vant::CProtocalJson message;
    int accepted = 0;
    ScanFrames(buffer, message, [&](Vant::CProtocalJson &) {
        ++accepted;
        return ScanNext::Continue;
    });
    EXPECT_EQ(accepted, 0);
}

TEST(HostileOptions, ParsesModesAndRefusesIncompleteOrBadValues)
{
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions({"--mode", "oversize", "--from", "10.77.0.9", "--to", "10.77.0.1:19009", "--to",
                              "255.255.255.255:19009", "--rate", "20"},
                             o, error))
        << error;
    EXPECT_EQ(o.mode, Mode::Oversize);
    EXPECT_EQ(o.targets.size(), 2u);
    EXPECT_EQ(o.size, 2000u);
    const std::vector<std::vector<std::string>> bad = {
        {"--from", "10.77.0.9", "--to", "10.77.0.1:19009"},                                 // no rate
        {"--from", "10.77.0.9", "--rate", "5"},                                             // no target
        {"--from", "10.77.0.9", "--to", "10.77.0.1", "--rate", "5"},                        // no port
        {"--from", "10.77.0.9", "--to", "10.77.0.1:19009", "--rate", "5", "--size", "70000"},
        {"--mode", "garbage", "--from", "10.77.0.9", "--to", "10.77.0.1:19009", "--rate", "5"}};
    for (const auto &args : bad) {
        Options refused;
        EXPECT_FALSE(ParseOptions(args, refused, error)) << args[args.size() - 1];
    }
}

TEST(HostileSafety, SendsOnlyFromItsOwnAddressToTheSandbox)
{
    const std::string entered = sandbox::EnterPrivateNetwork(); // only loopback here
    ASSERT_TRUE(entered.empty()) << entered;
    auto check = [](const std::string &from, const std::string &to) {
        Options o;
        std::string error;
        EXPECT_TRUE(ParseOptions({"--from", from, "--to", to, "--rate", "1"}, o, error)) << error;
        return CheckSafety(o);
    };
    EXPECT_EQ(check("127.0.0.1", "10.77.0.1:19009"), "");
    EXPECT_EQ(check("127.0.0.1", "255.255.255.255:19009"), "");
    EXPECT_NE(check("127.0.0.1", "192.168.1.1:19009"), "");
    EXPECT_NE(check("10.77.0.9", "10.77.0.1:19009"), ""); // not an address of this namespace
}

TEST(HostileForgedHeader, PacketsCarryStackedHeadersFromEveryForgedSourceInTheSandboxOnly)
{
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions({"--mode", "forged-header", "--from", "127.0.0.1", "--to", "10.77.0.1:19009", "--spoof",
                              "10.77.0.2:19010", "--spoof", "10.77.0.20:19010", "--stack", "8", "--rate", "100"},
                             o, error))
        << error;
    EXPECT_EQ(o.spoofs.size(), 2u);
    EXPECT_EQ(o.size, 8 * kFrameHeaderSize);
    Options none;
    EXPECT_FALSE(ParseOptions({"--mode", "forged-header", "--from", "10.77.0.9", "--to", "10.77.0.1:19009", "--rate",
                               "1"},
                              none, error));
    const std::string entered = sandbox::EnterPrivateNetwork(); // only loopback here
    ASSERT_TRUE(entered.empty()) << entered;
    EXPECT_EQ(CheckSafety(o), "");
    o.spoofs.push_back({0x0a4e0002, 19010}); // 10.78.0.2: outside
    EXPECT_NE(CheckSafety(o).find("--spoof 10.78.0.2:19010"), std::string::npos) << CheckSafety(o);

    // Each header declares the largest body a receiver waits for.
    const std::string headers = ForgedHeaders(8);
    ASSERT_EQ(headers.size(), 8 * kFrameHeaderSize);
    for (size_t at = 0; at < headers.size(); at += kFrameHeaderSize) {
        EXPECT_EQ(headers.compare(at, kFrameMagicSize, kFrameMagic), 0);
        EXPECT_EQ(ReadFrameLength(headers.c_str() + at + kFrameMagicSize), static_cast<int32_t>(kMaxFrameBodyLength));
    }
    const std::string packet = SpoofedUdpPacket({0x0a4d0002, 19010}, {0x0a4d0001, 19009}, headers);
    ASSERT_EQ(packet.size(), 28 + headers.size());
    EXPECT_EQ(packet.substr(12, 8), std::string("\x0a\x4d\x00\x02\x0a\x4d\x00\x01", 8)); // source, destination
    EXPECT_EQ(packet.substr(20, 4), std::string("\x4a\x42\x4a\x41", 4));                 // ports 19010, 19009
    EXPECT_EQ(packet.substr(28), headers);
}
