#pragma once
// The day directories of the log folder: one per calendar day, named YYYYMMDD (eight
// decimal digits). The logger writes into them, the budget trims them and the
// deleter removes them once they are old. Nothing else in the log folder is theirs
// to touch, whatever its age (a folder the operator put there, another program's
// data when the folder is shared).
#include <string>
#include <vector>

#include <dirent.h>

namespace Vant {

// True for a name of exactly eight decimal digits.
bool IsDayDirectoryName(const char *name);

// The day directory's name for a date in the kit's text form "YYYY-MM-DD"
// (CDateTime::FormatDate, the first part of FormatDateTime): the date without its
// dashes.
std::string DayDirectoryName(const std::string &date);

// The entries of an open directory whose names are day directory names, in the
// order read. Only the names are looked at: the caller checks what each one is.
std::vector<std::string> ReadDayNames(DIR *dir);

} // namespace Vant
