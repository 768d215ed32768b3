// One Generate run of the core, timed: the scan and the feed writing apart.
#pragma once

#include "generate/generate.h"

#include <string>

namespace bench {

struct RunResult {
    double scanSeconds = 0;   // scan and storing the settings, up to the first feed
    double feedSeconds = 0;   // every feed
    long feeds = 0;
    yf::TagCounts tagFiles;   // media files opened, and those taken from the cache
};

// A run over the library into `feeds`, with links starting at the library's parent.
yf::RunRequest runRequest(const std::string &library, const std::string &feeds, long helpers);

// Runs the whole Generate command as the window would: scan, storing the settings in
// `settingsPath`, all feeds.
[[nodiscard]] bool measureRun(const yf::RunRequest &request, const QString &settingsPath, RunResult &result,
                              std::string &error);

} // namespace bench
