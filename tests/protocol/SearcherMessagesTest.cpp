// What a searcher does with the bytes its socket delivers: per-sender reassembly,
// logging of every valid message, and dispatch of the search answers. The datagrams
// are handed to PushData directly, as the socket's worker would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SearchTestSupport.h"
#include "protocol/Frame.h"
#include "protocol/Searcher.h"
#include "protocol/UdpCastGroup.h"

using namespace searchtest;

namespace {

class SearcherMessages : public ::testing::Test {
protected:
    void SetUp() override { TestLogDirectory(); }

    void Push(const std::string &sender, const std::string &bytes)
    {
        searcher.PushData(sender, reinterpret_cast<const uint8_t *>(bytes.data()), static_cast<int32_t>(bytes.size()));
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

    Collector collector;
    QUdpCastGroup group{&Collector::Callback, &collector};
    // Never started: the test plays the socket's worker.
    QUdpCast searcher{"10.77.0.1", &group, false};
};

} // namespace

TEST_F(SearcherMessages, ApiIsComparedWithoutLetterCaseAndOnlySearchAnswersAreDispatched)
{
    // Every valid message is logged; only the search path (in any letter case) is
    // dispatched; a body without "params"."data" is neither.
    Push("10.77.0.2", SearchAnswerFrame("MSG-CASE-1", "/BRENU/Model/SearchBrenu.HTM"));
    Push("10.77.0.2", SearchAnswerFrame("MSG-CASE-2", "/brenu/model/reboot.htm"));
    Push("10.77.0.2", BuildFrame("{\"api\":\"/brenu/model/searchbrenu.htm\",\"serialNo\":\"MSG-CASE-3\"}"));
    Push("10.77.0.2", BuildFrame("{\"api\":\"/brenu/model/searchbrenu.htm\",\"params\":{\"serialNo\":\"MSG-CASE-4\"}}"));
    // Same letters but not the same path: not a search answer.
    Push("10.77.0.2", SearchAnswerFrame("MSG-CASE-5", "/brenu/model/searchbrenu.htm/"));
    Push("10.77.0.2", SearchAnswerFrame("MSG-CASE-6"));

    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-CASE-1", "MSG-CASE-6"}));
    ASSERT_TRUE(WaitForLogLines("MSG-CASE-6", 1));
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-1"), 1u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-2"), 1u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-3"), 0u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-4"), 0u);
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-CASE-5"), 1u);
}

TEST_F(SearcherMessages, CallbackAndLogGetTheCompactRewriteNotTheBytesReceived)
{
    const std::string body = SearchAnswerBody("MSG-COMPACT");
    Push("10.77.0.2", BuildFrame(body));
    ASSERT_EQ(collector.Count(), 1u);
    const std::string compact = Compact(body);
    ASSERT_FALSE(compact.empty());
    EXPECT_NE(compact, body);
    EXPECT_EQ(collector.Texts()[0], compact);

    ASSERT_TRUE(WaitForLogLines("MSG-COMPACT", 1));
    std::string line;
    for (const std::string &l : LogLines("UdpCast")) {
        if (l.find("MSG-COMPACT") != std::string::npos)
            line = l;
    }
    // "[YYYY-MM-DD HH:MM:SS] " + text, CR LF.
    ASSERT_GE(line.size(), 22u);
    EXPECT_EQ(line[0], '[');
    EXPECT_EQ(line.substr(20, 2), "] ");
    EXPECT_EQ(line.substr(22), compact + "\r");
}

TEST_F(SearcherMessages, TwoAnswersInOneDatagramGiveTwoCallbacksInOrder)
{
    Push("10.77.0.2", SearchAnswerFrame("MSG-TWO-A") + SearchAnswerFrame("MSG-TWO-B"));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-TWO-A", "MSG-TWO-B"}));
}

TEST_F(SearcherMessages, SendersKeepSeparateBuffersWhileTheirFramesArriveInPieces)
{
    const std::string a = SearchAnswerFrame("MSG-SPLIT-A");
    const std::string b = SearchAnswerFrame("MSG-SPLIT-B");
    // Interleaved halves: a shared buffer would join the two frames into garbage.
    Push("10.77.0.2", a.substr(0, 60));
    Push("10.77.0.3", b.substr(0, 10)); // fewer than a header
    Push("10.77.0.3", b.substr(10, 100));
    EXPECT_EQ(collector.Count(), 0u);
    Push("10.77.0.2", a.substr(60));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-SPLIT-A"}));
    Push("10.77.0.3", b.substr(110));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-SPLIT-A", "MSG-SPLIT-B"}));
}

TEST_F(SearcherMessages, GarbageAndBrokenFramesAroundAnswersAreSkipped)
{
    const std::string garbage = "\x01\x02 not a frame KTRW";
    // A magic with a bad length, a body that is not JSON, then a good answer.
    Push("10.77.0.4", garbage + "KTRW0001-000000000000075" + BuildFrame("{\"params\":") +
                          SearchAnswerFrame("MSG-GARBAGE"));
    EXPECT_EQ(Serials(), (std::vector<std::string>{"MSG-GARBAGE"}));
    // An empty datagram changes nothing.
    Push("10.77.0.4", "");
    EXPECT_EQ(collector.Count(), 1u);
}

TEST(SearcherWithoutGroup, NeitherLogsNorDispatches)
{
    TestLogDirectory();
    QUdpCast searcher("10.77.0.1", nullptr, false);
    const std::string frame = SearchAnswerFrame("MSG-NO-GROUP");
    searcher.PushData("10.77.0.2", reinterpret_cast<const uint8_t *>(frame.data()), static_cast<int32_t>(frame.size()));
    // A message from a searcher with a group is the marker that the logger has caught up.
    Collector collector;
    QUdpCastGroup group(&Collector::Callback, &collector);
    QUdpCast marker("10.77.0.1", &group, false);
    const std::string after = SearchAnswerFrame("MSG-NO-GROUP-MARKER");
    marker.PushData("10.77.0.2", reinterpret_cast<const uint8_t *>(after.data()), static_cast<int32_t>(after.size()));
    ASSERT_TRUE(WaitUntil([] { return CountLogLines("UdpCast", "MSG-NO-GROUP-MARKER") == 1; }, 5000));
    EXPECT_EQ(CountLogLines("UdpCast", "MSG-NO-GROUP\""), 0u);
}
