// What a searcher does with the bytes its socket delivers: per-sender reassembly,
// logging of every valid message, and dispatch of the search answers. The datagrams
// are handed to PushData directly, as the socket's worker would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SearchTestSupport.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"
#include "tests/kit/FakeClock.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"

using namespace searchtest;

namespace {

class SearcherMessages : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLogDirectory();
        searcher.SetPendingClock(clock);
    }

    void Push(const std::string &sender, const std::string &bytes, uint16_t port = QUdpCast::kDestinationPort)
    {
        searcher.PushData(sender, port, reinterpret_cast<const uint8_t *>(bytes.data()),
                          static_cast<int32_t>(bytes.size()));
    }
    std::vector<std::string> Serials() const
    {
        std::vector<std::string> serials;
        for (const std::string &text : collector.Texts())
            serials.push_back(SerialOf(text));
        return serials;
    }
    // The logger writes in the background; wait for `count` lines with `marker`.
    bool WaitForLogLines(const std::string &marker, size_t count)
    {
        return WaitUntil([&] { return CountLogLines("UdpCast", marker) >= count; }, 5000);
    }

    std::shared_ptr<kittest::FakeClock> clock = std::make_shared<kittest::FakeClock>();
    Collector collector;
    QUdpCastGroup group{&Collector::Callback, &collector};
    // Never started: the test plays the socket's worker.
    QUdpCast searcher{"10.77.0.1", &group, false};
};

} // namespace

TEST_F(SearcherMessages, EveryValidMessageIsLoggedAndOnlySearchAnswersInAnyLetterCaseAreDispatched)
{
    // A searcher without a group neither logs nor dispatches; it goes first, so the
    // logger has written its line, if any, by the time the others' lines are there.
    QUdpCast orphan{"10.77.0.1", nullptr, false};
    const std::string orphanFrame = SearchAnswerFrame("MSG-CASE-ORPHAN");
    orphan.PushData("10.77.0.2", QUdpCast::kDestinationPort, reinterpret_cast<const uint8_t *>(orphanFrame.data()),
                    static_cast<int32_t>(orphanFrame.size()));
    Push("10.77.0.2", SearchAnswerFrame("MSG-CASE-1", "/BRENU/Model/SearchBrenu.HTM"));
    Push("10.77.0.2", SearchAnswerFrame("MSG-CASE-2", "/brenu/model/reboot.htm"));
    // Without "params"."data": neither logged nor dispatched.
    Push("10.77.0.2", BuildFrame("{\"api\":\"/brenu/model/searchbrenu.htm\",\"serialNo\":\"MSG-CASE-3\"}"));
    Push("10.77.0.2", BuildFrame("{\"api\":\"/brenu/model/searchbrenu.htm\",\"params\":{\"serialNo\":\"MSG-CASE-4\"}}"));
    // Same letters but a longer path: not a search answer.
    Push("10.77.0.2", SearchAnswerFrame("MSG-CASE-5", "/brenu/model/searchbrenu.htm/"));
    const std::string body = SearchAnswerBody("MSG-CASE-6");
    Push("10.77.0.2", BuildFrame(body));

    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-CASE-1", "MSG-CASE-6"}));
    // The callback gets the compact rewrite, not the bytes received.
    const std::string compact = Compact(body);
    ASSERT_FALSE(compact.empty());
    EXPECT_NE(compact, body);
    EXPECT_EQ(collector.Texts().back(), compact);

    ASSERT_TRUE(WaitForLogLines("MSG-CASE-6", 1));
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-1"), 1u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-2"), 1u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-3"), 0u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-4"), 0u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-5"), 1u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-ORPHAN"), 0u);
    // "[YYYY-MM-DD HH:MM:SS] " + the compact text, CR LF.
    std::string line;
    for (const std::string &l : LogLines("UdpCast")) {
        if (l.find("MSG-CASE-6") != std::string::npos)
            line = l;
    }
    ASSERT_GE(line.size(), 22u);
    EXPECT_EQ(line[0], '[');
    EXPECT_EQ(line.substr(20, 2), "] ");
    EXPECT_EQ(line.substr(22), compact + "\r");
}

TEST_F(SearcherMessages, AnAnswerCallbackReadsTheParsedMessageWhileTheLogKeepsTheEscapedText)
{
    struct Heard {
        std::vector<std::string> serials, descriptions;
    } heard;
    QUdpCastGroup answers{nullptr, &heard};
    answers.SetAnswerCallBack([](const Vant::CProtocalJson &message, const InterfaceAddress &, const AnswerSource &, void *user) {
        auto *h = static_cast<Heard *>(user);
        h->serials.push_back(Vant::ValueToString(message.GetDataValue(0, "serialNo")));
        h->descriptions.push_back(Vant::ValueToString(message.GetDataValue(0, "description")));
    });
    QUdpCast parsed{"10.77.0.1", &answers, false};
    const auto push = [&](const std::string &frame) {
        parsed.PushData("10.77.0.2", QUdpCast::kDestinationPort, reinterpret_cast<const uint8_t *>(frame.data()),
                        static_cast<int32_t>(frame.size()));
    };
    // U+202E in the description: the message holds the character, the log its escape.
    push(BuildFrame(R"({"api":"/brenu/model/searchbrenu.htm","params":{"data":[{"serialNo":"MSG-PARSED",)"
                    "\"description\":\"a\xE2\x80\xAE" "b\"}]}}"));
    push(SearchAnswerFrame("MSG-PARSED-REBOOT", "/brenu/model/reboot.htm"));
    EXPECT_EQ(heard.serials, (std::vector<std::string>{"MSG-PARSED"}));
    EXPECT_EQ(heard.descriptions, (std::vector<std::string>{"a\xE2\x80\xAE" "b"}));
    ASSERT_TRUE(WaitForLogLines("MSG-PARSED-REBOOT", 1));
    EXPECT_EQ(CountLogLines("UdpCast", R"("description":"a\u202Eb")"), 1u);
}

TEST_F(SearcherMessages, GarbageAndBrokenFramesAreSkippedAndTwoAnswersInOneDatagramComeInOrder)
{
    // Garbage, a magic with a negative length, a body that is not JSON, then two answers.
    Push("10.77.0.4", std::string("\x01\x02 not a frame KTRW") + "KTRW0001-000000000000075" +
                          BuildFrame("{\"params\":") + SearchAnswerFrame("MSG-TWO-A") + SearchAnswerFrame("MSG-TWO-B"));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-TWO-A", "MSG-TWO-B"}));
    // A frame split over two datagrams is handled when its second part arrives.
    const std::string split = SearchAnswerFrame("MSG-SPLIT");
    Push("10.77.0.4", split.substr(0, 10)); // less than a header
    Push("10.77.0.4", split.substr(10, 100));
    EXPECT_EQ(collector.Count(), 2u);
    Push("10.77.0.4", split.substr(110));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-TWO-A", "MSG-TWO-B", "MSG-SPLIT"}));
}

TEST_F(SearcherMessages, OnlySendersWithAnIncompleteFrameKeepAnEntryAndEmptiedEntriesGo)
{
    Push("10.77.0.5", SearchAnswerFrame("MSG-WHOLE"));
    EXPECT_EQ(searcher.PendingSenders(), 0u);
    const std::string split = SearchAnswerFrame("MSG-PENDING");
    Push("10.77.0.5", split.substr(0, 200));
    Push("10.77.0.6", "KTRW"); // too short to tell: kept
    EXPECT_EQ(searcher.PendingSenders(), 2u);
    EXPECT_GE(searcher.PendingBytes(), 204u);
    Push("10.77.0.5", split.substr(200));
    Push("10.77.0.6", std::string(30, 'g')); // now garbage: dropped whole
    EXPECT_EQ(searcher.PendingSenders(), 0u);
    EXPECT_EQ(searcher.PendingBytes(), 0u);
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-WHOLE", "MSG-PENDING"}));
}

TEST_F(SearcherMessages, PendingSendersAndBytesAreCappedByDroppingTheOldest)
{
    const auto address = [](size_t i) { return "10.78." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1); };
    // More senders with a partial answer than the sender cap.
    const std::string split = SearchAnswerFrame("MSG-CAP");
    const size_t senders = QUdpCast::kMaxPendingSenders + 100;
    for (size_t i = 0; i < senders; ++i)
        Push(address(i), split.substr(0, 100));
    EXPECT_EQ(searcher.PendingSenders(), QUdpCast::kMaxPendingSenders);
    EXPECT_LE(searcher.PendingBytes(), QUdpCast::kMaxPendingBytes);
    Push(address(0), split.substr(100)); // its start was dropped: the rest is garbage
    Push(address(senders - 1), split.substr(100));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-CAP"}));

    // Frames of nearly the largest size pending from more senders than the byte cap holds.
    const std::string body = SearchAnswerBody("MSG-BIG");
    const std::string big = BuildFrame(body + std::string(60000 - body.size(), ' '));
    const size_t bigSenders = QUdpCast::kMaxPendingBytes / big.size() + 10;
    for (size_t i = 0; i < bigSenders; ++i) {
        Push(address(senders + i), big.substr(0, big.size() - 1));
        ASSERT_LE(searcher.PendingBytes(), QUdpCast::kMaxPendingBytes);
    }
    EXPECT_LT(searcher.PendingSenders(), bigSenders);
    Push(address(senders), big.substr(big.size() - 1)); // the oldest: dropped
    Push(address(senders + bigSenders - 1), big.substr(big.size() - 1));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-CAP", "MSG-BIG"}));
}

TEST_F(SearcherMessages, AForgedHeaderFromADevicesAddressAndPortHoldsNothingBack)
{
    // A header declaring the largest body, and eight of them stacked, each sent from
    // the device's address and answer port just before and just after its answer.
    const std::string header = std::string(kFrameMagic, kFrameMagicSize) + "0000000000065483";
    std::string stacked;
    for (int i = 0; i < 8; ++i)
        stacked += header;
    Push("10.77.0.2", header);
    Push("10.77.0.2", SearchAnswerFrame("MSG-FORGED-1"));
    Push("10.77.0.2", header);
    clock->tick += 10;
    Push("10.77.0.2", stacked);
    Push("10.77.0.2", SearchAnswerFrame("MSG-FORGED-2"));
    // The same header from another port of the device's address touches nothing.
    Push("10.77.0.2", header, 40000);
    Push("10.77.0.2", SearchAnswerFrame("MSG-FORGED-3"));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-FORGED-1", "MSG-FORGED-2", "MSG-FORGED-3"}));
    // The other port's header, and the stacked headers the answer set aside, until
    // they expire.
    EXPECT_EQ(searcher.PendingSenders(), 2u);

    // A genuine split frame still completes, also when its last part arrives just
    // within the time-out of its first; only its first part begins with a header.
    const std::string split = SearchAnswerFrame("MSG-SPLIT-SLOW");
    Push("10.77.0.3", split.substr(0, 40));
    clock->tick += kPendingFrameTimeoutMs / 2;
    Push("10.77.0.3", split.substr(40, 40));
    clock->tick += kPendingFrameTimeoutMs / 2;
    Push("10.77.0.3", split.substr(80));
    EXPECT_EQ(collector.Count(), 4u);
}

TEST_F(SearcherMessages, AHeaderEveryHalfSecondNeitherHoldsNorHidesASplitFrame)
{
    // The forger repeats a header declaring the largest body from the device's
    // address and port every 500 ms, so the pending state never goes a second
    // without a datagram; the device's frame comes in two parts between them.
    const std::string header = std::string(kFrameMagic, kFrameMagicSize) + "0000000000065483";
    Push("10.77.0.4", header);
    for (int round = 0; round < 4; ++round) {
        clock->tick += kPendingFrameTimeoutMs / 2;
        Push("10.77.0.4", header);
        clock->tick += 5;
        const std::string split = SearchAnswerFrame("MSG-SPLIT-" + std::to_string(round));
        Push("10.77.0.4", split.substr(0, 60));
        clock->tick += 2;
        Push("10.77.0.4", split.substr(60));
    }
    // A header that lands between the two halves sets the first aside, not away.
    const std::string between = SearchAnswerFrame("MSG-SPLIT-BETWEEN");
    Push("10.77.0.4", between.substr(0, 60));
    Push("10.77.0.4", header);
    Push("10.77.0.4", between.substr(60));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-SPLIT-0", "MSG-SPLIT-1", "MSG-SPLIT-2", "MSG-SPLIT-3",
                                                   "MSG-SPLIT-BETWEEN"}));
    // Datagrams that keep coming do not keep a pending frame: it goes a second after
    // its first datagram.
    Push("10.77.0.4", header);
    for (int i = 0; i < 5; ++i) {
        clock->tick += kPendingFrameTimeoutMs / 4;
        Push("10.77.0.4", std::string(30, 'x'));
    }
    EXPECT_EQ(searcher.PendingBytes(), 0u);
}

TEST_F(SearcherMessages, ForgedStartsAndStrayDatagramsBetweenTheHalvesOfASplitFrameHideNothing)
{
    // From the device's address and port, between (and in front of) the parts of
    // its split frames: two forged headers, a stray datagram that does not begin
    // with a magic, both together, and a stray between each of three parts.
    const std::string header = std::string(kFrameMagic, kFrameMagicSize) + "0000000000065483";
    const std::string stray(200, 's');
    const std::vector<std::vector<std::string>> attacks{
        {header, header}, {stray}, {header, header, stray}, {stray, header, stray}};
    std::vector<std::string> expected;
    int n = 0;
    for (const auto &between : attacks) {
        const std::string serial = "MSG-BETWEEN-" + std::to_string(n++);
        const std::string frame = SearchAnswerFrame(serial);
        for (const std::string &datagram : between) // in front as well
            Push("10.77.0.5", datagram);
        Push("10.77.0.5", frame.substr(0, 60));
        for (const std::string &datagram : between)
            Push("10.77.0.5", datagram);
        Push("10.77.0.5", frame.substr(60));
        expected.push_back(serial);
        clock->tick += kPendingFrameTimeoutMs + 1;
    }
    const std::string three = SearchAnswerFrame("MSG-THREE-PARTS");
    Push("10.77.0.5", three.substr(0, 50));
    Push("10.77.0.5", stray);
    Push("10.77.0.5", three.substr(50, 50));
    Push("10.77.0.5", stray);
    Push("10.77.0.5", three.substr(100));
    expected.push_back("MSG-THREE-PARTS");
    // Each frame once: the candidates that could not complete it are gone with it.
    EXPECT_EQ(Serials(), expected);

    // A flood of strays keeps at most kMaxFrameCandidates frames pending, each within
    // the frame bound.
    clock->tick += kPendingFrameTimeoutMs + 1;
    Push("10.77.0.6", header);
    for (int i = 0; i < 40; ++i)
        Push("10.77.0.6", std::string(1400, char('a' + i % 26)));
    EXPECT_LE(searcher.PendingBytes(), kMaxFrameCandidates * kMaxFrameSize + QUdpCast::kPendingEntryCost);
    EXPECT_GT(searcher.PendingBytes(), 40u * 1400u); // the newest candidate holds them all
}

TEST_F(SearcherMessages, AnIncompleteFrameExpiresAfterItsTimeOut)
{
    const std::string split = SearchAnswerFrame("MSG-EXPIRED");
    Push("10.77.0.7", split.substr(0, 100));
    Push("10.77.0.8", split.substr(0, 100));
    clock->tick += kPendingFrameTimeoutMs + 1;
    // Any datagram clears what has expired, whoever sends it.
    Push("10.77.0.9", SearchAnswerFrame("MSG-OTHER"));
    EXPECT_EQ(searcher.PendingSenders(), 0u);
    EXPECT_EQ(searcher.PendingBytes(), 0u);
    // The rest of the expired frame is then garbage.
    Push("10.77.0.7", split.substr(100));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-OTHER"}));
}

TEST_F(SearcherMessages, ControlsThatMustNotShowRawAreEscapedInTheLogLine)
{
    // C1 CSI, the line separator and a right-to-left override in a description; C0
    // is escaped by the JSON writer as before.
    const std::string raw = "desc\xc2\x9b" "31m\xe2\x80\xa8" "x\xe2\x80\xae" "y\\u0001";
    Push("10.77.0.2", BuildFrame("{\"api\":\"/brenu/model/searchbrenu.htm\",\"params\":{\"data\":[{\"serialNo\":"
                                 "\"MSG-ESCAPE\",\"description\":\"" + raw + "\"}]}}"));
    ASSERT_TRUE(WaitForLogLines("MSG-ESCAPE", 1));
    std::string line;
    for (const std::string &text : LogLines("UdpCast"))
        if (text.find("MSG-ESCAPE") != std::string::npos)
            line = text;
    EXPECT_NE(line.find("desc\\u009B31m\\u2028x\\u202Ey\\u0001"), std::string::npos) << line;
    EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos);
    EXPECT_EQ(line.find("\xe2\x80\xa8"), std::string::npos);
    EXPECT_EQ(line.find("\xe2\x80\xae"), std::string::npos);
}
