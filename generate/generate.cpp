#include "generate/generate.h"

#include "fast/ordered_work.h"
#include "feed/feed_names.h"
#include "generate/feed_pass.h"
#include "runtime/atomic_file.h"
#include "runtime/file_system.h"
#include "scan/folder_scan.h"

#include <future>
#include <numeric>
#include <utility>

namespace yf {

RunOutcome generateFeeds(const RunRequest &request, const Clock &clock, RunObserver *observer)
{
    RunOutcome outcome;
    Result<RunPaths> checked = checkRunRequest(request);
    if (!checked.ok()) {
        outcome.error = checked.error();
        return outcome;
    }
    const RunPaths paths = std::move(checked).value();
    // The tag cache is read on a thread of its own while the tree is scanned.
    std::future<LoadedTagCache> tagCache;
    if (request.readTags && !request.tagCacheFile.isEmpty())
        tagCache = loadTagCacheAside(request.tagCacheFile);
    // One set of helpers for the whole run: first the scan's, then the feeds'.
    fast::HelperThreads helpers(request.helperThreads);
    // An output directory inside the input tree is not scanned: its feeds are no episodes.
    Result<FolderArray> scanned = scanFolders(paths.inputPath + '/', observer, &outcome.skipped,
                                              fs::folderId(paths.outputPath), &helpers);
    if (!scanned.ok()) {
        outcome.error = scanned.error();
        return outcome;
    }
    const FolderArray folders = std::move(scanned).value();
    if (observer)
        observer->scanned();

    // All names first, so that folders whose names meet each get a feed of their own.
    const FolderPathList folderPaths(folders);
    const FeedNames names(folderPaths, paths.inputPath.size(), fileNameLimit(paths.outputPath));
    // Stored when the run ends, however it ends.
    std::optional<TagSource> tags;
    if (request.readTags)
        tags.emplace(request.tagCacheFile, paths.inputPath, tagCache.valid() ? tagCache.get() : LoadedTagCache());
    const FeedInputs feedInputs{paths.inputPath, paths.linkEntry, paths.outputPath, paths.baseUrl,
                                tags ? &*tags : nullptr};
    std::vector<qsizetype> indices(folders.empty() ? 0 : folders.size() - 1);
    std::iota(indices.begin(), indices.end(), 1);
    qsizetype total = static_cast<qsizetype>(indices.size());
    if (total > 0)
        removeStaleTemporaryFiles(paths.outputPath);
    if (observer)
        observer->feedWritten(0, total);

    std::vector<IndexEntry> listed;  // the feed files this run leaves in the output directory
    const std::optional<Error> stopped =
        makeFeeds(feedInputs, helpers, folderPaths, names, indices, clock, observer, outcome.lastFeedAtSecs,
                  [&](qsizetype, const Result<FeedDone> &made) {
                      if (made.ok()) {
                          // The feed's name is its title, and its file name without ".xml".
                          const FeedDone &feed = made.value();
                          listed.push_back(IndexEntry{feed.fileName, feed.fileName.chopped(4), feed.episodes,
                                                      feed.newestEpisodeSecs});
                          ++outcome.feedsWritten;
                      } else {
                          outcome.skipped.push_back(made.error());
                          --total;  // no feed for it: the rest still count towards the end
                      }
                      if (observer)
                          observer->feedWritten(outcome.feedsWritten, total);
                  });
    if (tags) {
        outcome.tagCacheProblem = tags->finish(!stopped);
        outcome.tagFiles = tags->counts();
    }
    if (stopped) {
        outcome.error = *stopped;
        return outcome;
    }
    finishRun(paths, std::move(listed), outcome);
    return outcome;
}

} // namespace yf
