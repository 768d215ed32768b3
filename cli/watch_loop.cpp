#include "cli/watch_loop.h"

#include "cli/progress.h"
#include "cli/report.h"
#include "cli/stop_signals.h"

#include "runtime/file_system.h"

#include <QDateTime>
#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf::cli {

namespace {

using Clock = std::chrono::steady_clock;

Q_LOGGING_CATEGORY(watchLog, "yarrowfeed.watch", QtInfoMsg)

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

    // Whether the run finished; a failed or cancelled one did not. Without `changes`, a full run.
    bool runOnce(IncrementalRun &engine, const TreeChangeList *changes)
    {
        Report report = runAndReport(m_run, engine, changes, m_observer, m_quiet);
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

// The settings file as it is on disk: when it differs from how the last run left it, someone
// else wrote it, and what was kept of the runs before may no longer hold.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileStamp &) const = default;
};

FileStamp stampOf(const QString &path)
{
    struct stat st;
    if (::stat(fs::encodePath(path).constData(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino, st.st_size, std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// Whether the next run must be a full one, and why; the first reason is the one logged.
class FullRunReason {
public:
    void set(const QString &reason)
    {
        if (m_reason.isEmpty())
            m_reason = reason;
    }
    bool isSet() const { return !m_reason.isEmpty(); }
    const QString &text() const { return m_reason; }
    void clear() { m_reason.clear(); }

private:
    QString m_reason;
};

} // namespace

int watchFeeds(const CommandLineRun &run, const WatchPacing &pacing, bool quiet, const WatchSystem &system)
{
    TreeWatcher watcher(run.request.inputDir, run.request.outputDir, run.settingsPath, system.addWatch,
                        system.limitFile);
    if (Status opened = watcher.open(); !opened.ok())
        return fail(opened.error());

    const auto settle =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pacing.settleSeconds));
    const auto longest = std::min<Clock::duration>(settle * kSettlePeriodsAtMost, kLongestWait);
    const auto retryWait = std::max<Clock::duration>(settle, kShortestRetry);
    const bool fullRunsPaced = pacing.fullEveryMinutes > 0;
    const auto fullEvery =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pacing.fullEveryMinutes * 60));
    const SystemClock clock;
    IncrementalRun engine(run.request, clock);
    Runner runner(run, quiet, std::chrono::duration<double>(retryWait).count());
    bool pending = true;  // the first run comes at once
    Clock::time_point firstChange = Clock::now() - settle;
    Clock::time_point lastChange = firstChange;
    Clock::time_point lastFullRun = Clock::now();
    FullRunReason full;
    full.set(QStringLiteral("the first run"));
    FileStamp settingsAfterRun;
    // Set once the tree needs more watches than the system allows: one more run, so that
    // folders not watched still get their feeds, then the watch ends.
    bool limitReached = false;

    for (;;) {
        if (stopSignal() != 0)
            return exitStatusFor(stopSignal());
        const auto now = Clock::now();
        // Changes no event tells of (a feed deleted by hand, a missed event) are put right
        // this often, even in a quiet tree.
        if (fullRunsPaced && now >= lastFullRun + fullEvery) {
            full.set(QStringLiteral("one is due every %1 minutes").arg(pacing.fullEveryMinutes));
            if (!pending) {
                pending = true;
                firstChange = lastChange = now - settle;
            }
        }
        const auto due = std::min(lastChange + settle, firstChange + longest);
        if (pending && now >= due) {
            pending = false;
            const ChangeCollector::Taken taken = watcher.takeChanges();
            if (!taken.fullRunReason.isEmpty())
                full.set(taken.fullRunReason);
            if (!engine.ready())
                full.set(QStringLiteral("the last run did not finish"));
            if (stampOf(run.settingsPath) != settingsAfterRun)
                full.set(QStringLiteral("the settings file changed"));
            if (limitReached)
                full.set(QStringLiteral("not every folder is watched"));
            // Watch first, then scan: a change after this point is seen by both, never by neither.
            if (!limitReached) {
                Status synced = full.isSet() ? watcher.sync() : watcher.syncSubtrees(taken.changes.subtrees);
                if (synced.ok() && !full.isSet()) {
                    if (const QString reason = watcher.takeChanges().fullRunReason; !reason.isEmpty()) {
                        full.set(reason);
                        synced = watcher.sync();
                    }
                }
                if (!synced.ok()) {
                    if (!TreeWatcher::isWatchLimit(synced.error()))
                        return fail(synced.error());
                    limitReached = true;
                    full.set(QStringLiteral("not every folder is watched"));
                }
            }
            if (full.isSet())
                qCDebug(watchLog, "full run: %s", qPrintable(full.text()));
            else
                qCDebug(watchLog, "update: %zu folders, %zu subtrees", taken.changes.folders.size(),
                        taken.changes.subtrees.size());
            const auto startedAt = Clock::now();
            const bool wasFull = full.isSet();
            const bool succeeded = runner.runOnce(engine, wasFull ? nullptr : &taken.changes);
            full.clear();
            if (wasFull && succeeded)
                lastFullRun = startedAt;
            // This run's own store is no change by someone else.
            settingsAfterRun = stampOf(run.settingsPath);
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
        if (pending || fullRunsPaced) {
            const auto wake = pending ? (fullRunsPaced ? std::min(due, lastFullRun + fullEvery) : due)
                                      : lastFullRun + fullEvery;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
            // poll takes an int: a wake far off is looked at again after a day.
            timeoutMs = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 86'400'000));
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
            // A directory made again is empty, or someone else's: no feed of the last run is there.
            if (changes.value().outputGone)
                full.set(QStringLiteral("the output directory went"));
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
