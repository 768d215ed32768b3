// The floor: what the file system itself costs to list the tree and write the feeds.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct FloorResult {
    double walkSeconds = 0;
    double writeSeconds = 0;
    long entries = 0;       // entries examined with lstat
    long folders = 0;       // the input folder included
    long filesWritten = 0;
    long long bytesWritten = 0;
};

// Walks `inputDir` breadth first (opendir, readdir, lstat of every entry, entering the real
// folders), then writes one file per folder below it into `outputDir`, named the way a feed
// is named, with `totalBytes` spread evenly: one open, one write, one close each.
[[nodiscard]] bool measureFloor(const std::string &inputDir, const std::string &outputDir,
                                long long totalBytes, FloorResult &result, std::string &error);

// The floor of a run over an unchanged tree: the same walk, then reading every file in
// `feedsDir` whole (one open, reads, one close each), as a run compares each feed.
[[nodiscard]] bool measureReadFloor(const std::string &inputDir, const std::string &feedsDir,
                                    FloorResult &result, std::string &error);

// The floor of any change that alters the files `names` of `feedsDir` (the index page and
// OPML file): each copied whole by the kernel (copy_file_range) into a new file beside it,
// which then replaces it, as putting a changed file in place takes at the least. Gives the
// CPU time this process spent and the bytes copied.
[[nodiscard]] bool measureReplaceFloor(const std::string &feedsDir, const std::vector<std::string> &names,
                                       double &cpuSecondsSpent, long long &bytes, std::string &error);

} // namespace bench
