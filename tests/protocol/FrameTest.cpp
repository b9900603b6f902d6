#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Vant::CProtocalJson;

const std::string kSearchRequest = R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/searchbrenu.htm"})";

std::string Answer(const std::string &serial) {
    return R"({"api":"/brenu/model/searchbrenu.htm","params":{"data":[{"serialNo":")" + serial + R"("}]}})";
}

std::string Header(const std::string &lengthField) { return kFrameMagic + lengthField; }

std::string Content(const ByteBuffer &buffer) {
    return buffer.Length() ? std::string(buffer.Data(), buffer.Length()) : std::string();
}

// A reassembly buffer fed datagram by datagram and scanned after each, the way
// both receivers use the scanner; records the serial numbers handed on.
struct Receiver {
    ByteBuffer buffer;
    std::vector<std::string> serials;

    ScanNext Record(CProtocalJson &message) {
        serials.push_back(Vant::ValueToString(message.GetDataValue(0, "serialNo")));
        return ScanNext::Continue;
    }
    void Receive(const std::string &datagram) {
        ASSERT_TRUE(buffer.Append(datagram.data(), static_cast<std::uint32_t>(datagram.size())));
        CProtocalJson message;
        EXPECT_FALSE(ScanFrames(buffer, message, [this](CProtocalJson &m) { return Record(m); }));
    }
    std::string Kept() const { return Content(buffer); }
};

// ---- building ------------------------------------------------------------

TEST(FrameBuild, HeaderCarriesTheZeroPaddedLength) {
    const std::string frame = BuildFrame(kSearchRequest);
    EXPECT_EQ(frame.size(), 99u);
    EXPECT_EQ(frame, "KTRW00010000000000000075" + kSearchRequest);

    EXPECT_EQ(BuildFrame(""), "KTRW00010000000000000000");
    const std::string binary("a\0\xff", 3);
    EXPECT_EQ(BuildFrame(binary), "KTRW00010000000000000003" + binary);
    EXPECT_EQ(BuildFrame(std::string(123456, ' ')).substr(8, 16), "0000000000123456");
}

TEST(FrameBuild, LengthFieldReadsLikeAtoi) {
    EXPECT_EQ(ReadFrameLength("0000000000000075"), 75);
    EXPECT_EQ(ReadFrameLength("              75"), 75);
    EXPECT_EQ(ReadFrameLength(" \t\n\v\f\r0000000075"), 75);
    EXPECT_EQ(ReadFrameLength("75abcdefghijklmn"), 75);
    EXPECT_EQ(ReadFrameLength("+000000000000075"), 75);
    EXPECT_EQ(ReadFrameLength(std::string("75\0\0\0\0\0\0\0\0\0\0\0\0\0\0999", 19).c_str()), 75);
    EXPECT_EQ(ReadFrameLength("-000000000000075"), -75);
    EXPECT_EQ(ReadFrameLength("abcdefghijklmnop"), 0);
    EXPECT_EQ(ReadFrameLength("                "), 0);
    EXPECT_EQ(ReadFrameLength("+-00000000000075"), 0);
    // Only the 16 bytes of the field count, and large values clamp instead of wrapping.
    EXPECT_EQ(ReadFrameLength("               7999"), 7);
    EXPECT_EQ(ReadFrameLength("0000004294967371"), INT32_MAX);
    EXPECT_EQ(ReadFrameLength("-999999999999999"), INT32_MIN);
}

// ---- scanning ------------------------------------------------------------

TEST(FrameScan, FramesAreTakenInOrderWhateverTheDatagramBoundaries) {
    Receiver twoInOne;
    twoInOne.Receive(BuildFrame(Answer("A")) + BuildFrame(Answer("B")));
    EXPECT_EQ(twoInOne.serials, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(twoInOne.Kept(), "");

    // Split anywhere, also inside the magic and the length field.
    const std::string stream = BuildFrame(Answer("A")) + BuildFrame(Answer("B")) + BuildFrame(Answer("C"));
    for (std::size_t cut : {1u, 5u, 12u, 23u, 24u, 60u, 200u}) {
        Receiver split;
        for (std::size_t at = 0; at < stream.size(); at += cut)
            split.Receive(stream.substr(at, cut));
        EXPECT_EQ(split.serials, (std::vector<std::string>{"A", "B", "C"})) << "pieces of " << cut;
        EXPECT_EQ(split.Kept(), "");
    }
}

TEST(FrameScan, IncompleteFrameWaitsWithEveryByteKept) {
    const std::string frame = BuildFrame(Answer("A"));
    Receiver receiver;
    receiver.Receive("junk" + frame.substr(0, 40));
    EXPECT_TRUE(receiver.serials.empty());
    EXPECT_EQ(receiver.Kept(), frame.substr(0, 40)) << "only the garbage before the magic goes";
    receiver.Receive(frame.substr(40) + "KTRW00");
    EXPECT_EQ(receiver.serials, (std::vector<std::string>{"A"}));
    EXPECT_EQ(receiver.Kept(), "KTRW00") << "fewer than 24 bytes stay as they are";
}

TEST(FrameScan, GarbageIsDroppedOnlyOnceItCanHoldNoFrame) {
    Receiver receiver;
    const std::string garbage23(23, 'g');
    receiver.Receive(garbage23);
    EXPECT_EQ(receiver.Kept(), garbage23);

    receiver.Receive("KTRW");  // 27 bytes, no whole magic: all dropped, the partial magic too
    EXPECT_EQ(receiver.Kept(), "");
    receiver.Receive("0001" + BuildFrame(Answer("lost")).substr(8));
    EXPECT_TRUE(receiver.serials.empty()) << "a magic split after 24 bytes without one is lost";
    EXPECT_EQ(receiver.Kept(), "");

    // Below 24 bytes a split magic survives.
    Receiver small;
    small.Receive("xxKTRW");
    small.Receive(BuildFrame(Answer("A")).substr(4));
    EXPECT_EQ(small.serials, (std::vector<std::string>{"A"}));
}

TEST(FrameScan, LengthFieldsThatAreNotPositiveCostTheMagicOnly) {
    const std::string body = Answer("A");
    const std::string good = BuildFrame(Answer("B"));
    struct Case {
        std::string field;
        bool accepted;
    } cases[] = {
        {"              " + std::to_string(body.size()), true},
        {std::to_string(body.size()) + "xxxxxxxxxxxxxx", true},
        {std::to_string(body.size()) + std::string(14, '\0'), true},
        {"-" + std::string(13, '0') + std::to_string(body.size()), false},
        {"abcdefghijklmnop", false},
        {"0000000000000000", false},
        {"0000004294967371", false},  // would be 75 if the value wrapped at 32 bits
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.field.size(), 16u);
        Receiver receiver;
        receiver.Receive(Header(c.field) + body + good);
        const std::vector<std::string> expected =
            c.accepted ? std::vector<std::string>{"A", "B"} : std::vector<std::string>{"B"};
        EXPECT_EQ(receiver.serials, expected) << c.field;
        EXPECT_EQ(receiver.Kept(), "") << c.field;
    }
}

TEST(FrameScan, DeclaredLengthAboveTheBoundIsNotWaitedFor) {
    ASSERT_EQ(kMaxFrameBodyLength, 1048576u);
    const std::string good = BuildFrame(Answer("B"));

    Receiver above;
    above.Receive(Header("0000000001048577") + good);
    EXPECT_EQ(above.serials, (std::vector<std::string>{"B"}));
    EXPECT_EQ(above.Kept(), "");

    // Exactly the bound: the receiver waits for the whole body, then takes it.
    const std::string body = Answer("big") + std::string(kMaxFrameBodyLength - Answer("big").size(), ' ');
    const std::string frame = BuildFrame(body);
    ASSERT_EQ(frame.substr(8, 16), "0000000001048576");
    Receiver atBound;
    atBound.Receive(frame.substr(0, 1000));
    EXPECT_EQ(atBound.Kept(), frame.substr(0, 1000));
    for (std::size_t at = 1000; at < frame.size(); at += 1472) {
        atBound.Receive(frame.substr(at, 1472));
        ASSERT_LT(atBound.buffer.Length(), kFrameHeaderSize + kMaxFrameBodyLength);
    }
    EXPECT_EQ(atBound.serials, (std::vector<std::string>{"big"}));
    EXPECT_EQ(atBound.Kept(), "");
}

TEST(FrameScan, RejectedBodyIsSearchedForAFurtherMagic) {
    const std::string inner = BuildFrame(Answer("inner"));
    struct Case {
        const char *what;
        std::string body;
        std::string after;  // what follows the inner frame: fewer than 24 bytes, so kept
    } cases[] = {
        {"not JSON", "{{ " + inner + " }}", " }}"},
        {"no params.data", R"({"params":{}, "x":")" + inner + "\"}", "\"}"},
        {"trailing bytes", Answer("outer") + inner, ""},
    };
    for (const Case &c : cases) {
        Receiver receiver;
        receiver.Receive(BuildFrame(c.body));
        EXPECT_EQ(receiver.serials, (std::vector<std::string>{"inner"})) << c.what;
        EXPECT_EQ(receiver.Kept(), c.after) << c.what;
    }

    // A NUL after a complete value ends the text: that body is fine.
    Receiver nul;
    nul.Receive(BuildFrame(Answer("A") + std::string("\0trailing", 9)));
    EXPECT_EQ(nul.serials, (std::vector<std::string>{"A"}));
}

TEST(FrameScan, StoppingAfterTheFirstMessageLeavesTheRestForLater) {
    ByteBuffer buffer;
    const std::string stream = "noise" + BuildFrame(Answer("A")) + BuildFrame("{}") + BuildFrame(Answer("B")) + "KT";
    ASSERT_TRUE(buffer.Append(stream.data(), static_cast<std::uint32_t>(stream.size())));
    const auto stop = [](CProtocalJson &) { return ScanNext::Stop; };

    CProtocalJson answer;
    ASSERT_TRUE(ScanFrames(buffer, answer, stop));
    EXPECT_EQ(Vant::ValueToString(answer.GetDataValue(0, "serialNo")), "A");
    EXPECT_EQ(Content(buffer), BuildFrame("{}") + BuildFrame(Answer("B")) + "KT");

    ASSERT_TRUE(ScanFrames(buffer, answer, stop));
    EXPECT_EQ(Vant::ValueToString(answer.GetDataValue(0, "serialNo")), "B");
    EXPECT_EQ(Content(buffer), "KT");

    EXPECT_FALSE(ScanFrames(buffer, answer, stop));
    EXPECT_EQ(Content(buffer), "KT");
}

TEST(FrameScan, ThrowingActionStillConsumesItsFrame) {
    ByteBuffer buffer;
    const std::string stream = BuildFrame(Answer("A")) + BuildFrame(Answer("B"));
    ASSERT_TRUE(buffer.Append(stream.data(), static_cast<std::uint32_t>(stream.size())));
    CProtocalJson message;
    EXPECT_THROW(ScanFrames(buffer, message, [](CProtocalJson &) -> ScanNext { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_EQ(Content(buffer), BuildFrame(Answer("B")));
}

TEST(FrameScan, EmptyBufferIsLeftAlone) {
    ByteBuffer buffer;
    CProtocalJson message;
    int calls = 0;
    EXPECT_FALSE(ScanFrames(buffer, message, [&](CProtocalJson &) { ++calls; return ScanNext::Continue; }));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(buffer.Data(), nullptr);
}

}  // namespace
