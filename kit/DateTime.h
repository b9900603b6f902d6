#pragma once
// Vant::CDateTime: an instant with its broken-down local time, the kit's three
// text forms, and the distance in calendar days between two instants.
#include <cstdint>
#include <ctime>
#include <string>

namespace Vant {

class CDateTime {
public:
    // Now.
    CDateTime();
    // The given instant (seconds since 1970-01-01 00:00:00 UTC).
    explicit CDateTime(int64_t time);
    virtual ~CDateTime() = default;

    static CDateTime Now() { return CDateTime(); }

    // 2020-05-13
    std::string FormatDate() const;
    // 15:30:12
    std::string FormatTime() const;
    // 2020-05-13 15:30:12
    std::string FormatDateTime() const;
    // Writes "YYYY-MM-DD HH:MM:SS" and its terminator into out (20 bytes) without
    // allocating; the logger's hot path uses it.
    void FormatDateTime(char (&out)[20]) const;

    // Local midnight of the given date. A year below 1900 counts as 1900, a month
    // outside 1..12 or a day outside 1..31 as 1; mktime normalises the rest
    // (31 February becomes early March) and decides daylight-saving time.
    CDateTime &SetDate(int32_t year, int32_t month, int32_t day);

    int64_t Time() const { return m_time; }
    const std::tm &Local() const { return m_tm; }
    int Year() const { return m_tm.tm_year + 1900; }
    int Month() const { return m_tm.tm_mon + 1; }
    int Day() const { return m_tm.tm_mday; }
    int Hour() const { return m_tm.tm_hour; }
    int Minute() const { return m_tm.tm_min; }
    int Second() const { return m_tm.tm_sec; }
    int DayOfYear() const { return m_tm.tm_yday; }

private:
    void SetTime(int64_t time);

    int64_t m_time = 0;
    std::tm m_tm{};
};

// Whole days between the local midnights of a's and b's dates (absolute, fraction
// cut, at most UINT32_MAX). Across a daylight-saving change the midnights are not
// whole days apart, so a span that contains the spring change counts one day less.
uint32_t DaysBetween(const CDateTime &a, const CDateTime &b);

} // namespace Vant
