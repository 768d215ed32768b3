// Clocks, memory, the small statistics the benchmark reports, and the quiet between measurements.
#include "measure.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <ctime>
#include <fstream>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace bench {

double wallSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

static double seconds(const timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

double cpuSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return seconds(ru.ru_utime) + seconds(ru.ru_stime);
}

double systemSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return seconds(ru.ru_stime);
}

long peakRssKiB()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;  // KiB on Linux
}

double minimum(std::vector<double> values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

std::string fileSystemType(const std::string &path)
{
    struct statfs fs{};
    if (::statfs(path.c_str(), &fs) != 0)
        return "unknown";
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53: return "ext4";
    case 0x01021994: return "tmpfs";
    case 0x9123683E: return "btrfs";
    case 0x58465342: return "xfs";
    case 0x794C7630: return "overlayfs";
    default: return "other";
    }
}

std::string machineDescription()
{
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos)
                model = line.substr(colon + 2);
            break;
        }
    }
    utsname u{};
    ::uname(&u);
    return model + ", " + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux "
         + u.release;
}

// On a virtual machine the first touch of a page is several times dearer than a reused one,
// and the page cache would otherwise grow into untouched memory round after round.
void settle(const std::string &work, const std::string &lastOutput)
{
    const int fd = ::open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::syncfs(fd);
    ::close(fd);
    if (lastOutput.empty())
        return;
    DIR *d = ::opendir(lastOutput.c_str());
    if (!d)
        return;
    while (const dirent *e = ::readdir(d)) {
        const int file = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (file >= 0) {
            ::posix_fadvise(file, 0, 0, POSIX_FADV_DONTNEED);
            ::close(file);
        }
    }
    ::closedir(d);
}

bool outputFacts(const std::string &dir, long &files, long long &bytes)
{
    files = 0;
    bytes = 0;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return false;
    while (const dirent *e = ::readdir(d)) {
        struct stat st;
        const std::string_view name(e->d_name);
        if (name.front() == '.' || !name.ends_with(".xml") || ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        ++files;
        bytes += st.st_size;
    }
    ::closedir(d);
    return true;
}

} // namespace bench
