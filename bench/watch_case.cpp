// The watch case: what one change costs a running watcher, against a full run of the program.
#include "watch_case.h"

#include "child_process.h"
#include "file_system_floor.h"
#include "measure.h"
#include "synthetic_tree.h"

#include "feed/feed_text.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

// CPU time that grows by less than this over a quiet window is a process waiting, not working.
constexpr double kIdleCpuSeconds = 0.0001;
constexpr int kPollMs = 20;

std::string errnoText(const std::string &what, const std::string &path)
{
    return what + " \"" + path + "\": " + std::strerror(errno);
}

// The name the program gives the feed of the folder at `relative` below `library`.
std::string feedFileName(const std::string &library, const std::string &relative)
{
    const QByteArray folder = QByteArray::fromStdString(library + '/' + relative + '/');
    return yf::feedtext::feedName(folder, static_cast<qsizetype>(library.size())).toStdString() + ".xml";
}

bool writeFile(const std::string &path, std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, "ID3", 3) != 3) {
        error = errnoText("Cannot create file", path);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

// The watcher seen from outside: the feeds it puts in place, the lines it prints, its CPU clock.
class WatchedProgram {
public:
    explicit WatchedProgram(ChildProcess &child) : m_child(child) {}

    [[nodiscard]] bool watchOutput(const std::string &dir, std::string &error)
    {
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0 || ::inotify_add_watch(m_inotify, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE) < 0) {
            error = errnoText("Cannot watch", dir);
            return false;
        }
        return true;
    }
    ~WatchedProgram()
    {
        if (m_inotify >= 0)
            ::close(m_inotify);
    }
    WatchedProgram(const WatchedProgram &) = delete;
    WatchedProgram &operator=(const WatchedProgram &) = delete;

    long lines() const { return m_lines; }

    // Waits until a file called `name` is put in place in the output folder; `at` is when it was seen.
    [[nodiscard]] bool waitForFeed(const std::string &name, double deadline, double &at, std::string &error)
    {
        bool seen = false;
        const bool waited = waitUntil(deadline, error, [&] {
            alignas(inotify_event) char buffer[8192];
            for (ssize_t got; (got = ::read(m_inotify, buffer, sizeof buffer)) > 0;) {
                for (ssize_t offset = 0; offset < got;) {
                    const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
                    if (event->len > 0 && name == event->name && !seen) {
                        seen = true;
                        at = wallSeconds();
                    }
                    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            return seen;
        });
        if (!waited && error.empty())
            error = "the feed " + name + " did not appear in time";
        return waited;
    }

    // Feeds put in place or removed since the last look; -1 when the queue overflowed.
    long feedsTouched()
    {
        long touched = 0;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t got; (got = ::read(m_inotify, buffer, sizeof buffer)) > 0;) {
            for (ssize_t offset = 0; offset < got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
                if (event->mask & IN_Q_OVERFLOW)
                    return -1;
                const std::string_view name(event->len > 0 ? event->name : "");
                if ((event->mask & (IN_MOVED_TO | IN_DELETE)) && !name.starts_with('.') && name.ends_with(".xml"))
                    ++touched;
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return touched;
    }

    // Forgets the output folder's events so far.
    void forgetFeeds()
    {
        char buffer[8192];
        while (::read(m_inotify, buffer, sizeof buffer) > 0) {
        }
    }

    // Waits until the program has been idle for `quietSeconds`, or for `afterLineSeconds` once
    // it has printed more than `linesBefore` lines (a run prints its line as it ends).
    [[nodiscard]] bool waitUntilIdle(long linesBefore, double afterLineSeconds, double quietSeconds, double deadline,
                                     std::string &error)
    {
        double lastCpu = -1, quietSince = wallSeconds();
        const bool waited = waitUntil(deadline, error, [&] {
            double cpu = 0;
            if (!m_child.cpuSeconds(cpu))
                return false;
            const double now = wallSeconds();
            if (lastCpu < 0 || cpu - lastCpu >= kIdleCpuSeconds) {
                lastCpu = cpu;
                quietSince = now;
            }
            const double quiet = now - quietSince;
            return quiet >= quietSeconds || (m_lines > linesBefore && quiet >= afterLineSeconds);
        });
        if (!waited && error.empty())
            error = "the watcher did not become idle in time";
        return waited;
    }

private:
    // Calls `done` every few milliseconds and whenever the program prints or a feed arrives,
    // until it says yes. False when the deadline passes or the program ends (with `error`).
    bool waitUntil(double deadline, std::string &error, const std::function<bool()> &done)
    {
        for (;;) {
            bool closed = false;
            m_lines += m_child.readLines(closed);
            std::string how;
            if (m_child.hasEnded(how) || closed) {
                if (how.empty())
                    how = "closed its standard output";
                error = "the watcher " + how;
                return false;
            }
            if (done())
                return true;
            if (wallSeconds() > deadline)
                return false;
            pollfd fds[2] = {{m_child.outputFd(), POLLIN, 0}, {m_inotify, POLLIN, 0}};
            ::poll(fds, m_inotify >= 0 ? 2 : 1, kPollMs);
        }
    }

    ChildProcess &m_child;
    int m_inotify = -1;
    long m_lines = 0;
};

struct Change {
    const char *label;
    std::string feed;                   // the feed file it puts in place
    std::function<bool(std::string &)> make;
};

} // namespace

bool runWatchCase(const std::string &work, const std::string &library, const WatchCaseOptions &options,
                  std::string &error)
{
    if (options.folders < 3) {
        error = "the watch case needs at least 3 folders";
        return false;
    }
    TreeShape shape{options.folders, options.filesPerFolder, options.fanOut};
    TreeFacts tree;
    const double buildStart = wallSeconds();
    if (!buildTree(library, shape, tree, error, options.buildThreads))
        return false;
    const double built = wallSeconds() - buildStart;
    settle(work, {});
    std::printf("watch case: %ld folders (%ld levels below the input, fan-out %ld), %ld files, built in %.1f s "
                "(%u threads), written back in %.1f s\n",
                tree.folders, tree.depth, shape.fanOut, tree.files, built, options.buildThreads,
                wallSeconds() - buildStart - built);
    std::printf("disk: %s (%s); machine: %s\nprogram: %s\n", work.c_str(), fileSystemType(work).c_str(),
                machineDescription().c_str(), options.program.c_str());

    const std::string feeds = work + "/feeds";
    if (::mkdir(feeds.c_str(), 0755) != 0) {
        error = errnoText("Cannot create folder", feeds);
        return false;
    }
    const std::vector<std::string> runArguments = {"--input",    library, "--output",
                                                   feeds,        "--base-url", "http://example.org/",
                                                   "--settings", work + "/settings.ini", "--no-tags"};
    const auto fullRun = [&](const char *label, Finished &finished) {
        std::vector<std::string> arguments = runArguments;
        arguments.insert(arguments.begin(), "--generate");
        arguments.push_back("--quiet");
        settle(work, {});
        if (!runToEnd(options.program, arguments, finished, error))
            return false;
        if (finished.exitStatus != 0) {
            error = std::string("the ") + label + " ended with status " + std::to_string(finished.exitStatus);
            return false;
        }
        std::printf("  %-18s wall %.3f s, CPU %.3f s, peak RSS %.1f MiB\n", label, finished.wallSeconds,
                    finished.cpuSeconds, finished.peakResidentKiB / 1024.0);
        return true;
    };
    Finished first, baseline;
    if (!fullRun("first full run", first))
        return false;
    long feedCount = 0;
    long long feedBytes = 0;
    if (!outputFacts(feeds, feedCount, feedBytes) || feedCount != tree.folders - 1) {
        error = "the first run wrote " + std::to_string(feedCount) + " feeds, not " + std::to_string(tree.folders - 1);
        return false;
    }
    for (int round = 0; round < 2; ++round) {
        Finished again;
        if (!fullRun("unchanged full run", again))
            return false;
        if (round == 0 || again.cpuSeconds < baseline.cpuSeconds)
            baseline = again;
    }
    std::printf("baseline (best unchanged full run): CPU %.3f s, wall %.3f s\n", baseline.cpuSeconds,
                baseline.wallSeconds);

    // The three changes, each in a folder of its own; the feed each waits for is that folder's.
    const std::string added = folderPath(shape, options.folders - 1);
    const std::string parent = folderPath(shape, options.folders / 2);
    const std::string created = parent + "/Added Folder";
    const std::string renamedFrom = folderPath(shape, options.folders - 2);
    const std::size_t slash = renamedFrom.rfind('/');
    const std::string renamedTo = (slash == std::string::npos ? "" : renamedFrom.substr(0, slash + 1)) + "Renamed Folder";
    struct stat st;
    if (::stat((feeds + '/' + feedFileName(library, added)).c_str(), &st) != 0) {
        error = "the first run wrote no feed " + feedFileName(library, added) + " for " + added;
        return false;
    }
    const std::vector<Change> changes = {
        {"file added", feedFileName(library, added),
         [&](std::string &e) { return writeFile(library + '/' + added + "/Episode 999 - Added.mp3", e); }},
        {"folder created", feedFileName(library, created),
         [&](std::string &e) {
             const std::string dir = library + '/' + created;
             if (::mkdir(dir.c_str(), 0755) != 0) {
                 e = errnoText("Cannot create folder", dir);
                 return false;
             }
             return writeFile(dir + "/Episode 001 - New.mp3", e);
         }},
        {"folder renamed", feedFileName(library, renamedTo),
         [&](std::string &e) {
             if (::rename((library + '/' + renamedFrom).c_str(), (library + '/' + renamedTo).c_str()) == 0)
                 return true;
             e = errnoText("Cannot rename", library + '/' + renamedFrom);
             return false;
         }},
    };

    ChildProcess watcher;
    WatchedProgram watched(watcher);
    if (!watched.watchOutput(feeds, error))
        return false;
    // Not quiet: the line each run prints tells when it has ended.
    std::vector<std::string> watchArguments = runArguments;
    watchArguments.insert(watchArguments.begin(), {"--watch", "--settle", std::to_string(options.settleSeconds)});
    settle(work, {});
    const double watchStart = wallSeconds();
    if (!watcher.start(options.program, watchArguments, error))
        return false;
    const double timeout = options.timeoutSeconds > 0 ? options.timeoutSeconds
                                                      : std::max(60.0, 20 * first.wallSeconds) + 11 * options.settleSeconds;
    if (!watched.waitUntilIdle(0, 0.1, 2.0, watchStart + timeout, error)) {
        error = "before its first run ended, " + error;
        return false;
    }
    Memory memory;
    double startCpu = 0;
    if (!watcher.memory(memory) || !watcher.cpuSeconds(startCpu)) {
        error = "cannot read the watcher's memory or CPU time in /proc";
        return false;
    }
    std::printf("watcher: first run done in %.3f s (CPU %.3f s); peak RSS %.1f MiB, RSS %.1f MiB "
                "(target for 100,000 folders: at most 48 MiB)\n",
                wallSeconds() - watchStart, startCpu, memory.peakResidentKiB / 1024.0, memory.residentKiB / 1024.0);

    bool allMet = true;
    for (const Change &change : changes) {
        settle(work, {});
        watched.forgetFeeds();
        const long linesBefore = watched.lines();
        double cpuBefore = 0, cpuAfter = 0, inPlace = 0;
        if (!watcher.cpuSeconds(cpuBefore))
            return false;
        const double madeAt = wallSeconds();
        if (!change.make(error))
            return false;
        const double deadline = madeAt + timeout;
        if (!watched.waitForFeed(change.feed, deadline, inPlace, error)
            || !watched.waitUntilIdle(linesBefore, 0.1, 0.5, deadline, error) || !watcher.cpuSeconds(cpuAfter)) {
            error = std::string(change.label) + ": " + (error.empty() ? "cannot read the watcher's CPU time" : error);
            return false;
        }
        const double beyondSettle = inPlace - madeAt - options.settleSeconds;
        const double cpu = cpuAfter - cpuBefore;
        const double ratio = cpu / baseline.cpuSeconds;
        const bool met = ratio < 0.01 && beyondSettle < 0.050;
        allMet = allMet && met;
        std::printf("  %-15s in place %.1f ms beyond the settle time, CPU %.1f ms, %.2f %% of the full run (%s)\n",
                    change.label, beyondSettle * 1e3, cpu * 1e3, ratio * 100, met ? "target met" : "target missed");
    }
    if (!watcher.memory(memory))
        return false;
    std::printf("watcher after the changes: peak RSS %.1f MiB, RSS %.1f MiB\n", memory.peakResidentKiB / 1024.0,
                memory.residentKiB / 1024.0);
    watcher.stop(10.0);

    // The renamed folder's old feed must be gone and the new folder's there: one feed per folder.
    if (!outputFacts(feeds, feedCount, feedBytes) || feedCount != tree.folders) {
        error = "after the changes the output holds " + std::to_string(feedCount) + " feeds, not "
              + std::to_string(tree.folders);
        return false;
    }
    // What replacing the index page and OPML file costs anyway: a change to the folders
    // alters both, and a file put in place is a new file, however it is made.
    double floorCpu = 0;
    long long floorBytes = 0;
    for (int round = 0; round < 3; ++round) {
        settle(work, {});
        double cpu = 0;
        if (!measureReplaceFloor(feeds, {"index.html", "feeds.opml"}, cpu, floorBytes, error))
            return false;
        floorCpu = round == 0 ? cpu : std::min(floorCpu, cpu);
    }
    std::printf("  floor: the index page and OPML file (%.1f MB) copied by the kernel and put in place, "
                "best of 3: CPU %.1f ms, %.2f %% of the full run\n",
                floorBytes / 1e6, floorCpu * 1e3, floorCpu / baseline.cpuSeconds * 100);

    // A watcher fast because it left feeds stale would be no gain: a full run now must find
    // every feed as it would write it, and so write and remove none.
    watched.forgetFeeds();
    Finished check;
    if (!fullRun("checking full run", check))
        return false;
    if (const long touched = watched.feedsTouched(); touched != 0) {
        error = touched < 0 ? "too many feeds changed to count after the watcher's changes"
                            : "a full run after the watcher's changes wrote or removed " + std::to_string(touched)
                                  + " feeds, which the watcher should have left as that run makes them";
        return false;
    }
    std::printf("targets (CPU under 1 %% of the full run, in place within 50 ms of the settle time): %s\n",
                allMet ? "met" : "missed");
    return true;
}

} // namespace bench
