#pragma once
// Vant::CLogDelete: the worker that deletes the day directories of the log
// directory whose age in calendar days reaches the retention. It parks between
// passes; every Resume gives exactly one pass. Only directories named YYYYMMDD
// (eight digits) are day directories; hidden entries (a name beginning with "."),
// files, directories of any other name, and entries that are neither directories
// nor regular files lying directly in the log directory are never deleted.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kit/Clock.h"
#include "kit/Thread.h"

namespace Vant {

class CLogDelete : public CThread {
public:
    // Created parked; the owner calls Start() and wakes it with Resume() for a pass.
    explicit CLogDelete(std::shared_ptr<IClock> clock = SystemClock());
    ~CLogDelete() override;

    // One pass, then park until the next Resume().
    void OnRun() override;

    // One deletion pass over the directory (on the deleter's own thread).
    void DeleteOldLogs();

    // Written by the logger just before a wake; read once at the start of a pass.
    void SetRetention(int32_t days);
    int32_t GetRetention() const;
    // The directory to scan, with a trailing separator.
    void SetDirectory(const std::string &directory);
    std::string GetDirectory() const;

    // Number of passes begun (for observers such as tests).
    uint32_t PassCount() const;

    // The candidate list of the current pass.
    void AddCandidate(const std::string &path);
    std::string CandidateAt(std::size_t index) const;
    std::size_t CandidateCount() const;
    void ClearCandidates();

private:
    std::shared_ptr<IClock> m_clock;
    mutable std::mutex m_candidateLock;
    std::vector<std::string> m_candidates;
    mutable std::mutex m_settingsLock;
    int32_t m_retention = 5;
    std::string m_directory;
    uint32_t m_passes = 0;
};

} // namespace Vant
