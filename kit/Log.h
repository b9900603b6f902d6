#pragma once
// The kit's process-wide asynchronous text log.
//
// Any thread hands a tag and a text to LogWrite; the call only queues a record. The
// logger's worker writes the records to one file per context and day,
// "<log directory>YYYYMMDD/<prefix><tag>.log", one line per record:
//     [YYYY-MM-DD HH:MM:SS] text CR LF
// rolls a file longer than 10485760 bytes over into
// "<day directory>_<context>-HHMMSS.log.gz", writes a statistics block to LOG.log
// every 60 s, and lets CLogDelete remove old day directories (a pass about a minute
// after deletion is switched on, then one a day at the first check after 16:00).
//
// The start-up sequence of the program:
//     LogInit(); LogEnableExitFlush(true); LogEnable(true); LogEnableDelete(true);
//     LogSetPrefix("BrenuSearchTools_"); LogSetKeepDays(30);
// and at its end, once everything that logs has stopped:
//     LogShutdown();
//
// Each context's queue is bounded (see CLogContextHandle): records beyond the
// bound are counted, and a line in the context's file tells how many went missing.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "kit/Clock.h"
#include "kit/LogBudget.h"
#include "kit/LogContext.h"
#include "kit/LogDelete.h"
#include "kit/OwningContainers.h"
#include "kit/Thread.h"

namespace Vant {

class CLog final : public CThread {
public:
    // Statistics block and deletion schedule are handled when more than this many
    // milliseconds have passed since the last time.
    static constexpr uint32_t kCheckInterval = 60000;
    // The exit flush writes batch after batch until every queue is empty, but starts
    // no new batch once this many milliseconds have passed: a disk that has become
    // very slow, or writers still flooding the logger, must not keep a closing
    // program alive. Two seconds write hundreds of thousands of records on any
    // working disk, far more than the queues' bounds allow to pile up. The records
    // left then are counted in one note per context; an over-long file is not
    // compressed on the way out (the next start does it before its first batch).
    static constexpr int32_t kExitFlushLimit = 2000;

    // Log directory "log/" beside the executable, system clock.
    CLog();
    // The given log directory (ending with "/") and clock. The worker and the
    // deleter's worker are created parked; the deleter is started here, the logger
    // itself by its owner (Start, then Resume) once it is configured.
    CLog(std::string logDirectory, std::shared_ptr<IClock> clock);
    // Shutdown, then ends the deleter and drops every record still queued.
    ~CLog() override;

    // Stops the worker, which runs the exit flush. A worker stopped before it had
    // begun never runs OnEnd: for a started logger the flush then runs here, on the
    // calling thread, once the worker is gone. A logger never started writes nothing.
    void Shutdown();

    // Begin banner, one worker step followed by its pause, exit flush. The exit
    // flush (when switched on) queues the End banner, then writes the queued records
    // context after context until nothing is queued, until a round over the
    // contexts writes nothing (every file failing), or until the flush limit has
    // passed (looked at before each batch); then every context still holding records
    // gets one note that counts them with those dropped before.
    void OnBegin() override;
    void OnEnd() override;
    void OnRun() override;

    // Queues a record for the context of exactly this name (any thread).
    void Write(const char *name, const std::string &text);
    // Queues a record for the context <prefix><tag> (any thread).
    void WriteTagged(const char *tag, const std::string &text);
    // printf-style text, cut to 2047 characters.
    void WriteFormat(const char *name, const char *format, ...) __attribute__((format(printf, 3, 4)));

    // One worker step without its pause: the minute's statistics and deletion check
    // when due, then one batch of the next pending context, starting a new cycle
    // first when the current one is complete, and a look at the folder's size when
    // the bytes written may have taken it past its budget (the first step always
    // looks). True when a context was served (the
    // worker then pauses 10 ms); false when nothing is queued (it pauses 100 ms).
    bool Step();
    // The next context with queued records (or a note about dropped records to
    // queue) not yet served in this cycle, in name order; null (and a new cycle
    // begins) when there is none.
    CLogContextHandle *NextPendingContext();
    void WriteStatistics();
    void CheckDeleteTime();
    void StartDelete();

    void SetEnabled(bool on) { m_enabled.store(on, std::memory_order_relaxed); }
    bool IsEnabled() const { return m_enabled.load(std::memory_order_relaxed); }
    void SetExitFlush(bool on) { m_exitFlush.store(on, std::memory_order_relaxed); }
    bool IsExitFlush() const { return m_exitFlush.load(std::memory_order_relaxed); }
    // Milliseconds the exit flush may take (kExitFlushLimit unless changed).
    void SetExitFlushLimit(int32_t ms) { m_exitFlushLimit.store(ms, std::memory_order_relaxed); }
    // The most the log folder may take (kMaxLogFolderBytes unless changed); the
    // budget is this or a tenth of the free space, whichever is less (kit/LogBudget.h).
    // Set before the worker starts.
    void SetFolderCap(uint64_t bytes) { m_folderCap.store(bytes, std::memory_order_relaxed); }
    uint64_t GetFolderCap() const { return m_folderCap.load(std::memory_order_relaxed); }
    // The budget the worker keeps (0 until its first step).
    uint64_t FolderBudget() const { return m_folderBudget; }
    void SetDeleteEnabled(bool on) { m_deleteEnabled.store(on, std::memory_order_relaxed); }
    bool IsDeleteEnabled() const { return m_deleteEnabled.load(std::memory_order_relaxed); }
    // Keeps n as given; the deleter's retention becomes n when 1 <= n <= 60, else 5.
    void SetKeepDays(int32_t n);
    int32_t GetKeepDays() const { return m_keepDays.load(std::memory_order_relaxed); }
    void SetPrefix(const std::string &prefix);
    std::string GetPrefix() const;

    const std::string &LogDirectory() const { return m_logDirectory; }
    CLogDelete &Deleter() { return *m_deleter; }
    std::size_t ContextCount() const;
    // Records queued for a context (0 when it does not exist).
    std::size_t QueueLength(const std::string &name) const;

private:
    CLogContextHandle *FindOrAdd(bool withPrefix, const char *name);
    void Queue(CLogContextHandle *handle, const std::string &text);
    void NewCycle();
    // Deletes the oldest files of the folder while it takes more than its budget,
    // and says so in LOG.
    void KeepFolderBudget();
    static int32_t Retention(int32_t keepDays) { return keepDays >= 1 && keepDays <= 60 ? keepDays : 5; }

    std::shared_ptr<IClock> m_clock;
    uint32_t m_lastCheckTick;   // worker only
    uint32_t m_currentCycle = 1; // guarded by the map lock; handles start at 0
    TEMPLATE::MAP<std::string, CLogContextHandle> m_contexts;
    std::atomic<bool> m_enabled{true};
    const std::string m_logDirectory;
    std::atomic<int32_t> m_keepDays{5};
    std::atomic<bool> m_exitFlush{true};
    std::atomic<int32_t> m_exitFlushLimit{kExitFlushLimit};
    std::atomic<bool> m_endRan{false}; // OnEnd has run
    std::atomic<bool> m_deleteEnabled{false};
    std::unique_ptr<CLogDelete> m_deleter;
    bool m_dailyDeleteArmed = true;     // worker only
    bool m_deleteAtStartPending = true; // worker only
    std::string m_prefix;               // guarded by the map lock
    std::atomic<uint64_t> m_folderCap{kMaxLogFolderBytes};
    uint64_t m_folderBudget = 0;        // worker only
    uint64_t m_folderBytes = 0;         // worker only: last count plus bytes written since
    uint64_t m_nextFolderLook = 0;      // worker only: m_folderBytes above this looks again
};

// The set-up interface. Every function may be called from any thread; all except
// LogInit do nothing while there is no logger.

// Creates the one logger (writing off, exit flush on, 30 days) in the folder that
// ChooseLogDirectory picks (kit/LogLocation.h) and starts its worker. True when the
// logger exists; a second call changes nothing. False when it could not be created
// or its worker could not be started (then nothing is logged); when no folder can
// be made, it says so once on standard error.
bool LogInit();
// The same with another log directory and clock, for tests and tools that must not
// write beside the executable. Only the first successful LogInit of a process counts.
bool LogInit(const std::string &logDirectory, std::shared_ptr<IClock> clock = SystemClock());
// Whether LogShutdown writes the queued records first (on unless switched off).
void LogEnableExitFlush(bool on);
// Stops the logger's worker at the end of the program. With the exit flush on it
// first writes every queued record, giving up after CLog::kExitFlushLimit ms, so
// that the last answers and commands are on disk when the process ends. Writing is
// switched off afterwards: later records would never be written. Call it once the
// parts that log have stopped; calling it again does nothing.
void LogShutdown();
// While off, LogWrite drops its record; records already queued are still written.
void LogEnable(bool on);
void LogEnableDelete(bool on);
void LogSetPrefix(const std::string &prefix);
void LogSetKeepDays(int32_t n);
// Queues text for the context <prefix><tag>.
void LogWrite(const char *tag, const std::string &text);
// The logger, or null before LogInit.
CLog *LogInstance();

} // namespace Vant
