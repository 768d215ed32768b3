#include "cli/watch_loop.h"

#include "cli/progress.h"
#include "cli/report.h"
#include "cli/stop_signals.h"

#include <QDateTime>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace yf::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A burst of changes that never settles still gets a run this many settle periods after its
// first change, and never later than kLongestWait.
constexpr int kSettlePeriodsAtMost = 10;
constexpr std::chrono::seconds kLongestWait{60};
constexpr std::chrono::seconds kShortestRetry{1};

int fail(const Error &error)
{
    Report report;
    report.exitStatus = ExitFailed;
    report.err << error.message();
    print(report);
    return report.exitStatus;
}

void prependTime(QStringList &lines)
{
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    for (QString &line : lines)
        line.prepend(now);
}

// Runs over the tree as it stands and prints what the run says, with the time, since a log
// holds many. A failure that only repeats the one before says nothing new and is left out.
class Runner {
public:
    Runner(const CommandLineRun &run, bool quiet, double retrySeconds)
        : m_run(run), m_quiet(quiet), m_retrySeconds(retrySeconds),
          m_observer(STDERR_FILENO, ::isatty(STDERR_FILENO) == 1)
    {
    }

    // Whether the run finished; a failed or cancelled one did not.
    bool runOnce()
    {
        Report report = runAndReport(m_run, m_observer, m_quiet);
        const bool succeeded = report.exitStatus == ExitOk;
        if (!succeeded && stopSignal() == 0) {
            if (report.err == m_lastFailure)
                return false;
            m_lastFailure = report.err;
            report.err << QStringLiteral("Trying again every %1 s until a run succeeds.").arg(m_retrySeconds);
        } else {
            m_lastFailure.clear();
        }
        prependTime(report.out);
        prependTime(report.err);
        print(report);
        return succeeded;
    }

private:
    const CommandLineRun &m_run;
    bool m_quiet;
    double m_retrySeconds;
    CommandLineObserver m_observer;
    QStringList m_lastFailure;
};

} // namespace

int watchFeeds(const CommandLineRun &run, double settleSeconds, bool quiet, const WatchSystem &system)
{
    TreeWatcher watcher(run.request.inputDir, run.request.outputDir, run.settingsPath, system.addWatch,
                        system.limitFile);
    if (Status opened = watcher.open(); !opened.ok())
        return fail(opened.error());

    const auto settle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settleSeconds));
    const auto longest = std::min<Clock::duration>(settle * kSettlePeriodsAtMost, kLongestWait);
    const auto retryWait = std::max<Clock::duration>(settle, kShortestRetry);
    Runner runner(run, quiet, std::chrono::duration<double>(retryWait).count());
    bool pending = true;  // the first run comes at once
    Clock::time_point firstChange = Clock::now() - settle;
    Clock::time_point lastChange = firstChange;
    // Set once the tree needs more watches than the system allows: one more run, so that
    // folders not watched still get their feeds, then the watch ends.
    bool limitReached = false;

    for (;;) {
        if (stopSignal() != 0)
            return exitStatusFor(stopSignal());
        const auto now = Clock::now();
        const auto due = std::min(lastChange + settle, firstChange + longest);
        if (pending && now >= due) {
            pending = false;
            // Watch first, then scan: a change after this point is seen by both, never by neither.
            if (!limitReached) {
                if (Status synced = watcher.sync(); !synced.ok()) {
                    if (!TreeWatcher::isWatchLimit(synced.error()))
                        return fail(synced.error());
                    limitReached = true;
                }
            }
            const bool succeeded = runner.runOnce();
            if (limitReached && stopSignal() == 0)
                return fail(watcher.limitError());  // the folders counted now, after the last run
            if (!succeeded) {
                // The tree need not change for the next run to succeed: an output directory
                // made again, space freed on a full disk. Try again a settle period from
                // now, and never sooner than a second (a settle time of 0 must not spin).
                pending = true;
                firstChange = lastChange = Clock::now() + (retryWait - settle);
            }
            continue;  // changes made during the run are read next, and lead to one more run
        }

        int timeoutMs = -1;
        if (pending) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now);
            timeoutMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        pollfd fds[2] = {{watcher.fd(), POLLIN, 0}, {stopSignalFd(), POLLIN, 0}};
        const nfds_t count = stopSignalFd() >= 0 ? 2 : 1;
        if (::poll(fds, count, timeoutMs) < 0 && errno != EINTR)
            return fail(Error::fromErrno(ErrorKind::WatchTree, QStringLiteral("Cannot wait for changes"), {}, errno));
        if (!(fds[0].revents & POLLIN))
            continue;
        const Result<TreeChanges> changes = watcher.readEvents();
        bool changed = true;
        if (!changes.ok()) {
            if (!TreeWatcher::isWatchLimit(changes.error()))
                return fail(changes.error());
            limitReached = true;  // a folder came that cannot be watched: it changed the tree
        } else if (changes.value().rootGone) {
            return fail(Error::failure(ErrorKind::WatchTree, QStringLiteral("The input directory was removed or moved"),
                                       run.request.inputDir));
        } else {
            changed = changes.value().relevant || changes.value().outputGone;
        }
        if (changed) {
            const auto at = Clock::now();
            if (!pending)
                firstChange = at;
            pending = true;
            lastChange = at;
        }
    }
}

} // namespace yf::cli
