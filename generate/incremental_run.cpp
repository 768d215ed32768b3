#include "generate/incremental_run.h"

#include "fast/ordered_work.h"
#include "feed/feed_names.h"
#include "feed/feed_text.h"
#include "generate/feed_pass.h"
#include "generate/index_patch.h"
#include "generate/kept_tree.h"
#include "runtime/atomic_file.h"
#include "runtime/file_system.h"

#include <algorithm>
#include <numeric>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace yf {

namespace {

// Below this many feeds to make, starting helper threads costs more than they save.
constexpr std::size_t kFeedsForHelpers = 8;

// What a folder's feed came to at its last making.
struct FeedState {
    qint64 newestEpisodeSecs = 0;
    qint32 episodes = 0;
    bool written = false;  // put in place, or found unchanged
};

using SuffixedNames = std::vector<std::pair<std::size_t, QByteArray>>;

// The ending name `names` (by ascending index) gave folder `index`, empty for a plain one.
QByteArray suffixedName(const SuffixedNames &names, std::size_t index)
{
    const auto at = std::lower_bound(names.begin(), names.end(), index,
                                     [](const auto &entry, std::size_t value) { return entry.first < value; });
    return at != names.end() && at->first == index ? at->second : QByteArray();
}

QByteArray asFolderPath(QByteArray path)
{
    if (!path.endsWith('/'))
        path.append('/');
    return path;
}

// A watcher sleeps between runs holding only what it kept: the megabytes a run's texts and
// lists took go back to the system instead of staying in the allocator's free lists.
void releaseFreedMemory()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

} // namespace

// What an update needs from the last run: the tree, every listed folder's feed name and what
// its feed came to, and the feeds that could not be made, which every update tries again.
struct IncrementalRun::Kept {
    RunPaths paths;
    qsizetype nameMax = 255;
    KeptTree tree;
    std::unique_ptr<FeedNames> names;  // over tree.listed()
    std::vector<FeedState> feeds;      // by listed place
    std::vector<std::pair<qint32, Error>> feedSkips;  // by ascending listed place
    // The index files the output directory's list of feeds names beside the feeds, when that
    // list is known to name exactly the feeds kept here and nothing else; none otherwise.
    std::optional<std::vector<QByteArray>> listedIndexFiles;
    std::optional<FileIdentity> listFile;  // what that list's file was when last stored or found
    KeptIndexFiles index;  // known when index.pageFile is
};

IncrementalRun::IncrementalRun(RunRequest request, const Clock &clock)
    : m_request(std::move(request)), m_clock(clock)
{
}

IncrementalRun::~IncrementalRun() = default;

RunOutcome IncrementalRun::fullRun(RunObserver *observer)
{
    m_kept.reset();
    RunOutcome outcome;
    Result<RunPaths> checked = checkRunRequest(m_request);
    if (!checked.ok()) {
        outcome.error = checked.error();
        return outcome;
    }
    auto kept = std::make_unique<Kept>();
    kept->paths = std::move(checked).value();
    const RunPaths &paths = kept->paths;
    // An output directory inside the input tree is not scanned: its feeds are no episodes.
    {
        fast::HelperThreads helpers(m_request.helperThreads);
        if (Status scanned =
                kept->tree.scanAll(paths.inputPath + '/', fs::folderId(paths.outputPath), observer, &helpers);
            !scanned.ok()) {
            outcome.error = scanned.error();
            return outcome;
        }
    }
    if (observer)
        observer->scanned();
    kept->nameMax = fileNameLimit(paths.outputPath);
    kept->names = std::make_unique<FeedNames>(kept->tree.listed(), paths.inputPath.size(), kept->nameMax);
    kept->feeds.assign(kept->tree.count(), FeedState());
    std::vector<qsizetype> every(kept->feeds.size() - 1);
    std::iota(every.begin(), every.end(), 1);
    if (!every.empty())
        removeStaleTemporaryFiles(paths.outputPath);
    return makeFeedsAndFinish(std::move(kept), every, true, observer, std::move(outcome));
}

// The listed places to make again: those of `remake`, every one that could not be made last
// time, and those of the folders `changes` names.
std::vector<qsizetype> IncrementalRun::dueOf(std::vector<char> &remake, const TreeChangeList &changes, Kept &kept,
                                             RunObserver *observer)
{
    kept.feedSkips.clear();  // every one is made again
    for (const QByteArray &folder : changes.folders) {
        const qint32 at = kept.tree.find(asFolderPath(folder));
        if (at >= 0 && kept.tree.folders()[static_cast<std::size_t>(at)].listed > 0)
            remake[static_cast<std::size_t>(kept.tree.folders()[static_cast<std::size_t>(at)].listed)] = 1;
    }
    if (observer)
        observer->scanned();
    std::vector<qsizetype> due;
    for (std::size_t j = 1; j < remake.size(); ++j) {
        if (remake[j])
            due.push_back(static_cast<qsizetype>(j));
    }
    return due;
}

bool IncrementalRun::ready() const { return m_kept != nullptr; }

RunOutcome IncrementalRun::update(const TreeChangeList &changes, RunObserver *observer)
{
    if (!m_kept)
        return fullRun(observer);
    std::unique_ptr<Kept> kept = std::move(m_kept);  // forgotten unless this update finishes
    RunOutcome outcome;
    std::vector<char> remake;  // by listed place
    if (changes.subtrees.empty()) {
        remake.assign(kept->feeds.size(), 0);
        for (const auto &[at, error] : kept->feedSkips)
            remake[static_cast<std::size_t>(at)] = 1;
    } else {
        const SuffixedNames oldNames = kept->names->suffixed();
        kept->names.reset();  // it reads the listed paths, which change now
        Result<Relisted> relisted = kept->tree.relist(changes.subtrees, fs::folderId(kept->paths.outputPath), observer);
        if (!relisted.ok()) {
            outcome.error = relisted.error();
            return outcome;
        }
        const std::vector<qint32> &was = relisted.value().was;
        // A new folder can take another's name, or give one back: every name is settled again.
        kept->names = std::make_unique<FeedNames>(kept->tree.listed(), kept->paths.inputPath.size(), kept->nameMax);
        std::vector<FeedState> feeds(was.size());
        std::vector<qint32> nowAt(kept->feeds.size(), -1);
        remake.assign(was.size(), 0);
        for (std::size_t j = 0; j < was.size(); ++j) {
            if (was[j] < 0) {
                remake[j] = 1;
                continue;
            }
            feeds[j] = kept->feeds[static_cast<std::size_t>(was[j])];
            nowAt[static_cast<std::size_t>(was[j])] = static_cast<qint32>(j);
        }
        for (const auto &[at, error] : kept->feedSkips) {
            if (const qint32 j = nowAt[static_cast<std::size_t>(at)]; j >= 0)
                remake[static_cast<std::size_t>(j)] = 1;
        }
        for (const auto &[j, name] : kept->names->suffixed()) {
            if (was[j] >= 0 && suffixedName(oldNames, static_cast<std::size_t>(was[j])) != name)
                remake[j] = 1;
        }
        for (const auto &[old, name] : oldNames) {
            if (const qint32 j = nowAt[old]; j >= 0 && suffixedName(kept->names->suffixed(), std::size_t(j)) != name)
                remake[static_cast<std::size_t>(j)] = 1;
        }
        kept->feeds = std::move(feeds);
        const qsizetype inputLength = kept->paths.inputPath.size();
        const KeptTree &tree = kept->tree;
        // A folder carried on has the path it had; one left has its old path kept.
        const auto oldFileName = [&, inputLength](qint32 place) {
            QByteArray name = suffixedName(oldNames, static_cast<std::size_t>(place));
            if (name.isEmpty()) {
                const qint32 now = nowAt[static_cast<std::size_t>(place)];
                name = feedtext::feedName(now >= 0 ? tree.path(static_cast<std::size_t>(now))
                                                   : relisted.value().leftPath(place),
                                          inputLength);
            }
            return name + ".xml";
        };
        std::vector<qsizetype> due = dueOf(remake, changes, *kept, observer);
        return makeFeedsAndFinish(std::move(kept), due, false, observer, std::move(outcome), &nowAt, oldFileName);
    }
    std::vector<qsizetype> due = dueOf(remake, changes, *kept, observer);
    return makeFeedsAndFinish(std::move(kept), due, false, observer, std::move(outcome));
}

RunOutcome IncrementalRun::makeFeedsAndFinish(std::unique_ptr<Kept> kept, const std::vector<qsizetype> &remake,
                                              bool wholeTree, RunObserver *observer, RunOutcome outcome,
                                              const std::vector<qint32> *nowAt,
                                              const std::function<QByteArray(qint32)> &oldFileName)
{
    const RunPaths &paths = kept->paths;
    std::vector<FeedState> &feeds = kept->feeds;
    // Read on this thread before any helper asks it; stored when the run ends, however it ends.
    std::optional<TagSource> tags;
    if (m_request.readTags)
        tags.emplace(m_request.tagCacheFile, paths.inputPath);
    const FeedInputs inputs{paths.inputPath, paths.linkEntry, paths.outputPath, paths.baseUrl,
                            tags ? &*tags : nullptr};
    fast::HelperThreads helpers(remake.size() >= kFeedsForHelpers ? m_request.helperThreads : 0);

    // Progress counts the whole tree's feeds, as a full run does.
    qsizetype total = static_cast<qsizetype>(feeds.size()) - 1;
    qsizetype written = total - static_cast<qsizetype>(remake.size());
    if (observer)
        observer->feedWritten(0, total);
    std::vector<std::pair<qint32, Error>> skips;
    bool cameOrWent = nowAt != nullptr;  // names may have changed
    const std::optional<Error> stopped =
        makeFeeds(inputs, helpers, kept->tree.listed(), *kept->names, remake, m_clock, observer,
                  outcome.lastFeedAtSecs, [&](qsizetype index, const Result<FeedDone> &made) {
                      FeedState &state = feeds[static_cast<std::size_t>(index)];
                      if (made.ok() != state.written)
                          cameOrWent = true;
                      if (made.ok()) {
                          state = FeedState{made.value().newestEpisodeSecs,
                                            static_cast<qint32>(made.value().episodes), true};
                          ++written;
                      } else {
                          state = FeedState();
                          skips.emplace_back(static_cast<qint32>(index), made.error());
                          --total;
                      }
                      if (observer)
                          observer->feedWritten(written, total);
                  });
    if (tags) {
        // An update met only some folders: the others' tags stay in the cache as they were.
        outcome.tagCacheProblem = tags->finish(wholeTree && !stopped);
        outcome.tagFiles = tags->counts();
    }
    if (stopped) {
        outcome.error = *stopped;
        return outcome;
    }
    if (remake.empty() && !wholeTree)
        outcome.lastFeedAtSecs = m_clock.nowSecs();
    kept->feedSkips = std::move(skips);
    outcome.feedsWritten = written;
    kept->tree.appendSkips(outcome.skipped);
    for (const auto &[at, error] : kept->feedSkips)
        outcome.skipped.push_back(error);
    finishIndex(*kept, remake, wholeTree, outcome, cameOrWent, nowAt, oldFileName);
    m_kept = std::move(kept);
    releaseFreedMemory();
    return outcome;
}

void IncrementalRun::finishIndex(Kept &kept, const std::vector<qsizetype> &remade, bool wholeTree,
                                 RunOutcome &outcome, bool feedsCameOrWent, const std::vector<qint32> *nowAt,
                                 const std::function<QByteArray(qint32)> &oldFileName)
{
    const RunPaths &paths = kept.paths;
    const std::vector<FeedState> &feeds = kept.feeds;
    // The feed's name is its title, and its file name without ".xml".
    const auto entryAt = [&](qint32 place) {
        const FeedState &feed = feeds[static_cast<std::size_t>(place)];
        const QByteArray name = kept.names->name(static_cast<std::size_t>(place));
        return IndexEntry{name + ".xml", name, feed.episodes, feed.newestEpisodeSecs, place};
    };
    const std::optional<QByteArray> address = feedsAddress(paths.baseUrl, paths.linkEntry, paths.outputPath);
    // The list is taken as it was left only while its file is the one left: one removed or
    // edited since is put right at once, not when the feeds next change.
    std::optional<std::vector<QByteArray>> sameList = std::exchange(kept.listedIndexFiles, std::nullopt);
    if (!kept.listFile || fileIdentity(paths.outputPath + '/' + kPublishedFeedsFile) != kept.listFile)
        sameList.reset();
    std::optional<PatchedIndex> patched;
    if (!wholeTree && kept.index.pageFile) {
        std::vector<char> remadeAt(feeds.size(), 0);
        IndexChange change{nowAt, &remadeAt, {}, entryAt, {}};
        for (const qsizetype j : remade) {
            remadeAt[static_cast<std::size_t>(j)] = 1;
            if (feeds[static_cast<std::size_t>(j)].written)
                change.written.push_back(static_cast<qint32>(j));
        }
        change.oldFileName = oldFileName ? oldFileName : [&](qint32 place) { return entryAt(place).fileName; };
        patched = patchFeedIndex(paths.outputPath, address, kept.index, change);
    }
    kept.index = KeptIndexFiles();
    if (!patched) {
        // The whole way: every entry rendered, and the files compared and replaced as they are found.
        std::vector<IndexEntry> listed;
        listed.reserve(static_cast<std::size_t>(outcome.feedsWritten));
        for (std::size_t j = 1; j < feeds.size(); ++j) {
            if (feeds[j].written)
                listed.push_back(entryAt(static_cast<qint32>(j)));
        }
        const bool listMayStay = sameList && !feedsCameOrWent;
        FinishedIndex finished = finishRun(paths, std::move(listed), outcome, listMayStay ? &*sameList : nullptr);
        kept.index = KeptIndexFiles{std::move(finished.order), address, finished.pageFile, finished.opmlFile};
        if (!(listMayStay && *sameList == finished.written))  // else the list was left as it was
            kept.listFile = finished.listFile;
        if (outcome.cleanupProblems.empty())
            kept.listedIndexFiles = std::move(finished.written);
        return;
    }
    FeedIndex &index = patched->index;
    outcome.indexPage = std::move(index.pagePath);
    outcome.indexAddress = std::move(index.pageAddress);
    outcome.indexProblems = std::move(index.problems);
    kept.index = KeptIndexFiles{std::move(index.order), address, index.pageFile, index.opmlFile};
    const bool listIsKnown = sameList && *sameList == index.written;
    if (listIsKnown && patched->came.empty() && patched->gone.empty()) {
        kept.listedIndexFiles = std::move(index.written);  // the list holds these names already
        return;
    }
    std::optional<FeedCleanup> cleanup;
    if (listIsKnown)
        cleanup = updatePublishedFeedsBy(paths.outputPath, *kept.listFile, patched->came, patched->gone);
    if (!cleanup) {
        std::vector<QByteArray> produced = index.written;
        for (const IndexPlace &entry : kept.index.order)
            produced.push_back(entryAt(entry.place).fileName);
        cleanup = updatePublishedFeeds(paths.outputPath, std::move(produced));
    }
    outcome.removedFeeds = std::move(cleanup->removed);
    outcome.cleanupProblems = std::move(cleanup->problems);
    kept.listFile = cleanup->listFile;
    if (outcome.cleanupProblems.empty())
        kept.listedIndexFiles = std::move(index.written);
}

std::size_t IncrementalRun::keptBytes() const
{
    if (!m_kept)
        return 0;
    std::size_t total = sizeof(Kept) + m_kept->tree.bytes() + m_kept->feeds.capacity() * sizeof(FeedState)
        + m_kept->feedSkips.capacity() * sizeof(std::pair<qint32, Error>)
        + m_kept->index.order.capacity() * sizeof(IndexPlace);
    for (const auto &[at, name] : m_kept->names->suffixed())
        total += sizeof(std::pair<std::size_t, QByteArray>) + static_cast<std::size_t>(name.capacity());
    return total;
}

} // namespace yf
