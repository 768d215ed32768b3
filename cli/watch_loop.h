// --watch: a run now, then a run whenever the input tree has changed and then stayed quiet.
#pragma once

#include "cli/options.h"
#include "cli/tree_watcher.h"

namespace yf::cli {

// How the watcher reaches the system's watches; tests replace them to meet the limit.
struct WatchSystem {
    TreeWatcher::AddWatch addWatch;  // empty: inotify_add_watch
    QString limitFile = TreeWatcher::systemLimitFile();
};

// How often the watcher runs: after `settleSeconds` of quiet, and a full run at least every
// `fullEveryMinutes` (0: only when the events cannot be trusted).
struct WatchPacing {
    double settleSeconds = 5;
    double fullEveryMinutes = 60;
};

// Runs once, then watches every folder of the input tree (never the output directory) and
// runs again once no change has come for the settle time, or at the latest 10 such periods
// (at most a minute) after the first change of a burst that never settles. One run at a
// time; a change during a run leads to one more run after it. A run after the first redoes
// only what the events name, unless they cannot be trusted (events or a watch lost, the
// input directory itself changed), the output directory went, the settings file was changed
// by someone else, the last run failed, or a full run is due by the pacing: then it is a full
// one. After a failed run it tries again every settle period until one succeeds, also when
// the output directory went and came back. Each run prints its lines with the time (the
// count none when `quiet`); a failure the same as the last one is not printed again; which
// kind of run it is, and why, is logged in the category "yarrowfeed.watch" at debug level. Returns the exit status: 128 + the
// signal once a stop signal ends it; 1 when the tree cannot be watched, the input directory
// goes away, or, after one last run, the tree has more folders than the watch limit allows.
int watchFeeds(const CommandLineRun &run, const WatchPacing &pacing, bool quiet, const WatchSystem &system = {});

} // namespace yf::cli
