#include "kit/DateTime.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <random>

namespace {

// Every case runs in the same zone, one with daylight-saving changes.
class DateTimeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    static int64_t Local(int y, int mo, int d, int h, int mi, int s)
    {
        Vant::CDateTime day;
        day.SetDate(y, mo, d);
        return day.Time() + h * 3600 + mi * 60 + s;
    }
};

TEST_F(DateTimeTest, TextFormsArePadded)
{
    Vant::CDateTime t(Local(2020, 1, 5, 7, 3, 9));
    EXPECT_EQ(t.FormatDate(), "2020-01-05");
    EXPECT_EQ(t.FormatTime(), "07:03:09");
    EXPECT_EQ(t.FormatDateTime(), "2020-01-05 07:03:09");
    Vant::CDateTime late(Local(2020, 12, 31, 23, 59, 59));
    EXPECT_EQ(late.FormatDateTime(), "2020-12-31 23:59:59");
    EXPECT_EQ(late.DayOfYear(), 365); // a leap year
}

TEST_F(DateTimeTest, FastDateTimeTextAgreesWithTheTwoPartsEverywhere)
{
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<int64_t> instant(0, 4102444800); // 1970 .. 2100
    for (int i = 0; i < 20000; ++i) {
        Vant::CDateTime t(instant(rng));
        char fast[20];
        t.FormatDateTime(fast);
        ASSERT_EQ(std::string(fast), t.FormatDate() + " " + t.FormatTime()) << t.Time();
    }
}

TEST_F(DateTimeTest, SetDateClampsAndNormalises)
{
    Vant::CDateTime t;
    t.SetDate(2020, 13, 0);
    EXPECT_EQ(t.FormatDateTime(), "2020-01-01 00:00:00");
    EXPECT_EQ(t.Time(), Local(2020, 1, 1, 0, 0, 0));
    EXPECT_EQ(Vant::CDateTime(t.Time()).FormatDateTime(), "2020-01-01 00:00:00");

    t.SetDate(1850, 6, 32);
    EXPECT_EQ(t.FormatDate(), "1900-06-01");
    t.SetDate(2021, 2, 31);
    EXPECT_EQ(t.FormatDate(), "2021-03-03");
    EXPECT_EQ(t.DayOfYear(), 61);
    // Summer midnight: mktime picks daylight-saving time by itself.
    t.SetDate(2020, 7, 1);
    EXPECT_EQ(Vant::CDateTime(t.Time()).FormatDateTime(), "2020-07-01 00:00:00");
}

TEST_F(DateTimeTest, DaysBetweenCountsCalendarDatesInEitherOrder)
{
    Vant::CDateTime lateOn13(Local(2020, 5, 13, 23, 59, 0));
    Vant::CDateTime earlyOn12(Local(2020, 5, 12, 0, 1, 0));
    Vant::CDateTime earlyOn13(Local(2020, 5, 13, 0, 0, 1));
    EXPECT_EQ(Vant::DaysBetween(lateOn13, earlyOn12), 1u);
    EXPECT_EQ(Vant::DaysBetween(earlyOn12, lateOn13), 1u);
    EXPECT_EQ(Vant::DaysBetween(lateOn13, earlyOn13), 0u);
    EXPECT_EQ(Vant::DaysBetween(Vant::CDateTime(Local(2020, 4, 13, 23, 0, 0)), earlyOn13), 30u);
    EXPECT_EQ(Vant::DaysBetween(Vant::CDateTime(Local(2019, 5, 13, 12, 0, 0)), earlyOn13), 366u);
}

TEST_F(DateTimeTest, DaysBetweenAcrossDaylightSavingChanges)
{
    // Spring change on 29 March 2020: the two midnights are 30 days less an hour apart.
    Vant::CDateTime beforeSpring(Local(2020, 3, 15, 12, 0, 0));
    Vant::CDateTime afterSpring(Local(2020, 4, 14, 12, 0, 0));
    EXPECT_EQ(Vant::DaysBetween(afterSpring, beforeSpring), 29u);
    // Autumn change on 25 October 2020: 30 days and an hour, cut to 30.
    Vant::CDateTime beforeAutumn(Local(2020, 10, 10, 12, 0, 0));
    Vant::CDateTime afterAutumn(Local(2020, 11, 9, 12, 0, 0));
    EXPECT_EQ(Vant::DaysBetween(beforeAutumn, afterAutumn), 30u);
    // Without a change in between the count is exact.
    EXPECT_EQ(Vant::DaysBetween(Vant::CDateTime(Local(2020, 5, 1, 1, 0, 0)),
                                Vant::CDateTime(Local(2020, 5, 31, 22, 0, 0))),
              30u);
}

// A directory time can be any 64-bit value (file systems with 64-bit time stamps
// keep what utimes sets). Near the end of the C library's range the broken-down
// year still fits tm_year but not tm_year + 1900: such an instant has no calendar
// date here and must not overflow anything.
TEST_F(DateTimeTest, InstantsWithoutACalendarYearAreHandledSafely)
{
    constexpr int64_t kSecondsPerYear = 31556952; // Gregorian average
    for (int64_t year : {int64_t{2147482000}, int64_t{2147483647}, int64_t{2147484000}, int64_t{2147485400}}) {
        const Vant::CDateTime far((year - 1970) * kSecondsPerYear);
        EXPECT_LE(static_cast<int64_t>(far.Local().tm_year), int64_t{INT32_MAX} - 1900) << year;
        EXPECT_GE(far.Year(), 1900) << year;
        EXPECT_FALSE(far.FormatDate().empty());
        EXPECT_EQ(far.FormatDateTime().size(), 19u);
        Vant::CDateTime now(Local(2020, 5, 13, 12, 0, 0));
        EXPECT_GT(Vant::DaysBetween(now, far), 30u) << "far from any log day";
    }
    // A distance of more days than 32 bits count saturates instead of wrapping to
    // a few days (which would make the far future look like last week).
    const Vant::CDateTime now(Local(2020, 5, 13, 12, 0, 0));
    const Vant::CDateTime wrapped(now.Time() + ((int64_t{1} << 32) + 5) * 86400);
    EXPECT_EQ(Vant::DaysBetween(now, wrapped), UINT32_MAX);
    EXPECT_EQ(Vant::DaysBetween(wrapped, now), UINT32_MAX);
}

} // namespace
