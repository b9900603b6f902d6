#include "kit/LogDelete.h"

#include <sched.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "kit/DateTime.h"
#include "kit/FileUtil.h"
#include "kit/LogDay.h"

namespace Vant {

CLogDelete::CLogDelete(std::shared_ptr<IClock> clock) : CThread(true), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = SystemClock();
}

CLogDelete::~CLogDelete()
{
    // A pass may be running: let it finish before the members go.
    Terminate();
    ClearCandidates();
}

void CLogDelete::OnRun()
{
    DeleteOldLogs();
    Suspend();
}

void CLogDelete::SetRetention(int32_t days)
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_retention = days;
}

int32_t CLogDelete::GetRetention() const
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_retention;
}

void CLogDelete::SetDirectory(const std::string &directory)
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_directory = directory;
}

std::string CLogDelete::GetDirectory() const
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_directory;
}

uint32_t CLogDelete::PassCount() const
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_passes;
}

void CLogDelete::AddCandidate(const std::string &path)
{
    std::lock_guard<std::mutex> guard(m_candidateLock);
    try {
        m_candidates.push_back(path);
    } catch (...) {
        // Not added; a later pass finds the directory again.
    }
}

std::string CLogDelete::CandidateAt(std::size_t index) const
{
    std::lock_guard<std::mutex> guard(m_candidateLock);
    return index < m_candidates.size() ? m_candidates[index] : std::string();
}

std::size_t CLogDelete::CandidateCount() const
{
    std::lock_guard<std::mutex> guard(m_candidateLock);
    return m_candidates.size();
}

void CLogDelete::ClearCandidates()
{
    std::lock_guard<std::mutex> guard(m_candidateLock);
    m_candidates.clear();
}

void CLogDelete::DeleteOldLogs()
{
    std::string directory;
    int32_t retention;
    {
        std::lock_guard<std::mutex> guard(m_settingsLock);
        directory = m_directory;
        retention = m_retention;
        ++m_passes;
    }
    // Each pass starts from an empty list: a directory whose removal failed is
    // found again by the scan while it is old enough, and nothing piles up.
    ClearCandidates();

    // No directory yet: an empty pass (never the working directory).
    DIR *dir = directory.empty() ? nullptr : opendir(directory.c_str());
    if (dir) {
        const CDateTime now(m_clock->Now());
        // Day names only: never ".", "..", another hidden name or any other name.
        for (const std::string &name : ReadDayNames(dir)) {
            const std::string path = directory + name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0)
                continue;
            if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
                continue; // links, devices, sockets: system entries
            // A directory's creation time is its modification time here.
            if (S_ISDIR(st.st_mode) &&
                static_cast<int64_t>(DaysBetween(now, CDateTime(static_cast<int64_t>(st.st_mtime)))) >= retention)
                AddCandidate(path);
            sched_yield();
        }
        closedir(dir);
    }

    for (std::size_t i = 0; i < CandidateCount(); ++i) {
        const std::string path = CandidateAt(i);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        if (RemoveDirectoryFiles(path))
            continue;
        // Failed part-way: the files deleted gave the directory a fresh modification
        // time, which is its age here. The old times go back, so that the next pass
        // tries again instead of waiting another whole retention.
        const timespec times[2] = {st.st_atim, st.st_mtim};
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

} // namespace Vant
