// Clocks, memory and the small statistics the benchmark reports.
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

} // namespace bench
