#include "kit/LogBudget.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "kit/LogDay.h"

namespace Vant {

namespace {

struct LogFile {
    bool currentPlain = false; // a plain file of the current day: deleted last
    int64_t modified = 0;      // nanoseconds
    std::string day;
    std::string name;
    uint64_t bytes = 0;
};

bool EndsWith(const std::string &text, const char *tail)
{
    const std::size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// The regular files of one day directory, opened without following links.
void ListDay(int logFd, const std::string &day, const std::string &today, std::vector<LogFile> &files)
{
    const int dayFd = openat(logFd, day.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dayFd < 0)
        return;
    DIR *dir = fdopendir(dayFd);
    if (!dir) {
        ::close(dayFd);
        return;
    }
    while (const dirent *entry = readdir(dir)) {
        struct stat st;
        if (fstatat(dayFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        LogFile file;
        file.day = day;
        file.name = entry->d_name;
        file.bytes = static_cast<uint64_t>(st.st_size);
        file.modified = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
        file.currentPlain = day == today && !EndsWith(file.name, ".gz");
        files.push_back(std::move(file));
    }
    closedir(dir);
}

} // namespace

uint64_t LogFolderBudget(const std::string &logDirectory, uint64_t cap)
{
    // The folder may not exist yet: the file system is that of the nearest folder
    // above it that does.
    std::string path = logDirectory;
    struct statvfs fs;
    for (;;) {
        if (!path.empty() && statvfs(path.c_str(), &fs) == 0)
            return std::min(cap, static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize / kLogBudgetFreeShare);
        while (!path.empty() && path.back() == '/')
            path.pop_back();
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos)
            return cap;
        path.resize(slash + 1);
    }
}

LogBudgetResult EnforceLogBudget(const std::string &logDirectory, uint64_t budget, const std::string &today)
{
    LogBudgetResult result;
    const int logFd = ::open(logDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (logFd < 0)
        return result;
    std::vector<LogFile> files;
    if (DIR *dir = fdopendir(logFd)) {
        for (const std::string &day : ReadDayNames(dir))
            ListDay(dirfd(dir), day, today, files);
        for (const LogFile &file : files)
            result.bytesBefore += file.bytes;
        result.bytesAfter = result.bytesBefore;
        if (result.bytesBefore > budget) {
            std::sort(files.begin(), files.end(), [](const LogFile &a, const LogFile &b) {
                return std::tie(a.currentPlain, a.modified, a.day, a.name) <
                       std::tie(b.currentPlain, b.modified, b.day, b.name);
            });
            const uint64_t target = budget / 4 * kLogBudgetLowWater;
            for (const LogFile &file : files) {
                if (result.bytesAfter <= target)
                    break;
                // Through the day directory opened anew without following a link,
                // so that a link put in its place meanwhile leads nowhere.
                const int dayFd = openat(dirfd(dir), file.day.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (dayFd < 0)
                    continue;
                // A deletion makes the day directory's modification time now, and
                // that time is the directory's age for the deleter: the old times go
                // back, or a trimmed directory would outlive its retention.
                struct stat dayStat;
                const bool known = fstat(dayFd, &dayStat) == 0;
                const bool unlinked = unlinkat(dayFd, file.name.c_str(), 0) == 0;
                if (unlinked && known) {
                    const timespec times[2] = {dayStat.st_atim, dayStat.st_mtim};
                    futimens(dayFd, times);
                }
                ::close(dayFd);
                if (!unlinked)
                    continue;
                const std::string relative = file.day + "/" + file.name;
                result.bytesAfter -= file.bytes;
                result.removedBytes += file.bytes;
                result.removed.push_back(relative);
            }
        }
        closedir(dir); // closes logFd
    } else {
        ::close(logFd);
    }
    return result;
}

} // namespace Vant
