#include "cli/report.h"

#include "cli/stop_signals.h"
#include "generate/run_messages.h"
#include "runtime/clock.h"
#include "settings/stored_run.h"

#include <csignal>
#include <cstdio>

namespace yf::cli {

Report reportRun(const RunOutcome &outcome, const std::optional<Error> &storeError, int stopSignal, bool quiet)
{
    Report report;
    for (const Error &skipped : outcome.skipped)
        report.err << QStringLiteral("Skipped: ") + skipped.message();
    for (const QString &removed : outcome.removedFeeds)
        report.err << removedFeedLine(removed);
    for (const Error &problem : outcome.cleanupProblems)
        report.err << QStringLiteral("Warning: ") + problem.message();
    for (const Error &problem : outcome.indexProblems)
        report.err << QStringLiteral("Warning: ") + problem.message();
    // A run stores all its values in one step, so none of them was kept.
    if (storeError)
        report.err << QStringLiteral("Warning: the directories, base URL and tags setting were not remembered: ")
                          + storeError->message();

    if (outcome.finished()) {
        if (!quiet) {
            report.out << completeMessage(outcome.feedsWritten);
            if (!outcome.indexPage.isEmpty())
                report.out << indexPageLine(outcome.indexPage, outcome.indexAddress);
        }
        return report;
    }
    if (outcome.cancelled()) {
        report.err << cancelledMessage(outcome.feedsWritten);
        // Only a signal cancels a run here; should the core stop on its own, say "interrupted".
        report.exitStatus = exitStatusFor(stopSignal != 0 ? stopSignal : SIGINT);
        return report;
    }
    const Error &error = *outcome.error;
    if (error.kind == ErrorKind::BadInput && outcome.feedsWritten == 0) {
        Report usage = usageReport(error.message());
        usage.err = report.err + usage.err;
        return usage;
    }
    report.err << failureMessage(error, outcome.feedsWritten);
    report.exitStatus = ExitFailed;
    return report;
}

namespace {

template <typename Generate>
Report storeRunAndReport(const CommandLineRun &run, CommandLineObserver &observer, bool quiet, Generate &&generate)
{
    const RunRequest &request = run.request;
    StoreWhenScanned storing(observer, run.settingsPath,
                             StoredRun{request.inputDir, request.outputDir, request.baseUrl, request.readTags},
                             run.defaultBaseUrl);
    // Full runs and updates alike tell of their scan, and the values are stored then.
    const RunOutcome outcome = generate(&storing);
    observer.clear();
    return reportRun(outcome, storing.storeError(), stopSignal(), quiet);
}

} // namespace

Report runAndReport(const CommandLineRun &run, CommandLineObserver &observer, bool quiet)
{
    const SystemClock clock;
    return storeRunAndReport(run, observer, quiet,
                             [&](RunObserver *storing) { return generateFeeds(run.request, clock, storing); });
}

Report runAndReport(const CommandLineRun &run, IncrementalRun &engine, const TreeChangeList *changes,
                    CommandLineObserver &observer, bool quiet)
{
    return storeRunAndReport(run, observer, quiet, [&](RunObserver *storing) {
        return changes ? engine.update(*changes, storing) : engine.fullRun(storing);
    });
}

Report usageReport(const QString &sentence)
{
    Report report;
    report.exitStatus = ExitUsage;
    report.err << QStringLiteral("yarrowfeed: ") + sentence
               << QStringLiteral("Try 'yarrowfeed --help' for the options.");
    return report;
}

void print(const Report &report)
{
    for (const QString &line : report.out)
        std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
    for (const QString &line : report.err)
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

} // namespace yf::cli
