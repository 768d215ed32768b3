// How a run's outcome reads on a terminal or in a log: the lines, where they go, the exit status.
#pragma once

#include "generate/generate.h"

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
// and a settings file that could not be written add a line on standard error.
// `stopSignal` is the signal that asked the run to stop, 0 when none did; a cancelled run
// exits with 128 + that signal. A run input refused before anything ran is a usage error.
Report reportRun(const RunOutcome &outcome, int stopSignal, bool quiet);

// A usage mistake: the sentence and where to look, exit status 2.
Report usageReport(const QString &sentence);

// Writes the report's lines to standard output and standard error.
void print(const Report &report);

} // namespace yf::cli
