// One Generate run of the core, timed: the scan and the feed writing apart.
#pragma once

#include "generate/generate.h"

#include <string>

namespace bench {

struct RunResult {
    double scanSeconds = 0;   // scan and storing the settings, up to the first feed
    double feedSeconds = 0;   // every feed
    long feeds = 0;
};

// Runs the whole Generate command on `inputDir`, as the window would: scan, settings,
// all feeds, with a run state of its own.
[[nodiscard]] bool measureRun(const yf::RunInputs &inputs, RunResult &result,
                              std::string &error);

} // namespace bench
