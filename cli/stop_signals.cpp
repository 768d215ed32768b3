#include "cli/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace yf::cli {

namespace {

// Written only by the handler; the handler does nothing that is not async-signal-safe.
volatile std::sig_atomic_t g_signal = 0;
int g_pipe[2] = {-1, -1};

extern "C" void onStopSignal(int signal)
{
    if (g_signal == 0)
        g_signal = signal;
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(g_pipe[1], &byte, 1);  // full pipe: already woken
    errno = savedErrno;
}

} // namespace

void installStopSignals()
{
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_pipe[0] = g_pipe[1] = -1;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // reads and writes of the run go on; the run checks the flag
    // A closed terminal (SIGHUP) stops the run like any other request: at the next folder.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    // Messages are no part of the work: a write to a pipe nobody reads simply fails.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

int stopSignal() { return g_signal; }

int stopSignalFd() { return g_pipe[0]; }

} // namespace yf::cli
