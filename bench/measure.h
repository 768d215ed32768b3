// Clocks, memory, the small statistics the benchmark reports, and the quiet between measurements.
#pragma once

#include <string>
#include <vector>

namespace bench {

double wallSeconds();  // monotonic
double cpuSeconds();     // user + system time of this process so far
double systemSeconds();  // the system (kernel) part of it
long peakRssKiB();     // the process's peak resident set so far

double minimum(std::vector<double> values);
double median(std::vector<double> values);

// "ext4", "tmpfs", ... for the file system that holds `path`.
std::string fileSystemType(const std::string &path);
// CPU model, core count and kernel, in one line.
std::string machineDescription();

// Writes back what the previous measurement left dirty and hands the page cache of the files
// in `lastOutput` (when given) back, so neither is billed to the next measurement.
void settle(const std::string &work, const std::string &lastOutput);

// Counts the feed files in `dir` and adds up their sizes; the index page and OPML file are no feeds.
[[nodiscard]] bool outputFacts(const std::string &dir, long &files, long long &bytes);

} // namespace bench
