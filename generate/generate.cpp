#include "generate/generate.h"

#include "feed/file_lister.h"

#include "feed/base_url.h"
#include "feed/feed_names.h"
#include "feed/feed_writer.h"
#include "generate/look_ahead.h"
#include "runtime/atomic_file.h"
#include "runtime/file_system.h"
#include "scan/folder_scan.h"

#include <memory>

namespace yf {

namespace {

// How far the helpers may run ahead of the feed being put in place: enough to keep them
// busy through a slow write, little enough that the texts held stay small.
constexpr qsizetype kFeedsAhead = 16;

// A folder that vanished, was swapped for a link or lost its permissions since the scan gets
// no feed, like one the scan could not list; a failure on the output side stops the run.
bool isUnreadableFolder(const Error &error)
{
    return error.kind == ErrorKind::ListFolder && fs::isUnreadableFolderError(error.osError);
}

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
    // An output directory inside the input tree is not scanned: its feeds are no episodes.
    FolderArray folders;
    if (Status scanned = spanFolders(inputPath + '/', QByteArrayLiteral("*.*"), folders, observer,
                                     &outcome.skipped, fs::folderId(outputPath), request.helperThreads);
        !scanned.ok()) {
        outcome.error = scanned.error();
        return outcome;
    }
    if (observer)
        observer->scanned();

    // All names first, so that folders whose names meet each get a feed of their own.
    const FeedNames names(folders, inputPath.size(), fileNameLimit(outputPath));
    const FeedInputs feedInputs{inputPath, fs::encodePath(request.linkEntry), outputPath, baseUrl.value()};
    qsizetype total = static_cast<qsizetype>(folders.size()) - 1;
    if (total > 0)
        removeStaleTemporaryFiles(outputPath);
    if (observer)
        observer->feedWritten(0, total);

    // Helpers list the next folders and make their feeds; this thread puts each feed in place
    // in folder order and decides, as a run on one thread would, what a result means.
    const int helpers = request.helperThreads;
    std::vector<std::unique_ptr<FeedWriter>> makers;  // a writer keeps per-run caches: one per thread
    std::vector<FileLister> listers(static_cast<std::size_t>(LookAhead::workersFor(helpers)));
    for (int worker = 0; worker < LookAhead::workersFor(helpers); ++worker)
        makers.push_back(std::make_unique<FeedWriter>(feedInputs));
    FeedWriter writer(feedInputs);
    // Each feed is made and readied (compared with its file, or written beside it) ahead; a
    // feed readied but never put in place, when the run stops, leaves no file behind.
    LookAhead ahead(
        1, static_cast<qsizetype>(folders.size()), helpers, kFeedsAhead,
        [&](int worker, qsizetype index, LookAhead::Slot &slot) {
            FileLister &lister = listers[static_cast<std::size_t>(worker)];
            FeedWriter &maker = *makers[static_cast<std::size_t>(worker)];
            const QByteArray name = names.name(static_cast<std::size_t>(index));
            slot.inPlace = false;
            slot.readied.clear();
            slot.status = maker.makeFeed(folders[static_cast<std::size_t>(index)], lister, name, slot.text);
            if (slot.status.ok())
                maker.readyFeed(name, slot.text, slot.inPlace, slot.readied);
        },
        [](LookAhead::Slot &slot) { discardTemporaryFile(slot.readied); });
    for (qsizetype index = 1; index < static_cast<qsizetype>(folders.size()); ++index) {
        if (observer && observer->cancelRequested()) {
            outcome.error = Error::cancelled();
            return outcome;
        }
        LookAhead::Slot &made = ahead.take(index);
        const Status written = made.status.ok()
            ? writer.placeFeed(names.name(static_cast<std::size_t>(index)), made.text, made.inPlace, made.readied)
            : made.status;
        outcome.lastFeedAtSecs = clock.nowSecs();
        if (!written.ok() && isUnreadableFolder(written.error())) {
            outcome.skipped.push_back(written.error());
            --total;  // no feed for it: the rest still count towards the end
            if (observer)
                observer->feedWritten(outcome.feedsWritten, total);
            continue;
        }
        if (!written.ok()) {
            outcome.error = written.error();
            return outcome;
        }
        ++outcome.feedsWritten;
        if (observer)
            observer->feedWritten(outcome.feedsWritten, total);
    }
    return outcome;
}

} // namespace yf
