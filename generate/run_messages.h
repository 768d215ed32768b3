// The words a run's progress and end are shown with, the same in the window and on a terminal.
#pragma once

#include "runtime/error.h"

#include <QString>

namespace yf {

// "Scanning folders… N found", N counting the input directory itself.
QString scanningText(qsizetype found);

// "Writing feeds… k of N".
QString writingText(qsizetype written, qsizetype total);

// "\"N\" XML files generated."
QString completeMessage(qsizetype feedCount);

// "\"N\" XML files generated before the run was cancelled."
QString cancelledMessage(qsizetype feedCount);

// "Removed old feed \"PATH\"": one line for an earlier feed a run removed.
QString removedFeedLine(const QString &path);

// "Index page: PATH", followed by " (ADDRESS)" when a web server's address for it is known.
QString indexPageLine(const QString &path, const QString &address);

// What the user reads when a run stopped on an error: what failed and what was done before.
QString failureMessage(const Error &error, qsizetype feedsWritten);

} // namespace yf
