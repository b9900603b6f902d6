// Search ranges: what a range holds, how overlapping ranges count, and what is refused.
#include <gtest/gtest.h>

#include <utility>

#include "protocol/SearchRanges.h"

namespace {

TEST(SearchRanges, BlocksLeaveOutNetworkAndBroadcastAndOverlapsCountOnce)
{
    SearchRanges ranges;
    ASSERT_EQ(ranges.Add("10.78.5.0/24"), "");
    EXPECT_EQ(ranges.Count(), 254u);
    EXPECT_EQ(ranges.At(0), 0x0A4E0501u);   // 10.78.5.1
    EXPECT_EQ(ranges.At(253), 0x0A4E05FEu); // 10.78.5.254
    EXPECT_FALSE(ranges.Contains("10.78.5.0"));
    EXPECT_FALSE(ranges.Contains("10.78.5.255"));
    // Overlapping and adjoining ranges: every address once, in ascending order.
    ASSERT_EQ(ranges.Add("10.78.5.200-10.78.6.3"), "");
    ASSERT_EQ(ranges.Add("10.78.6.4/32"), "");
    ASSERT_EQ(ranges.Add("10.78.9.0/31"), ""); // a /31 keeps both addresses
    EXPECT_EQ(ranges.Count(), 254u + 1 + 5 + 2);
    EXPECT_EQ(ranges.At(254), 0x0A4E05FFu); // 10.78.5.255, from the second range
    EXPECT_EQ(ranges.At(259), 0x0A4E0604u);
    EXPECT_EQ(ranges.At(260), 0x0A4E0900u);
    EXPECT_TRUE(ranges.Contains("10.78.6.2"));
    EXPECT_FALSE(ranges.Contains("10.78.6.5"));
    EXPECT_FALSE(ranges.Contains("not an address"));
    EXPECT_EQ(ranges.CheckLocal({"192.168.1.1", "10.78.6.1"}), "10.78.5.200-10.78.6.3 holds 10.78.6.1, an address of this machine");
    EXPECT_EQ(ranges.CheckLocal({"10.78.5.0"}), "");
}

TEST(SearchRanges, RefusesWhatNoRequestMayReachAndSetsAboveTheBound)
{
    SearchRanges ranges;
    for (const char *refused : {"127.0.0.1/32", "0.0.0.0/8", "224.0.0.0/4", "239.1.1.1-239.1.1.2",
                                "255.255.255.255/32", "10.0.0.1-127.0.0.1", "10.1.1.0/33", "10.1.1.9-10.1.1.1",
                                "10.1.1.0", "10.1.1.0/", "10.1.1.0/2x", "10.1.1.1-", "10.1.1.256/24"})
        EXPECT_NE(ranges.Add(refused), "") << refused;
    EXPECT_TRUE(ranges.Empty());
    EXPECT_NE(ranges.Add("10.0.0.0/15"), ""); // 131070 addresses
    ASSERT_EQ(ranges.Add("10.1.0.0/16"), ""); // 65534
    ASSERT_EQ(ranges.Add("10.0.255.255-10.1.0.1"), ""); // overlaps: two more
    EXPECT_EQ(ranges.Count(), kMaxRangeAddresses);
    EXPECT_NE(ranges.Add("10.2.0.1/32"), ""); // one more than the bound, refused as a whole
    EXPECT_EQ(ranges.Count(), kMaxRangeAddresses);
    EXPECT_EQ(ranges.Ranges().size(), 2u);
}

// The window words a refusal from its kind and values; the English sentence is the
// same refusal's.
TEST(SearchRanges, RefusalsNameTheirKindAndValues)
{
    using Kind = RangeRefusal::Kind;
    SearchRanges ranges;
    RangeRefusal refusal;
    const std::pair<const char *, Kind> refused[] = {
        {"10.1.1.0", Kind::NotARange},           {"10.1.1.0/33", Kind::BadPrefix},
        {"10.1.1.9-10.1.1.1", Kind::EndsReversed}, {"0.0.0.0/8", Kind::ThisNetwork},
        {"10.0.0.1-127.0.0.1", Kind::Loopback},    {"239.1.1.1-239.1.1.2", Kind::Multicast},
        {"255.255.255.255/32", Kind::Broadcast},   {"10.0.0.0/15", Kind::TooLarge}};
    for (const auto &[text, kind] : refused) {
        const std::string why = ranges.Add(text, &refusal);
        EXPECT_EQ(why, RangeRefusalText(refusal)) << text;
        EXPECT_EQ(refusal.kind, kind) << text;
    }
    EXPECT_EQ(refusal.limit, kMaxRangeAddresses);
    ASSERT_EQ(ranges.Add("10.1.0.0/16", &refusal), "");
    EXPECT_EQ(refusal.kind, Kind::None);
    EXPECT_EQ(ranges.Add("10.2.0.0/16", &refusal), "all ranges together would hold more than 65536 addresses");
    EXPECT_EQ(refusal.kind, Kind::TotalTooLarge);
    EXPECT_EQ(ranges.CheckLocal({"10.1.0.5"}, &refusal), "10.1.0.0/16 holds 10.1.0.5, an address of this machine");
    EXPECT_EQ(refusal.kind, Kind::LocalAddress);
    EXPECT_EQ(refusal.range, "10.1.0.0/16");
    EXPECT_EQ(refusal.address, "10.1.0.5");
}

} // namespace
