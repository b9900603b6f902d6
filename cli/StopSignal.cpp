#include "cli/StopSignal.h"

#include <signal.h>

#include <atomic>
#include <initializer_list>

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
    for (const int stop : {SIGINT, SIGTERM}) {
        struct sigaction before = {};
        if (sigaction(stop, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(stop, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
}

void EndByStopSignal()
{
    const int stop = StopSignal();
    if (stop == 0)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(stop, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, stop);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(stop);
}

int StopSignal()
{
    return g_stopSignal.load();
}

} // namespace cli
