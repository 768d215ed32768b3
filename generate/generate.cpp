#include "generate/generate.h"

#include "fast/ordered_work.h"
#include "feed/base_url.h"
#include "feed/feed_names.h"
#include "feed/feed_writer.h"
#include "feed/file_lister.h"
#include "generate/feed_index.h"
#include "generate/published_feeds.h"
#include "runtime/atomic_file.h"
#include "runtime/file_system.h"
#include "scan/folder_scan.h"

#include <memory>
#include <mutex>
#include <utility>

namespace yf {

namespace {

// How far the helpers may run ahead of the feed being put in place: enough to keep them
// busy through a slow write, little enough that the texts held stay small.
constexpr qsizetype kFeedsAhead = 16;

// A folder that vanished, was swapped for a link or lost its permissions since the scan gets
// no feed, like one the scan could not list; so does one whose feed's name is held by a folder
// or pipe in the output directory. Any other failure on the output side stops the run.
bool costsOnlyThisFeed(const Error &error)
{
    return (error.kind == ErrorKind::ListFolder && fs::isUnreadableFolderError(error.osError))
        || error.kind == ErrorKind::NameTaken;
}

// What one thread needs to make feeds: a writer and a lister of its own, and the feeds this
// thread made that are done with, handed back so the next one is made in a buffer grown already.
class FeedMaker {
public:
    explicit FeedMaker(const FeedInputs &inputs) : m_writer(inputs) {}

    Result<PreparedFeed> prepare(const QByteArray &folder, const QByteArray &name)
    {
        if (std::optional<PreparedFeed> done = takeDone())
            m_writer.reuse(std::move(*done));
        return m_writer.prepare(folder, name, m_lister);
    }
    // From the thread that put the feed in place.
    void giveBack(PreparedFeed &&done)
    {
        const std::lock_guard lock(m_mutex);
        if (!m_done)
            m_done = std::move(done);
    }

private:
    std::optional<PreparedFeed> takeDone()
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_done, std::nullopt);
    }

    FeedWriter m_writer;
    FileLister m_lister;
    std::mutex m_mutex;
    std::optional<PreparedFeed> m_done;
};

// One folder's feed as a helper made it; dropping it removes what it readied.
struct MadeFeed {
    int worker = 0;
    Result<PreparedFeed> feed;
};

} // namespace

RunOutcome generateFeeds(const RunRequest &request, const Clock &clock, RunObserver *observer)
{
    RunOutcome outcome;

    const Result<BaseUrl> baseUrl = parseBaseUrl(request.baseUrl);
    if (!baseUrl.ok()) {
        outcome.error = baseUrl.error();
        return outcome;
    }
    if (!request.inputDir.startsWith(QLatin1Char('/'))) {
        outcome.error = Error::failure(ErrorKind::BadInput, QStringLiteral("The input directory is not an absolute path"),
                                       request.inputDir);
        return outcome;
    }
    // The root keeps its doubled separator: "/" scans "//".
    const QByteArray inputPath = fs::encodePath(request.inputDir);
    const QByteArray outputPath = fs::encodePath(request.outputDir);
    // One set of helpers for the whole run: first the scan's, then the feeds'.
    fast::HelperThreads helpers(request.helperThreads);
    // An output directory inside the input tree is not scanned: its feeds are no episodes.
    Result<FolderArray> scanned =
        scanFolders(inputPath + '/', observer, &outcome.skipped, fs::folderId(outputPath), &helpers);
    if (!scanned.ok()) {
        outcome.error = scanned.error();
        return outcome;
    }
    const FolderArray folders = std::move(scanned).value();
    if (observer)
        observer->scanned();

    // All names first, so that folders whose names meet each get a feed of their own.
    const FeedNames names(folders, inputPath.size(), fileNameLimit(outputPath));
    // Read on this thread before any helper asks it; stored when the run ends, however it ends.
    std::optional<TagSource> tags;
    if (request.readTags)
        tags.emplace(request.tagCacheFile, inputPath);
    const auto keepTags = [&](bool finished) {
        if (tags) {
            outcome.tagCacheProblem = tags->finish(finished);
            outcome.tagFiles = tags->counts();
        }
    };
    const FeedInputs feedInputs{inputPath, fs::encodePath(request.linkEntry), outputPath, baseUrl.value(),
                                tags ? &*tags : nullptr};
    const auto end = static_cast<qsizetype>(folders.size());
    qsizetype total = end - 1;
    if (total > 0)
        removeStaleTemporaryFiles(outputPath);
    if (observer)
        observer->feedWritten(0, total);

    // Helpers list the next folders, make their feeds and ready them beside their files; this
    // thread puts each in place in folder order and decides, as a run on one thread would,
    // what a result means.
    std::vector<std::unique_ptr<FeedMaker>> makers;
    for (int worker = 0; worker < helpers.workers(); ++worker)
        makers.push_back(std::make_unique<FeedMaker>(feedInputs));
    const FeedWriter writer(feedInputs);
    std::vector<IndexEntry> listed;  // the feed files this run leaves in the output directory
    fast::OrderedWork<MadeFeed> ahead(helpers, 1, end, kFeedsAhead, [&](int worker, qsizetype index) {
        const auto at = static_cast<std::size_t>(index);
        return MadeFeed{worker, makers[static_cast<std::size_t>(worker)]->prepare(folders[at], names.name(at))};
    });
    for (qsizetype index = 1; index < end; ++index) {
        if (observer && observer->cancelRequested()) {
            outcome.error = Error::cancelled();
            keepTags(false);
            return outcome;
        }
        MadeFeed made = ahead.take(index);
        Status written = made.feed.ok() ? Status() : Status(made.feed.error());
        if (made.feed.ok()) {
            PreparedFeed feed = std::move(made.feed).value();
            written = writer.commit(feed);
            if (written.ok()) {
                // The feed's name is its title, and its file name without ".xml".
                listed.push_back(IndexEntry{feed.fileName(), feed.fileName().chopped(4), feed.episodeCount(),
                                            feed.newestEpisodeSecs()});
            }
            makers[static_cast<std::size_t>(made.worker)]->giveBack(std::move(feed));
        }
        outcome.lastFeedAtSecs = clock.nowSecs();
        if (!written.ok() && costsOnlyThisFeed(written.error())) {
            outcome.skipped.push_back(written.error());
            --total;  // no feed for it: the rest still count towards the end
            if (observer)
                observer->feedWritten(outcome.feedsWritten, total);
            continue;
        }
        if (!written.ok()) {
            outcome.error = written.error();
            keepTags(false);
            return outcome;
        }
        ++outcome.feedsWritten;
        if (observer)
            observer->feedWritten(outcome.feedsWritten, total);
    }
    keepTags(true);
    std::vector<QByteArray> produced;
    produced.reserve(listed.size() + 2);
    for (const IndexEntry &entry : listed)
        produced.push_back(entry.fileName);
    FeedIndex feedIndex = writeFeedIndex(
        outputPath, feedsAddress(baseUrl.value(), feedInputs.linkEntry, outputPath), std::move(listed));
    outcome.indexPage = std::move(feedIndex.pagePath);
    outcome.indexAddress = std::move(feedIndex.pageAddress);
    outcome.indexProblems = std::move(feedIndex.problems);
    // Listed as this run's own; no name of theirs ends in ".xml", so the list never removes them.
    produced.insert(produced.end(), feedIndex.written.begin(), feedIndex.written.end());
    FeedCleanup cleanup = updatePublishedFeeds(outputPath, std::move(produced));
    outcome.removedFeeds = std::move(cleanup.removed);
    outcome.cleanupProblems = std::move(cleanup.problems);
    return outcome;
}

} // namespace yf
