#include "generate/generate.h"

#include "feed/base_url.h"
#include "feed/feed_names.h"
#include "feed/feed_writer.h"
#include "generate/look_ahead.h"
#include "runtime/atomic_file.h"
#include "runtime/file_system.h"
#include "settings/ini_file.h"

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

RunOutcome generateFeeds(const RunInputs &inputs, RunState &state, const Clock &clock,
                         RunObserver *observer)
{
    RunOutcome outcome;
    state.List1.clear();

    const Result<BaseUrl> baseUrl = parseBaseUrl(inputs.baseUrl);
    if (!baseUrl.ok()) {
        outcome.error = baseUrl.error();
        return outcome;
    }

    if (!inputs.inputDir.startsWith(QLatin1Char('/'))) {
        outcome.error = Error{ErrorKind::BadInput, QStringLiteral("The input directory is not an absolute path"),
                              inputs.inputDir, {}, 0};
        return outcome;
    }
    // The root keeps its doubled separator: "/" scans "//".
    const QByteArray inputPath = fs::encodePath(inputs.inputDir);
    const QByteArray outputPath = fs::encodePath(inputs.outputDir);
    // An output directory inside the input tree is not scanned: its feeds are no episodes.
    if (Status scanned = spanFolders(inputPath + '/', QByteArrayLiteral("*.*"), state.foundFolders, observer,
                                     &outcome.skipped, fs::folderId(outputPath), inputs.helperThreads);
        !scanned.ok()) {
        outcome.error = scanned.error();
        return outcome;
    }
    for (const QByteArray &folder : state.foundFolders)
        state.List1.addItem(folder);

    Status stored = WriteIniValue(QStringLiteral("RESTORE"), QStringLiteral("InputDir"), inputs.inputDir,
                                  inputs.settingsPath);
    if (stored.ok())
        stored = WriteIniValue(QStringLiteral("RESTORE"), QStringLiteral("OutputDir"), inputs.outputDir,
                               inputs.settingsPath);
    if (stored.ok()) {
        stored = inputs.baseUrl == inputs.defaultBaseUrl
            ? RemoveIniValue(QStringLiteral("RESTORE"), QStringLiteral("BaseUrl"), inputs.settingsPath)
            : WriteIniValue(QStringLiteral("RESTORE"), QStringLiteral("BaseUrl"), inputs.baseUrl,
                            inputs.settingsPath);
    }
    if (!stored.ok())
        outcome.settingsError = stored.error();

    // All names first, so that folders whose names meet each get a feed of their own.
    const FeedNames names(state.foundFolders, inputPath.size(), fileNameLimit(outputPath));
    const FeedInputs feedInputs{inputPath, fs::encodePath(inputs.highlightedEntry), outputPath, baseUrl.value()};
    qsizetype total = state.List1.listCount() - 1;
    if (total > 0)
        removeStaleTemporaryFiles(outputPath);
    if (observer)
        observer->feedWritten(0, total);

    // Helpers list the next folders and make their feeds; this thread puts each feed in place
    // in folder order and decides, as a run on one thread would, what a result means.
    const int helpers = inputs.helperThreads;
    std::vector<std::unique_ptr<FeedWriter>> makers;  // a writer keeps per-run caches: one per thread
    std::vector<FileLister> listers(static_cast<std::size_t>(LookAhead::workersFor(helpers)) - 1);
    for (int worker = 0; worker < LookAhead::workersFor(helpers); ++worker)
        makers.push_back(std::make_unique<FeedWriter>(feedInputs));
    FeedWriter writer(feedInputs);
    // Each feed is prepared (compared with its file, or written beside it) ahead. At most
    // kFeedsAhead items past the one taken exist at a time, so item i keeps its feed at
    // i % kFeedsAhead; a feed prepared but never committed, when the run stops, is dropped
    // with this list and leaves no file behind.
    std::vector<PreparedFeed> prepared(static_cast<std::size_t>(kFeedsAhead));
    const auto preparedFor = [&prepared](qsizetype index) -> PreparedFeed & {
        return prepared[static_cast<std::size_t>(index % kFeedsAhead)];
    };
    LookAhead ahead(
        1, state.List1.listCount(), helpers, kFeedsAhead,
        [&](int worker, qsizetype index, LookAhead::Slot &slot) {
            FileLister &lister = worker == 0 ? state.File1 : listers[static_cast<std::size_t>(worker) - 1];
            FeedWriter &maker = *makers[static_cast<std::size_t>(worker)];
            PreparedFeed &earlier = preparedFor(index);  // committed, or not made
            maker.reuse(std::move(earlier));
            Result<PreparedFeed> feed = maker.prepare(state.List1.list(index), names.name(static_cast<std::size_t>(index)), lister);
            slot.status = feed.ok() ? Status() : Status(feed.error());
            earlier = feed.ok() ? std::move(feed).value() : PreparedFeed();
        });
    for (qsizetype index = 1; index < state.List1.listCount(); ++index) {
        if (observer && observer->cancelRequested()) {
            outcome.error = Error{ErrorKind::Cancelled, QStringLiteral("Cancelled"), {}, {}, 0};
            return outcome;
        }
        LookAhead::Slot &made = ahead.take(index);
        const Status written = made.status.ok() ? writer.commit(preparedFor(index)) : made.status;
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

void beginGenerateCommand(GenerateHost &host)
{
    bool status = false;
    host.ItemsStatus(status);
}

void finishGenerateCommand(GenerateHost &host, const RunOutcome &outcome)
{
    host.reportOutcome(outcome);
    bool status = true;
    host.ItemsStatus(status);
}

void runGenerateCommand(GenerateHost &host, const RunInputs &inputs, RunState &state,
                        const Clock &clock, RunObserver *observer)
{
    beginGenerateCommand(host);
    finishGenerateCommand(host, generateFeeds(inputs, state, clock, observer));
}

QString completeMessage(qsizetype feedCount)
{
    return QStringLiteral("\"%1\" XML files generated.").arg(feedCount);
}

QString cancelledMessage(qsizetype feedCount)
{
    return QStringLiteral("\"%1\" XML files generated before the run was cancelled.").arg(feedCount);
}

QString failureMessage(const Error &error, qsizetype feedsWritten)
{
    return QStringLiteral("%1\n\n%2 feed file(s) were written before the run stopped.")
        .arg(error.message())
        .arg(feedsWritten);
}

} // namespace yf
