#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Vant::CProtocalJson;
using Serials = std::vector<std::string>;

std::string Answer(const std::string &serial) {
    return R"({"api":"/brenu/model/searchbrenu.htm","params":{"data":[{"serialNo":")" + serial + R"("}]}})";
}

std::string Content(const ByteBuffer &b) { return b.Length() ? std::string(b.Data(), b.Length()) : std::string(); }

// A reassembly buffer scanned after every datagram, recording the serial
// numbers of the messages handed on.
struct Receiver {
    ByteBuffer buffer;
    Serials serials;

    void Receive(const std::string &datagram) {
        ASSERT_TRUE(buffer.Append(datagram.data(), static_cast<std::uint32_t>(datagram.size())));
        CProtocalJson message;
        EXPECT_FALSE(ScanFrames(buffer, message, [this](CProtocalJson &m) {
            serials.push_back(Vant::ValueToString(m.GetDataValue(0, "serialNo")));
            return ScanNext::Continue;
        }));
    }
    std::string Kept() const { return Content(buffer); }
};

TEST(FrameBuild, HeaderCarriesTheZeroPaddedLength) {
    const std::string request = R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/searchbrenu.htm"})";
    EXPECT_EQ(BuildFrame(request), "KTRW00010000000000000075" + request);
    EXPECT_EQ(BuildFrame(request).size(), 99u);
    EXPECT_EQ(BuildFrame(""), "KTRW00010000000000000000");
    EXPECT_EQ(BuildFrame(std::string(123456, ' ')).substr(8, 16), "0000000000123456");
}

TEST(FrameScan, FramesAreTakenInOrderWhateverTheDatagramBoundaries) {
    const std::string stream = BuildFrame(Answer("A")) + BuildFrame(Answer("B")) + BuildFrame(Answer("C"));
    for (std::size_t cut : {stream.size(), std::size_t{1}, std::size_t{5}, std::size_t{23}, std::size_t{24},
                            std::size_t{60}, std::size_t{200}}) {
        Receiver receiver;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            receiver.Receive(stream.substr(at, cut));
            // While a frame is incomplete every byte of it is kept.
            const std::size_t done = at + cut < stream.size() ? at + cut : stream.size();
            EXPECT_EQ(receiver.Kept(), stream.substr(done - receiver.Kept().size(), receiver.Kept().size()));
        }
        EXPECT_EQ(receiver.serials, (Serials{"A", "B", "C"})) << "pieces of " << cut;
        EXPECT_EQ(receiver.Kept(), "");
    }
}

TEST(FrameScan, GarbageIsDroppedOnlyOnceItCanHoldNoFrame) {
    Receiver receiver;
    receiver.Receive(std::string(23, 'g'));
    EXPECT_EQ(receiver.Kept(), std::string(23, 'g')) << "fewer than 24 bytes wait for more";
    receiver.Receive("KTRW");
    EXPECT_EQ(receiver.Kept(), "") << "24 bytes or more without a whole magic go, a partial magic too";
    receiver.Receive("0001" + BuildFrame(Answer("lost")).substr(8));
    EXPECT_TRUE(receiver.serials.empty());

    receiver.Receive("xxKTRW");  // below 24 bytes a split magic survives
    receiver.Receive(BuildFrame(Answer("A")).substr(4) + "KTRW00");
    EXPECT_EQ(receiver.serials, (Serials{"A"}));
    EXPECT_EQ(receiver.Kept(), "KTRW00");
}

TEST(FrameScan, LengthFieldIsReadLikeAtoiAndMustBePositive) {
    const std::string body = Answer("A");
    const std::string n = std::to_string(body.size());
    struct Case {
        std::string field;
        bool accepted;
    } cases[] = {
        {std::string(16 - n.size(), '0') + n, true},
        {std::string(14, ' ') + n, true},
        {" \t\n\v\f\r" + std::string(10 - n.size(), '0') + n, true},
        {"+" + std::string(15 - n.size(), '0') + n, true},
        {n + "xxxxxxxxxxxxxx", true},
        {n + std::string(14, '\0'), true},
        {"-" + std::string(15 - n.size(), '0') + n, false},
        {"abcdefghijklmnop", false},
        {"0000000000000000", false},
        {"+-" + std::string(14 - n.size(), '0') + n, false},
        {"0000004294967" + std::to_string(296 + body.size()), false},  // would be the size if it wrapped at 32 bits
        {"0000000000065484", false},                                   // above kMaxFrameBodyLength
    };
    const std::string next = BuildFrame(Answer("B"));
    for (const Case &c : cases) {
        ASSERT_EQ(c.field.size(), 16u);
        Receiver receiver;
        receiver.Receive(kFrameMagic + c.field + body + next);
        EXPECT_EQ(receiver.serials, (c.accepted ? Serials{"A", "B"} : Serials{"B"})) << c.field;
        EXPECT_EQ(receiver.Kept(), "") << c.field;
    }
}

TEST(FrameScan, BodyOfExactlyTheBoundIsWaitedFor) {
    ASSERT_EQ(kMaxFrameBodyLength, 65507u - 24u);  // the most one IPv4 UDP datagram carries, less a header
    const std::string body = Answer("big") + std::string(kMaxFrameBodyLength - Answer("big").size(), ' ');
    const std::string frame = BuildFrame(body);
    Receiver receiver;
    for (std::size_t at = 0; at < frame.size(); at += 1472) {
        receiver.Receive(frame.substr(at, 1472));
        ASSERT_LT(receiver.buffer.Length(), kFrameHeaderSize + kMaxFrameBodyLength);
    }
    EXPECT_EQ(receiver.serials, (Serials{"big"}));
    EXPECT_EQ(receiver.Kept(), "");
}

TEST(FrameScan, RejectedBodyCostsItsMagicAndIsSearchedAgain) {
    const std::string inner = BuildFrame(Answer("inner"));
    struct Case {
        std::string body;
        std::string kept;  // what follows the inner frame: fewer than 24 bytes
    } cases[] = {
        {"{{ " + inner + " }}", " }}"},
        {R"({"params":{}, "x":")" + inner + "\"}", "\"}"},
        {Answer("outer") + inner, ""},
    };
    for (const Case &c : cases) {
        Receiver receiver;
        receiver.Receive(BuildFrame(c.body));
        EXPECT_EQ(receiver.serials, (Serials{"inner"})) << c.body;
        EXPECT_EQ(receiver.Kept(), c.kept);
    }
    Receiver nul;
    nul.Receive(BuildFrame(Answer("A") + std::string("\0trailing", 9)));
    EXPECT_EQ(nul.serials, (Serials{"A"})) << "a NUL after a complete value ends the text";
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

// The failed-body budget of a FrameBuffer: counted across scans, reset whenever
// the buffer is empty, and the body that reaches it drops everything buffered.
TEST(FrameScan, FailedBodyBudgetDropsTheBufferOnlyForASenderThatNeverEmptiesIt) {
    // Valid JSON but not a message; what follows its magic (18 bytes) is too short to tell.
    const std::string bad = BuildFrame("[]");
    const auto scan = [](FrameBuffer &buffer, const std::string &datagram) {
        EXPECT_TRUE(buffer.bytes.Append(datagram.data(), static_cast<std::uint32_t>(datagram.size())));
        Serials serials;
        CProtocalJson message;
        ScanFrames(buffer, message, [&](CProtocalJson &m) {
            serials.push_back(Vant::ValueToString(m.GetDataValue(0, "serialNo")));
            return ScanNext::Continue;
        });
        return serials;
    };
    std::string badFrames;
    for (std::uint32_t i = 0; i + 1 < kMaxFailedBodies; ++i)
        badFrames += bad;

    // One short of the budget in one datagram: the answer behind is still taken, and
    // the emptied buffer starts afresh, so the same again is fine too.
    FrameBuffer within;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(scan(within, badFrames + BuildFrame(Answer("A"))), (Serials{"A"}));
        EXPECT_EQ(within.failedBodies, 0u);
    }
    // The body that reaches the budget drops the rest of the buffer with it.
    FrameBuffer over;
    EXPECT_EQ(scan(over, badFrames + bad + BuildFrame(Answer("lost"))), Serials{});
    EXPECT_EQ(Content(over.bytes), "");
    EXPECT_EQ(over.failedBodies, 0u);

    // Across datagrams the count goes on while bytes stay buffered (here 22, too few
    // to tell) ...
    FrameBuffer kept;
    for (std::uint32_t i = 0; i + 1 < kMaxFailedBodies; ++i) {
        EXPECT_EQ(scan(kept, bad + "KTRW"), Serials{});
        EXPECT_EQ(kept.failedBodies, i + 1);
    }
    EXPECT_EQ(scan(kept, bad + BuildFrame(Answer("lost")) + "KTRW"), Serials{});
    EXPECT_EQ(Content(kept.bytes), "");
    // ... and starts again once the buffer has been empty.
    EXPECT_EQ(scan(kept, bad + BuildFrame(Answer("B"))), (Serials{"B"}));
    EXPECT_EQ(kept.failedBodies, 0u);
}

}  // namespace
