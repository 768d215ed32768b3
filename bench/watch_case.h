// The watch case: what one change costs a running watcher, against a full run of the program.
#pragma once

#include <string>

namespace bench {

struct WatchCaseOptions {
    long folders = 100000;  // the input folder included
    long filesPerFolder = 10;
    long fanOut = 6;
    double settleSeconds = 1;
    std::string program;    // the yarrowfeed program
    unsigned buildThreads = 1;
    double timeoutSeconds = 0;  // how long a feed may take to appear; 0: from the full run's time
};

// Builds the synthetic tree in `library` (an empty folder inside `work`), times the program's
// full run over it, once to write the feeds and twice more over the unchanged tree (the best
// of those two is the baseline), then starts the program's watcher, reads its memory once its
// first run is done, and makes three changes one at a time: a file added to a folder, a
// folder made (with a file), a folder renamed. For each it prints how long the feed took
// beyond the settle time and the CPU time the watcher spent, against the baseline. False,
// with `error`, when a run fails, a feed does not appear in time or the watcher ends.
[[nodiscard]] bool runWatchCase(const std::string &work, const std::string &library, const WatchCaseOptions &options,
                                std::string &error);

} // namespace bench
