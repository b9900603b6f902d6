#pragma once
// The disk budget of the log folder.
//
// Every valid message from the network is logged, so a host repeating valid answers
// at line rate decides how fast the folder grows; the 30-day deletion alone bounds
// only its age. The logger therefore keeps the folder's total size under a budget:
// it keeps room for a file being compressed and a batch (CLog), and when what it
// counted at its last look plus the bytes it has written since reach the rest, it
// looks at the folder again and deletes files, oldest first, until they take no
// more than kLogBudgetLowWater quarters of that rest.
//
// What counts and what may go: the regular files directly inside the day
// directories (names of eight digits, YYYYMMDD) of the log folder. Symbolic links
// and anything else are neither counted nor followed nor deleted, and nothing outside
// the day directories is touched. The order of deletion is by modification time,
// except that the plain files of the current day go last: the compressed files and
// earlier days' files are history, the current day's files are what an operator
// looks at first. A day directory keeps its access and modification times across
// the deletions: the modification time is its age for CLogDelete, and a trimmed
// directory must not live another whole retention.
#include <cstdint>
#include <string>
#include <vector>

namespace Vant {

// The most the log folder may take. A real LAN of a thousand devices logs about
// 100 KB a second, under 9 GB a day before compression and about a tenth of that
// after it; one gibibyte holds days of such traffic, enough to look back at what
// happened, and stays modest beside any disk the tool runs from.
inline constexpr uint64_t kMaxLogFolderBytes = uint64_t{1} << 30;
// The budget is never more than this share of the space free on the log folder's
// file system when the logger starts (1/kLogBudgetFreeShare), so a nearly full disk
// is not filled by the log.
inline constexpr uint64_t kLogBudgetFreeShare = 10;
// After a deletion the folder takes at most this many quarters of its budget, so a
// flood causes one look at the folder per quarter budget written, not one per batch.
inline constexpr uint64_t kLogBudgetLowWater = 3;

// The budget for a log folder: min(cap, free space / kLogBudgetFreeShare) on the file
// system that holds it (or the nearest existing folder above it). The cap alone when
// the free space cannot be read.
uint64_t LogFolderBudget(const std::string &logDirectory, uint64_t cap);

struct LogBudgetResult {
    uint64_t bytesBefore = 0;          // what the counted files took before
    uint64_t bytesAfter = 0;           // and after the deletion
    std::vector<std::string> removed;  // "YYYYMMDD/name" of each file deleted, in order
    uint64_t removedBytes = 0;
};

// Counts the files of the log folder (`logDirectory` ends with "/") and, when they
// take more than `budget`, deletes them in the order above until they take at most
// kLogBudgetLowWater quarters of it. `today` is the current day directory's name.
LogBudgetResult EnforceLogBudget(const std::string &logDirectory, uint64_t budget, const std::string &today);

} // namespace Vant
