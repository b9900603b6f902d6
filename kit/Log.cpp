#include "kit/Log.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "kit/DateTime.h"
#include "kit/FileUtil.h"
#include "kit/LogBudget.h"
#include "kit/LogDay.h"

namespace Vant {

namespace {

// The record time of the calling thread's last write. The text changes once a
// second, so most writes skip the local-time conversion and its formatting.
struct CachedTime {
    int64_t second = INT64_MIN;
    char text[20] = {};
    int32_t day = 0;
};
thread_local CachedTime t_time;

const CachedTime &TimeOf(int64_t now)
{
    if (now != t_time.second) {
        const CDateTime local(now);
        local.FormatDateTime(t_time.text);
        t_time.day = local.DayOfYear();
        t_time.second = now;
    }
    return t_time;
}

} // namespace

CLog::CLog() : CLog(GetModuleDirectory() + "log/", SystemClock()) {}

CLog::CLog(std::string logDirectory, std::shared_ptr<IClock> clock)
    : CThread(true), m_clock(clock ? std::move(clock) : SystemClock()), m_lastCheckTick(m_clock->Tick()),
      m_logDirectory(std::move(logDirectory)), m_deleter(std::make_unique<CLogDelete>(m_clock))
{
    // The deleter is complete here; its worker parks until StartDelete wakes it.
    m_deleter->Start();
}

CLog::~CLog()
{
    Shutdown();
    m_deleter->Terminate();
    m_deleter.reset();
}

void CLog::OnBegin() { WriteFormat("LOG", "%s", "======================= Begin ======================="); }

void CLog::Shutdown()
{
    const bool started = IsStarted(); // Terminate marks a never started worker as started
    Terminate(); // a worker that has begun runs OnEnd (the exit flush) before it ends
    if (started && !m_endRan.load(std::memory_order_acquire))
        OnEnd();
}

void CLog::OnEnd()
{
    m_endRan.store(true, std::memory_order_release);
    if (!IsExitFlush())
        return;
    WriteFormat("LOG", "%s", "======================= End =======================");
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(m_exitFlushLimit.load(std::memory_order_relaxed));
    {
        std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
        NewCycle();
    }
    // One round serves every pending context once (and ends by starting a new cycle).
    // The time is looked at before every batch, so one slow write at most runs past
    // it; an over-long file is left for the next start to compress.
    bool late = false;
    while (!late) {
        bool wrote = false;
        while (CLogContextHandle *handle = NextPendingContext()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                late = true;
                break;
            }
            try {
                wrote = handle->Flush(m_logDirectory, *m_clock, true) || wrote;
            } catch (...) {
            }
        }
        if (!wrote)
            break;
    }
    // Whatever is still queued is counted in one last note per context.
    std::vector<CLogContextHandle *> handles;
    {
        std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
        for (auto &entry : m_contexts)
            handles.push_back(entry.second);
    }
    for (CLogContextHandle *handle : handles) {
        try {
            handle->DropRest(m_logDirectory, *m_clock);
        } catch (...) {
        }
    }
}

void CLog::OnRun()
{
    const bool served = Step();
    std::this_thread::sleep_for(std::chrono::milliseconds(served ? 10 : 100));
}

bool CLog::Step()
{
    if (m_folderBudget == 0) {
        // The first step: the budget from the free space at start, and one look at
        // the folder, which may hold more than that already.
        m_folderBudget = std::max<uint64_t>(1, LogFolderBudget(m_logDirectory, GetFolderCap()));
        KeepFolderBudget();
    }
    const uint32_t now = m_clock->Tick();
    if (static_cast<uint32_t>(now - m_lastCheckTick) > kCheckInterval) {
        WriteStatistics();
        CheckDeleteTime();
        m_lastCheckTick = now;
    }
    // The call that ends a cycle answers none even while records wait; that is
    // the end of a round, not idleness, so the new round starts at once. One busy
    // context thus gets a batch every step (about every 20 ms) instead of every
    // other step with the idle pause in between.
    CLogContextHandle *handle = NextPendingContext();
    if (!handle)
        handle = NextPendingContext();
    if (!handle)
        return false;
    try {
        handle->Flush(m_logDirectory, *m_clock);
    } catch (...) {
        // Out of memory while building a batch: the records stay queued.
    }
    m_folderBytes += handle->TakeWrittenBytes();
    if (m_folderBytes > m_nextFolderLook)
        KeepFolderBudget();
    return true;
}

void CLog::KeepFolderBudget()
{
    const std::string day = DayDirectoryName(CDateTime(m_clock->Now()).FormatDate());
    // Files are counted only at a look and after each batch or roll-over, so room is
    // kept for what grows between: a file being compressed (its copy grows while the
    // original is still there) and one batch (at most kBatch records of at most a
    // frame body each, 6.5 MB). Two roll-over sizes cover both.
    const uint64_t headroom = 2 * static_cast<uint64_t>(CLogContextHandle::kRollOverBytes);
    const uint64_t kept = m_folderBudget > 2 * headroom ? m_folderBudget - headroom : m_folderBudget / 2;
    const LogBudgetResult result = EnforceLogBudget(m_logDirectory, kept, day);
    m_folderBytes = result.bytesAfter;
    // Files that could not be deleted, or a budget of almost nothing (a nearly full
    // disk), must not make every step look again: a look waits for a megabyte at least.
    constexpr uint64_t kMinLookInterval = 1 << 20;
    m_nextFolderLook = std::max(kept, result.bytesAfter + std::max(kept / 8, kMinLookInterval));
    if (result.removed.empty())
        return;
    // One line says what went and why; a long list names the first files only.
    constexpr std::size_t kNamed = 20;
    std::string text = "-------------------- log folder above its limit of " + std::to_string(m_folderBudget) +
                       " bytes (" + std::to_string(result.bytesBefore) + "): removed " +
                       std::to_string(result.removed.size()) + " files, " + std::to_string(result.removedBytes) +
                       " bytes, oldest first:";
    for (std::size_t i = 0; i < result.removed.size() && i < kNamed; ++i)
        text += " " + result.removed[i];
    if (result.removed.size() > kNamed)
        text += " and " + std::to_string(result.removed.size() - kNamed) + " more";
    Write("LOG", text);
}

void CLog::Write(const char *name, const std::string &text)
{
    if (!IsEnabled())
        return;
    try {
        if (CLogContextHandle *handle = FindOrAdd(false, name))
            Queue(handle, text);
    } catch (...) {
        // Out of memory: the record is dropped.
    }
}

void CLog::WriteTagged(const char *tag, const std::string &text)
{
    if (!IsEnabled())
        return;
    try {
        if (CLogContextHandle *handle = FindOrAdd(true, tag))
            Queue(handle, text);
    } catch (...) {
    }
}

void CLog::WriteFormat(const char *name, const char *format, ...)
{
    if (!IsEnabled() || !format)
        return;
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    try {
        Write(name, std::string(text));
    } catch (...) {
    }
}

CLogContextHandle *CLog::FindOrAdd(bool withPrefix, const char *name)
{
    // Handles live as long as the logger, so the pointer stays valid after the lock.
    thread_local std::string key;
    std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
    if (withPrefix)
        key.assign(m_prefix);
    else
        key.clear();
    key.append(name ? name : "");
    auto found = m_contexts.find(key);
    if (found != m_contexts.end())
        return found->second;
    auto *handle = new (std::nothrow) CLogContextHandle(key);
    if (!handle)
        return nullptr;
    try {
        m_contexts.emplace(key, handle);
    } catch (...) {
        delete handle;
        return nullptr;
    }
    return handle;
}

void CLog::Queue(CLogContextHandle *handle, const std::string &text)
{
    // A full queue refuses before the record is built: under a flood most records
    // end here, and then cost no allocation.
    if (handle->RefuseIfFull(text.size()))
        return;
    const CachedTime &time = TimeOf(m_clock->Now());
    auto *record = new (std::nothrow) CLogContext;
    if (!record)
        return;
    try {
        record->m_time.assign(time.text);
        record->m_text = text;
    } catch (...) {
        delete record;
        return;
    }
    record->m_day = time.day;
    handle->Append(record); // counts the record when it is refused after all
}

void CLog::NewCycle()
{
    // A counter, so that a new cycle always differs from the one before it, even
    // within one millisecond; 0 is the mark of a handle never served.
    if (++m_currentCycle == 0)
        m_currentCycle = 1;
}

CLogContextHandle *CLog::NextPendingContext()
{
    std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
    if (m_contexts.empty())
        return nullptr;
    for (auto &entry : m_contexts) {
        CLogContextHandle *handle = entry.second;
        if (handle->m_cycle != m_currentCycle && handle->IsPending()) {
            handle->m_cycle = m_currentCycle;
            return handle;
        }
    }
    NewCycle();
    return nullptr;
}

void CLog::WriteStatistics()
{
    WriteFormat("LOG", "-------------------- LOG::Num: %d", static_cast<int>(ContextCount()));
    std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
    // The lengths as they stand once the LOG::Num line is queued: the lines of this
    // block do not count themselves.
    std::vector<std::pair<const CLogContextHandle *, std::size_t>> lengths;
    lengths.reserve(m_contexts.size());
    for (const auto &entry : m_contexts)
        lengths.emplace_back(entry.second, entry.second->QueueLength());
    for (const auto &entry : lengths)
        WriteFormat("LOG", "%s: %d", entry.first->Name().c_str(), static_cast<int>(entry.second));
    WriteFormat("LOG", "%s", "-------------------- END");
}

void CLog::CheckDeleteTime()
{
    if (!IsDeleteEnabled())
        return;
    if (m_deleteAtStartPending) {
        StartDelete();
        m_deleteAtStartPending = false;
    }
    const int hour = CDateTime(m_clock->Now()).Hour();
    if (hour == 16 && m_dailyDeleteArmed) {
        StartDelete();
        m_dailyDeleteArmed = false;
    }
    if (hour == 17)
        m_dailyDeleteArmed = true;
}

void CLog::StartDelete()
{
    m_deleter->SetRetention(Retention(GetKeepDays()));
    m_deleter->SetDirectory(m_logDirectory);
    m_deleter->Resume(); // does nothing while a pass runs
}

void CLog::SetKeepDays(int32_t n)
{
    m_keepDays.store(n, std::memory_order_relaxed);
    m_deleter->SetRetention(Retention(n));
}

void CLog::SetPrefix(const std::string &prefix)
{
    std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
    m_prefix = prefix;
}

std::string CLog::GetPrefix() const
{
    std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
    return m_prefix;
}

std::size_t CLog::ContextCount() const
{
    std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
    return m_contexts.size();
}

std::size_t CLog::QueueLength(const std::string &name) const
{
    std::lock_guard<decltype(m_contexts)::Lock> guard(m_contexts.Mutex());
    auto found = m_contexts.find(name);
    return found == m_contexts.end() ? 0 : found->second->QueueLength();
}

} // namespace Vant
