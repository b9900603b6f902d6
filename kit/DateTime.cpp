#include "kit/DateTime.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Vant {

CDateTime::CDateTime() { SetTime(static_cast<int64_t>(std::time(nullptr))); }

CDateTime::CDateTime(int64_t time) { SetTime(time); }

void CDateTime::SetTime(int64_t time)
{
    m_time = time;
    std::time_t t = static_cast<std::time_t>(time);
    // The C library answers up to tm_year == INT_MAX, but the calendar year
    // tm_year + 1900 must fit an int too: beyond that the instant counts as unknown,
    // like one the library cannot convert (the year then reads as 1900).
    if (!localtime_r(&t, &m_tm) || m_tm.tm_year > INT_MAX - 1900)
        m_tm = std::tm{};
}

std::string CDateTime::FormatDate() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d%c%02d%c%02d", m_tm.tm_year + 1900, '-', m_tm.tm_mon + 1, '-',
                  m_tm.tm_mday);
    return text;
}

std::string CDateTime::FormatTime() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%02d%c%02d%c%02d", m_tm.tm_hour, ':', m_tm.tm_min, ':', m_tm.tm_sec);
    return text;
}

std::string CDateTime::FormatDateTime() const
{
    char text[20];
    FormatDateTime(text);
    return text;
}

namespace {

void PutDigits(char *out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

} // namespace

void CDateTime::FormatDateTime(char (&out)[20]) const
{
    int year = m_tm.tm_year + 1900;
    if (year < 0 || year > 9999) {
        // Outside four digits: keep the printf result, cut to the buffer.
        char wide[64];
        std::snprintf(wide, sizeof wide, "%04d%c%02d%c%02d %02d%c%02d%c%02d", year, '-', m_tm.tm_mon + 1, '-',
                      m_tm.tm_mday, m_tm.tm_hour, ':', m_tm.tm_min, ':', m_tm.tm_sec);
        std::memcpy(out, wide, sizeof out - 1);
        out[sizeof out - 1] = '\0';
        return;
    }
    PutDigits(out, year, 4);
    out[4] = '-';
    PutDigits(out + 5, m_tm.tm_mon + 1, 2);
    out[7] = '-';
    PutDigits(out + 8, m_tm.tm_mday, 2);
    out[10] = ' ';
    PutDigits(out + 11, m_tm.tm_hour, 2);
    out[13] = ':';
    PutDigits(out + 14, m_tm.tm_min, 2);
    out[16] = ':';
    PutDigits(out + 17, m_tm.tm_sec, 2);
    out[19] = '\0';
}

CDateTime &CDateTime::SetDate(int32_t year, int32_t month, int32_t day)
{
    if (year < 1900)
        year = 1900;
    if (month < 1 || month > 12)
        month = 1;
    if (day < 1 || day > 31)
        day = 1;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_isdst = -1; // let the C library decide
    std::time_t t = std::mktime(&tm);
    m_time = static_cast<int64_t>(t);
    m_tm = tm;
    return *this;
}

uint32_t DaysBetween(const CDateTime &a, const CDateTime &b)
{
    CDateTime da(a.Time()), db(b.Time());
    da.SetDate(a.Year(), a.Month(), a.Day());
    db.SetDate(b.Year(), b.Month(), b.Day());
    int64_t diff = da.Time() - db.Time();
    if (diff < 0)
        diff = -diff;
    // More days than the result holds: the largest distance, not a wrapped small one.
    const int64_t days = diff / 86400;
    return days > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(days);
}

} // namespace Vant
