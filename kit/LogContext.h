#pragma once
// The logger's per-context pieces: CLogContext, one queued record, and
// CLogContextHandle, the queue of one context (one file per day) with the code that
// writes a batch of it to disk.
//
// A context's queue is bounded (kMaxQueuedRecords, kMaxQueuedBytes). A record that
// finds it full is dropped and counted; from then on every record is dropped and
// counted until the worker has written the queue down to half of both bounds, when
// one note "-------------------- N records dropped" takes the place of all of them.
// So no record is lost without a trace, and the file shows where the gap is.
//
// The worker writes at most kMaxWriteBytesPerSecond of a context's records a second;
// a flood faster than that fills the queue, and its bound then drops and counts as
// above. At the end of the program DropRest counts whatever the exit flush had no time
// for into one last note.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

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
    // Set on the note of dropped records only: how many records it stands for.
    uint64_t m_droppedCount = 0;
};

class CLogContextHandle {
public:
    // At most this many records go to the file in one batch.
    static constexpr std::size_t kBatch = 100;
    // A file longer than this is rolled over into a gzip file before a batch.
    static constexpr int32_t kRollOverBytes = 10485760;
    // Appended to an archive's name while it is being written.
    static constexpr const char *kRollOverTemporarySuffix = ".partial";
    // This many failed attempts in a row discard the context's queue (the discarded
    // records are counted like dropped ones).
    static constexpr int32_t kMaxFailures = 10;
    // The bound on a context's queue, in records. Every valid message from the
    // network is logged, so a device (or a host posing as many) that repeats valid
    // answers at line rate feeds a context far faster than the worker writes, about
    // 5000 records a second for all contexts together; without a bound the queue
    // grows until memory runs out. 20000 records are four seconds of the worker's
    // whole rate, or twenty search rounds of a thousand devices: a real LAN never
    // comes near, and a busy moment is still written in full.
    static constexpr std::size_t kMaxQueuedRecords = 20000;
    // The bound on a context's queue in bytes (texts plus the records themselves),
    // because one message may be as long as a frame body: 20000 such records would
    // be over a gigabyte. 16 MiB hold 20000 answers of the usual few hundred bytes.
    static constexpr std::size_t kMaxQueuedBytes = 16u << 20;

    // The most bytes of a context's lines the worker writes in one second (one batch
    // more at most). Every valid message from the network is logged, so without this
    // a host repeating valid answers at line rate decides how fast the disk fills
    // and how much of a core the worker spends on it. Twenty thousand devices (the
    // table's bound) answering every search with about 500 bytes make 2 MB a second;
    // 4 MiB is twice that, and the records of a flood beyond it wait in the bounded
    // queue or are dropped and counted.
    static constexpr std::size_t kMaxWriteBytesPerSecond = 4u << 20;

    explicit CLogContextHandle(std::string name) : m_name(std::move(name)) {}
    virtual ~CLogContextHandle() = default;
    CLogContextHandle(const CLogContextHandle &) = delete;
    CLogContextHandle &operator=(const CLogContextHandle &) = delete;

    const std::string &Name() const { return m_name; }

    // Queues a record (any thread); takes ownership. False when it was dropped:
    // the queue is full, or records are being dropped until room returns (then it
    // is counted), or memory ran out.
    bool Append(CLogContext *record);
    // True, after counting a dropped record, when a record with a text of this
    // many bytes would be dropped now; lets a writer skip building the record.
    bool RefuseIfFull(std::size_t textBytes);
    std::size_t QueueLength() const;
    // Bytes the queued records take, as counted against kMaxQueuedBytes.
    std::size_t QueuedBytes() const;
    // Records dropped since the last note about them was queued.
    uint64_t DroppedCount() const;
    // Whether the worker has something to do here: records queued, or a note about
    // dropped records to queue.
    bool IsPending() const;

    // Writes the next batch: records of the first record's day, at most kBatch, in
    // one append to "<logDirectory>YYYYMMDD/<name>.log". Runs on the logger's worker
    // only. Records stay queued until they are in the file; a failed attempt (the
    // day directory or file cannot be made or opened, the write fails) counts, and
    // the kMaxFailures-th failure in a row discards the queue. Callers appending
    // meanwhile wait only while the batch is copied, never for the disk. First
    // queues the note about dropped records when there is room for it again.
    // True when a batch went to the file. While the context has written
    // kMaxWriteBytesPerSecond in the current second, nothing is written (false).
    // `exiting`: the exit flush, which neither waits for the rate nor rolls an
    // over-long file over (the next start does that before its first batch).
    bool Flush(const std::string &logDirectory, IClock &clock, bool exiting = false);
    // For the exit flush once its time is up: takes every record still queued and
    // writes one note counting them and the records dropped before. Gives the count.
    uint64_t DropRest(const std::string &logDirectory, IClock &clock);
    // Bytes added to files since the last call: batches appended and compressed
    // copies made (worker only).
    uint64_t TakeWrittenBytes();

    // Makes sure the day directory and the file exist for a batch whose first record
    // has the given time text, rolling an over-long file over first when `rollOver`
    // is set. Gives the file's path.
    //
    // A roll-over survives a crash or power loss at any point: the copy is compressed
    // under a temporary name no reader takes for an archive (the archive's name plus
    // kRollOverTemporarySuffix), made durable (fsync), renamed to the archive's name
    // (and the rename made durable), and only then is the plain file emptied. The
    // first time a handle uses a day directory it removes temporary copies left there
    // (their records are still in the plain file), and before compressing it checks
    // whether an archive already holds exactly the plain file (a crash between the
    // rename and the emptying): then it only empties the file, so no record is
    // archived twice.
    //
    // Several processes may log to one folder (two windows, a window and the command
    // line's --log), under the same file names. So whoever rolls a file over, clears
    // leftovers or appends holds the day directory's lock (flock on the directory,
    // DayLock): another process's roll-over is then never taken for an interrupted
    // one, and no batch lands between its compression and its emptying of the file.
    // PrepareFile takes the lock into `lock` and the caller keeps it until its append
    // is done; without `lock` (tests of a single writer) nothing is locked.
    class DayLock {
    public:
        DayLock() = default;
        ~DayLock();
        DayLock(const DayLock &) = delete;
        DayLock &operator=(const DayLock &) = delete;
        // Waits for the lock of `directory`; false when it cannot be opened or locked.
        bool Take(const std::string &directory);

    private:
        int m_fd = -1;
    };
    bool PrepareFile(const std::string &time, const std::string &logDirectory, IClock &clock, std::string *path,
                     bool rollOver = true, DayLock *lock = nullptr);

    int32_t FailureCount() const { return m_failures.load(std::memory_order_relaxed); }

    // The service cycle in which the handle was last chosen; guarded by the owner's map lock.
    uint32_t m_cycle = 0;

private:
    using QueueLock = TEMPLATE::VECTOR<CLogContext>::Lock;

    void CountFailure();
    // The caller holds the queue's lock for all of these.
    bool FullLocked(std::size_t addedBytes) const;
    void QueueDropNoteLocked(IClock &clock);
    void EraseFrontLocked(std::size_t count);

    const std::string m_name;
    std::atomic<int32_t> m_failures{0}; // written by the worker only
    TEMPLATE::VECTOR<CLogContext> m_queue;
    std::size_t m_queuedBytes = 0; // guarded by the queue's lock
    uint64_t m_dropped = 0;        // guarded by the queue's lock
    // The worker's rate window: its start (clock tick) and the bytes written in it.
    uint32_t m_windowStart = 0;
    std::size_t m_windowBytes = 0;
    uint64_t m_written = 0; // bytes appended since TakeWrittenBytes (worker only)
    bool m_windowOpen = false;
    // Day directories whose leftovers of an interrupted roll-over this handle has
    // cleared (worker only; one or two per run).
    std::vector<std::string> m_clearedDays;
};

} // namespace Vant
