#include "kit/LogDay.h"

#include <algorithm>

namespace Vant {

bool IsDayDirectoryName(const char *name)
{
    int digits = 0;
    for (; name[digits] != '\0'; ++digits)
        if (digits == 8 || name[digits] < '0' || name[digits] > '9')
            return false;
    return digits == 8;
}

std::string DayDirectoryName(const std::string &date)
{
    std::string day = date;
    day.erase(std::remove(day.begin(), day.end(), '-'), day.end());
    return day;
}

std::vector<std::string> ReadDayNames(DIR *dir)
{
    std::vector<std::string> days;
    while (const dirent *entry = readdir(dir)) {
        if (IsDayDirectoryName(entry->d_name))
            days.emplace_back(entry->d_name);
    }
    return days;
}

} // namespace Vant
