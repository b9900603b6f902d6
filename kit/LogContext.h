#pragma once
// The logger's per-context pieces: CLogContext, one queued record, and
// CLogContextHandle, the queue of one context (one file per day) with the code that
// writes a batch of it to disk.
#include <atomic>
#include <cstdint>
#include <string>

#include "kit/Clock.h"
#include "kit/OwningContainers.h"

namespace Vant {

class CLogContext {
public:
    CLogContext() = default;
    CLogContext(std::string time, std::string text, int32_t day)
        : m_time(std::move(time)), m_text(std::move(text)), m_day(day)
    {
    }
    virtual ~CLogContext() = default;

    std::string m_time; // YYYY-MM-DD HH:MM:SS, local time of the Write call
    std::string m_text; // the caller's bytes
    int32_t m_day = 0;  // day of the year of the same instant (January 1 is 0)
};

class CLogContextHandle {
public:
    // At most this many records go to the file in one batch.
    static constexpr std::size_t kBatch = 100;
    // A file longer than this is rolled over into a gzip file before a batch.
    static constexpr int32_t kRollOverBytes = 10485760;
    // This many failed attempts in a row discard the context's queue.
    static constexpr int32_t kMaxFailures = 10;

    explicit CLogContextHandle(std::string name) : m_name(std::move(name)) {}
    virtual ~CLogContextHandle() = default;
    CLogContextHandle(const CLogContextHandle &) = delete;
    CLogContextHandle &operator=(const CLogContextHandle &) = delete;

    const std::string &Name() const { return m_name; }

    // Queues a record (any thread); takes ownership. False when it was dropped.
    bool Append(CLogContext *record) { return m_queue.Append(record); }
    std::size_t QueueLength() const;

    // Writes the next batch: records of the first record's day, at most kBatch, in
    // one append to "<logDirectory>YYYYMMDD/<name>.log". Runs on the logger's worker
    // only. Records stay queued until they are in the file; a failed attempt (the
    // day directory or file cannot be made or opened, the write fails) counts, and
    // the kMaxFailures-th failure in a row discards the queue. Callers appending
    // meanwhile wait only while the batch is copied, never for the disk.
    void Flush(const std::string &logDirectory, IClock &clock);

    // Makes sure the day directory and the file exist for a batch whose first record
    // has the given time text, rolling an over-long file over first. Gives the file's path.
    bool PrepareFile(const std::string &time, const std::string &logDirectory, IClock &clock,
                     std::string *path) const;

    int32_t FailureCount() const { return m_failures.load(std::memory_order_relaxed); }

    // The service cycle in which the handle was last chosen; guarded by the owner's map lock.
    uint32_t m_cycle = 0;

private:
    void CountFailure();

    const std::string m_name;
    std::atomic<int32_t> m_failures{0}; // written by the worker only
    TEMPLATE::VECTOR<CLogContext> m_queue;
};

} // namespace Vant
