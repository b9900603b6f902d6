// The logger's set-up interface: one logger per process, created by LogInit and
// never destroyed (it ends with the process).
#include <atomic>
#include <cerrno> // program_invocation_short_name
#include <cstdio>
#include <mutex>
#include <new>

#include "kit/Log.h"
#include "kit/LogLocation.h"

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
    const LogLocations locations = DefaultLogLocations();
    const std::string directory = ChooseLogDirectory(locations);
    if (directory.empty()) {
        // The program goes on without a log; the operator hears of it once.
        static std::once_flag told;
        std::call_once(told, [&] {
            std::fprintf(stderr, "%s: no log is written: cannot create a writable folder at %s or %s\n",
                         program_invocation_short_name,
                         locations.besideExecutable.empty() ? "(beside the executable: not used)"
                                                            : locations.besideExecutable.c_str(),
                         locations.stateDirectory.empty() ? "(no state directory: HOME is unknown)"
                                                          : locations.stateDirectory.c_str());
        });
        return false;
    }
    return Init(directory, SystemClock());
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
