#include "generate/feed_pass.h"

#include "fast/ordered_work.h"
#include "feed/file_lister.h"
#include "generate/published_feeds.h"
#include "runtime/file_system.h"

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

Result<RunPaths> checkRunRequest(const RunRequest &request)
{
    const Result<BaseUrl> baseUrl = parseBaseUrl(request.baseUrl);
    if (!baseUrl.ok())
        return baseUrl.error();
    if (!request.inputDir.startsWith(QLatin1Char('/'))) {
        return Error::failure(ErrorKind::BadInput, QStringLiteral("The input directory is not an absolute path"),
                              request.inputDir);
    }
    return RunPaths{baseUrl.value(), fs::encodePath(request.inputDir), fs::encodePath(request.outputDir),
                    fs::encodePath(request.linkEntry)};
}

std::optional<Error> makeFeeds(const FeedInputs &inputs, fast::HelperThreads &helpers,
                               const FolderPaths &folders, const FeedNames &names,
                               const std::vector<qsizetype> &indices, const Clock &clock, RunObserver *observer,
                               qint64 &lastFeedAtSecs, const FeedReport &report)
{
    // Helpers list the next folders, make their feeds and ready them beside their files; this
    // thread puts each in place in folder order and decides, as a run on one thread would,
    // what a result means.
    std::vector<std::unique_ptr<FeedMaker>> makers;
    for (int worker = 0; worker < helpers.workers(); ++worker)
        makers.push_back(std::make_unique<FeedMaker>(inputs));
    const FeedWriter writer(inputs);
    const auto count = static_cast<qsizetype>(indices.size());
    fast::OrderedWork<MadeFeed> ahead(helpers, 0, count, kFeedsAhead, [&](int worker, qsizetype k) {
        const auto at = static_cast<std::size_t>(indices[static_cast<std::size_t>(k)]);
        return MadeFeed{worker, makers[static_cast<std::size_t>(worker)]->prepare(folders.path(at), names.name(at))};
    });
    for (qsizetype k = 0; k < count; ++k) {
        if (observer && observer->cancelRequested())
            return Error::cancelled();
        MadeFeed made = ahead.take(k);
        Status written = made.feed.ok() ? Status() : Status(made.feed.error());
        FeedDone done;
        if (made.feed.ok()) {
            PreparedFeed feed = std::move(made.feed).value();
            written = writer.commit(feed);
            done = FeedDone{feed.fileName(), feed.episodeCount(), feed.newestEpisodeSecs()};
            makers[static_cast<std::size_t>(made.worker)]->giveBack(std::move(feed));
        }
        lastFeedAtSecs = clock.nowSecs();
        if (!written.ok() && !costsOnlyThisFeed(written.error()))
            return written.error();
        const qsizetype index = indices[static_cast<std::size_t>(k)];
        if (written.ok())
            report(index, std::move(done));
        else
            report(index, written.error());
    }
    return std::nullopt;
}

FinishedIndex finishRun(const RunPaths &paths, std::vector<IndexEntry> listed, RunOutcome &outcome,
                        const std::vector<QByteArray> *sameList)
{
    std::vector<QByteArray> produced;
    produced.reserve(listed.size() + 2);
    for (const IndexEntry &entry : listed)
        produced.push_back(entry.fileName);
    FeedIndex feedIndex = writeFeedIndex(paths.outputPath,
                                         feedsAddress(paths.baseUrl, paths.linkEntry, paths.outputPath),
                                         std::move(listed));
    outcome.indexPage = std::move(feedIndex.pagePath);
    outcome.indexAddress = std::move(feedIndex.pageAddress);
    outcome.indexProblems = std::move(feedIndex.problems);
    FinishedIndex finished{feedIndex.written, std::move(feedIndex.order), feedIndex.pageFile, feedIndex.opmlFile, {}};
    if (sameList && *sameList == feedIndex.written)
        return finished;  // nothing to remove, and the list holds these names already
    // Listed as this run's own; no name of theirs ends in ".xml", so the list never removes them.
    produced.insert(produced.end(), feedIndex.written.begin(), feedIndex.written.end());
    FeedCleanup cleanup = updatePublishedFeeds(paths.outputPath, std::move(produced));
    outcome.removedFeeds = std::move(cleanup.removed);
    outcome.cleanupProblems = std::move(cleanup.problems);
    finished.listFile = cleanup.listFile;
    return finished;
}

} // namespace yf
