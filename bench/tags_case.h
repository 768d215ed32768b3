// The tags case: Generate runs that read tags against the same runs without, on real media files.
#pragma once

#include <string>

namespace bench {

struct TagsCaseOptions {
    long folders = 501;        // the input folder included
    long filesPerFolder = 20;
    long rounds = 5;
    long helpers = 2;
};

// Builds a library of tagged MP3 files in `library` (an empty folder inside `work`), then
// alternates, for the rounds asked, a first run with tags (a new cache) and one without, each
// into a new output folder; then runs with and without tags over the unchanged library into
// their latest output folders (the cache holding every file). Prints every run and the
// ratios of the medians: with tags / without. False, with `error`, when a run fails or
// writes, reads or takes from the cache other than it should.
[[nodiscard]] bool runTagsCase(const std::string &work, const std::string &library, const TagsCaseOptions &options,
                               std::string &error);

} // namespace bench
