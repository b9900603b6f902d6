#include "cli/StopSignal.h"

#include <signal.h>

#include <atomic>

namespace cli {

namespace {

std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void OnStop(int signal)
{
    g_stopSignal.store(signal);
}

} // namespace

void InstallStopHandlers()
{
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a confirmation read on the terminal returns at once.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int StopSignal()
{
    return g_stopSignal.load();
}

} // namespace cli
