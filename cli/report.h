// How a run's outcome reads on a terminal or in a log: the lines, where they go, the exit status.
#pragma once

#include "cli/options.h"
#include "cli/progress.h"
#include "generate/generate.h"
#include "generate/incremental_run.h"
#include "runtime/error.h"

#include <optional>

#include <QStringList>

namespace yf::cli {

enum ExitStatus { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

struct Report {
    int exitStatus = ExitOk;
    QStringList out;  // standard output
    QStringList err;  // standard error
};

// The window's texts, one line or block each: the count on success (none when `quiet`),
// the cancel note, or the failure with what was written before it. Each skipped folder
// and `storeError`, why the settings could not be written, add a line on standard error, as
// do each old feed the run removed and each reason old feeds may have stayed.
// A finished run's count is followed by the index page's line, unless `quiet`; why the index
// page or OPML file was not written goes to standard error.
// `stopSignal` is the signal that asked the run to stop, 0 when none did; a cancelled run
// exits with 128 + that signal. A run input refused before anything ran is a usage error.
Report reportRun(const RunOutcome &outcome, const std::optional<Error> &storeError, int stopSignal, bool quiet);

// Runs `run` with the system clock, storing its directories and base URL once the scan has
// succeeded, and reports it with the signal that stopped it, if any.
Report runAndReport(const CommandLineRun &run, CommandLineObserver &observer, bool quiet);

// The same through a watcher's `engine`: an update with `changes`, or a full run when there are
// none. The settings are stored as by a full run, also when an update scans nothing.
Report runAndReport(const CommandLineRun &run, IncrementalRun &engine, const TreeChangeList *changes,
                    CommandLineObserver &observer, bool quiet);

// A usage mistake: the sentence and where to look, exit status 2.
Report usageReport(const QString &sentence);

// Writes the report's lines to standard output and standard error.
void print(const Report &report);

} // namespace yf::cli
