// --watch: a run now, then a run whenever the input tree has changed and then stayed quiet.
#pragma once

#include "cli/options.h"

namespace yf::cli {

// Runs once, then watches every folder of the input tree (never the output directory) and
// runs again once no change has come for `settleSeconds`. One run at a time; a change
// during a run leads to one more run after it. Each run prints one line with the time and
// its count (none when `quiet`). Returns the exit status: 128 + the signal once SIGINT or
// SIGTERM ends it, 1 when the tree cannot be watched or the input directory goes away.
int watchFeeds(const CommandLineRun &run, double settleSeconds, bool quiet);

} // namespace yf::cli
