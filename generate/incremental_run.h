// Runs that remember the tree they wrote feeds for, so that the next run redoes only what changed.
#pragma once

#include "generate/generate.h"
#include "runtime/clock.h"
#include "runtime/run_observer.h"

#include <QByteArray>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace yf {

// What changed in the input tree since the last run, as a watcher of it saw it. Every path is
// a folder's own as a scan writes it: the input path, the names below it, each ending in "/".
struct TreeChangeList {
    // Folders whose own entries changed: a file added, removed, renamed, rewritten or given
    // other attributes. Their feeds are made again.
    std::vector<QByteArray> folders;
    // Folders that appeared, went, were renamed, moved in or out, or changed attributes
    // (hidden, write-protected, readable), each named by the path it has or had; whether it
    // is there now or not, the folder list is put right from its parent down.
    std::vector<QByteArray> subtrees;
};

// One watcher's runs over one request: a full run first, then updates that list only the
// subtrees and make only the feeds a change list names, while every outcome (feeds, names,
// count, skipped folders, removed feeds, index page) is what a full run would give then.
class IncrementalRun {
public:
    IncrementalRun(RunRequest request, const Clock &clock);
    ~IncrementalRun();
    IncrementalRun(const IncrementalRun &) = delete;
    IncrementalRun &operator=(const IncrementalRun &) = delete;

    // A whole run, as generateFeeds does it; when it finishes, what the next update needs is
    // kept, and when it does not, nothing is.
    [[nodiscard]] RunOutcome fullRun(RunObserver *observer = nullptr);

    // Whether update() may run: the last run, full or not, finished.
    [[nodiscard]] bool ready() const;

    // Redoes what `changes` names since the last run. Needs ready(); one that fails or is
    // cancelled forgets what was kept, so the next run must be a full one.
    [[nodiscard]] RunOutcome update(const TreeChangeList &changes, RunObserver *observer = nullptr);

    // Roughly the bytes kept between runs.
    [[nodiscard]] std::size_t keptBytes() const;

private:
    struct Kept;
    // Makes the feeds of `remake` (listed places, ascending) in `kept`'s tree and finishes the
    // run; keeps `kept` when the run finishes. `wholeTree`: every folder was met. `nowAt` maps
    // the last run's listed places to today's (none: they are the same), and `oldFileName`
    // gives the feed file a last run's place had.
    RunOutcome makeFeedsAndFinish(std::unique_ptr<Kept> kept, const std::vector<qsizetype> &remake,
                                  bool wholeTree, RunObserver *observer, RunOutcome outcome,
                                  const std::vector<qint32> *nowAt = nullptr,
                                  const std::function<QByteArray(qint32)> &oldFileName = {});
    static std::vector<qsizetype> dueOf(std::vector<char> &remake, const TreeChangeList &changes, Kept &kept,
                                        RunObserver *observer);
    // The index files and the list of feeds after the feeds of `remade` were made again.
    void finishIndex(Kept &kept, const std::vector<qsizetype> &remade, bool wholeTree, RunOutcome &outcome,
                     bool feedsCameOrWent, const std::vector<qint32> *nowAt,
                     const std::function<QByteArray(qint32)> &oldFileName);

    RunRequest m_request;
    const Clock &m_clock;
    std::unique_ptr<Kept> m_kept;  // empty until a run finishes
};

} // namespace yf
