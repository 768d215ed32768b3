// Making the feeds of chosen folders of a run, and the index and cleanup that finish a run.
#pragma once

#include "feed/base_url.h"
#include "feed/feed_names.h"
#include "feed/feed_writer.h"
#include "generate/feed_index.h"
#include "generate/published_feeds.h"
#include "generate/generate.h"
#include "runtime/clock.h"
#include "runtime/error.h"
#include "runtime/run_observer.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <vector>

namespace yf {

namespace fast {
class HelperThreads;
}

// What a run was asked, checked and in the kernel's bytes.
struct RunPaths {
    BaseUrl baseUrl;
    QByteArray inputPath;  // the root keeps its doubled separator: "/" scans "//"
    QByteArray outputPath;
    QByteArray linkEntry;
};

// Refuses a base URL that is no full address and an input directory that is not absolute.
[[nodiscard]] Result<RunPaths> checkRunRequest(const RunRequest &request);

// What one folder's feed came to: put in place (or found unchanged), with what the index lists.
struct FeedDone {
    QByteArray fileName;
    qsizetype episodes = 0;
    qint64 newestEpisodeSecs = 0;
};

// Called in folder order with each folder's index and either its feed or the reason it got
// none that costs only this feed (see costsOnlyThisFeed).
using FeedReport = std::function<void(qsizetype index, const Result<FeedDone> &made)>;

// Makes the feeds of `folders[i]` for each i of `indices` (ascending), named `names.name(i)`,
// on `helpers`, and puts each in place in that order. Reads the clock after every feed into
// `lastFeedAtSecs`. Asks `observer` to cancel between folders. Returns the failure that
// stopped the pass (cancelling is one); none when every folder was reported.
[[nodiscard]] std::optional<Error> makeFeeds(const FeedInputs &inputs, fast::HelperThreads &helpers,
                                             const FolderPaths &folders, const FeedNames &names,
                                             const std::vector<qsizetype> &indices, const Clock &clock,
                                             RunObserver *observer, qint64 &lastFeedAtSecs,
                                             const FeedReport &report);

// What finishing a run left in the output directory, for the next run to start from.
struct FinishedIndex {
    std::vector<QByteArray> written;  // the index files now listed
    std::vector<IndexPlace> order;    // the feeds in the index files' order
    std::optional<FileIdentity> pageFile;
    std::optional<FileIdentity> opmlFile;
    std::optional<FileIdentity> listFile;  // none when the list was left as it was, or is not known
};

// A finished run's last steps: the index page and OPML file from `listed`, then the output
// directory's list of feeds set to `listed` and the index files, removing the feeds of an
// earlier run that are listed no more. Fills the outcome's index and cleanup fields.
// `sameList`, when given, holds the index files the last run of this caller listed and says
// that its feed files are `listed`'s, all removals done: the list is then left as it is when
// the index files are those again.
FinishedIndex finishRun(const RunPaths &paths, std::vector<IndexEntry> listed, RunOutcome &outcome,
                                  const std::vector<QByteArray> *sameList = nullptr);

} // namespace yf
