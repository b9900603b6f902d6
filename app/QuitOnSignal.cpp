#include "app/QuitOnSignal.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The handler may run on any thread and can do nothing but write to this pipe;
// the user-interface thread reads it through a socket notifier.
int g_pipe[2] = {-1, -1};
const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction g_previous[3];

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = write(g_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

} // namespace

QuitOnSignal::QuitOnSignal(QWidget *window) : m_window(window)
{
    if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitOnSignal::SignalArrived);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        sigaction(kSignals[i], &action, &g_previous[i]);
}

QuitOnSignal::~QuitOnSignal()
{
    if (!m_notifier)
        return;
    for (int i = 0; i < 3; ++i)
        sigaction(kSignals[i], &g_previous[i], nullptr);
    delete m_notifier;
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void QuitOnSignal::SignalArrived()
{
    char bytes[16];
    while (read(g_pipe[0], bytes, sizeof(bytes)) > 0) {
    }
    if (m_window)
        m_window->close();
}
