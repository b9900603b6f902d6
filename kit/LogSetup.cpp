// The logger's set-up interface: one logger per process, created by LogInit and
// never destroyed (it ends with the process).
#include <atomic>
#include <mutex>
#include <new>

#include "kit/FileUtil.h"
#include "kit/Log.h"

namespace Vant {

namespace {

std::mutex g_initLock;
std::atomic<CLog *> g_logger{nullptr};

bool Init(const std::string &logDirectory, std::shared_ptr<IClock> clock)
{
    std::lock_guard<std::mutex> guard(g_initLock);
    if (g_logger.load(std::memory_order_acquire))
        return true;
    CLog *log = nullptr;
    try {
        log = new CLog(logDirectory, std::move(clock));
    } catch (...) {
        return false;
    }
    log->SetKeepDays(30);
    log->SetExitFlush(true);
    log->SetEnabled(false);
    if (!log->Start()) {
        // Without its worker nothing would ever be written, and every record
        // queued would stay in memory: no logger at all is the honest state.
        delete log;
        return false;
    }
    log->Resume();
    g_logger.store(log, std::memory_order_release);
    return true;
}

} // namespace

bool LogInit()
{
    if (LogInstance())
        return true;
    return Init(GetModuleDirectory() + "log/", SystemClock());
}

bool LogInit(const std::string &logDirectory, std::shared_ptr<IClock> clock)
{
    return Init(logDirectory, std::move(clock));
}

CLog *LogInstance() { return g_logger.load(std::memory_order_acquire); }

void LogEnableExitFlush(bool on)
{
    if (CLog *log = LogInstance())
        log->SetExitFlush(on);
}

void LogShutdown()
{
    CLog *log = LogInstance();
    if (!log)
        return;
    // The logger itself stays: other threads may still call LogWrite.
    log->Shutdown();
    log->SetEnabled(false);
}

void LogEnable(bool on)
{
    if (CLog *log = LogInstance())
        log->SetEnabled(on);
}

void LogEnableDelete(bool on)
{
    if (CLog *log = LogInstance())
        log->SetDeleteEnabled(on);
}

void LogSetPrefix(const std::string &prefix)
{
    if (CLog *log = LogInstance())
        log->SetPrefix(prefix);
}

void LogSetKeepDays(int32_t n)
{
    if (CLog *log = LogInstance())
        log->SetKeepDays(n);
}

void LogWrite(const char *tag, const std::string &text)
{
    if (CLog *log = LogInstance())
        log->WriteTagged(tag, text);
}

} // namespace Vant
