#include "cli/watch_loop.h"

#include "cli/progress.h"
#include "cli/report.h"
#include "cli/stop_signals.h"
#include "cli/tree_watcher.h"

#include <QDateTime>

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace yf::cli {

namespace {

using Clock = std::chrono::steady_clock;

int fail(const Error &error)
{
    Report report;
    report.exitStatus = ExitFailed;
    report.err << error.message();
    print(report);
    return report.exitStatus;
}

// One run over the tree as it stands; its lines carry the time, since a log holds many.
void runOnce(const CommandLineRun &run, CommandLineObserver &observer, bool quiet)
{
    Report report = runAndReport(run, observer, quiet);
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    for (QString &line : report.out)
        line.prepend(now);
    for (QString &line : report.err)
        line.prepend(now);
    print(report);
}

} // namespace

int watchFeeds(const CommandLineRun &run, double settleSeconds, bool quiet)
{
    TreeWatcher watcher(run.request.inputDir, run.request.outputDir, run.settingsPath);
    if (Status opened = watcher.open(); !opened.ok())
        return fail(opened.error());

    CommandLineObserver observer(STDERR_FILENO, ::isatty(STDERR_FILENO) == 1);
    const auto settle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settleSeconds));
    bool pending = true;  // the first run comes at once
    Clock::time_point lastChange = Clock::now() - settle;

    for (;;) {
        if (stopSignal() != 0)
            return exitStatusFor(stopSignal());
        const auto now = Clock::now();
        if (pending && now - lastChange >= settle) {
            pending = false;
            // Watch first, then scan: a change after this point is seen by both, never by neither.
            if (Status synced = watcher.sync(); !synced.ok())
                return fail(synced.error());
            runOnce(run, observer, quiet);
            continue;  // changes made during the run are read next, and lead to one more run
        }

        int timeoutMs = -1;
        if (pending) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(settle - (now - lastChange));
            timeoutMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        pollfd fds[2] = {{watcher.fd(), POLLIN, 0}, {stopSignalFd(), POLLIN, 0}};
        const nfds_t count = stopSignalFd() >= 0 ? 2 : 1;
        if (::poll(fds, count, timeoutMs) < 0 && errno != EINTR)
            return fail(Error::fromErrno(ErrorKind::WatchTree, QStringLiteral("Cannot wait for changes"), {}, errno));
        if (!(fds[0].revents & POLLIN))
            continue;
        const Result<TreeChanges> changes = watcher.readEvents();
        if (!changes.ok())
            return fail(changes.error());
        if (changes.value().rootGone) {
            return fail(Error::failure(ErrorKind::WatchTree, QStringLiteral("The input directory was removed or moved"),
                                       run.request.inputDir));
        }
        if (changes.value().relevant) {
            pending = true;
            lastChange = Clock::now();
        }
    }
}

} // namespace yf::cli
