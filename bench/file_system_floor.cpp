// The floor: what the file system itself costs to list the tree and write the feeds.
#include "file_system_floor.h"

#include "measure.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

std::string errnoText(const std::string &what, const std::string &path)
{
    return what + " \"" + path + "\": " + std::strerror(errno);
}

// Relative folder paths, each ending in "/" ("" is the input folder), in breadth-first order.
bool walk(const std::string &inputDir, std::vector<std::string> &folders, long &entries,
          std::string &error)
{
    folders.assign(1, std::string());
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const std::string dirPath = inputDir + "/" + folders[i];
        DIR *dir = ::opendir(dirPath.c_str());
        if (!dir) {
            error = errnoText("Cannot list folder", dirPath);
            return false;
        }
        const int fd = ::dirfd(dir);
        while (const dirent *e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            struct stat st;
            if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            ++entries;
            if (S_ISDIR(st.st_mode))
                folders.push_back(folders[i] + e->d_name + "/");
        }
        ::closedir(dir);
    }
    return true;
}

} // namespace

bool measureFloor(const std::string &inputDir, const std::string &outputDir, long long totalBytes,
                  FloorResult &result, std::string &error)
{
    result = FloorResult{};
    std::vector<std::string> folders;
    const double start = wallSeconds();
    if (!walk(inputDir, folders, result.entries, error))
        return false;
    const double walked = wallSeconds();
    result.walkSeconds = walked - start;
    result.folders = static_cast<long>(folders.size());

    const long count = result.folders - 1;
    if (count > 0) {
        const long long each = totalBytes / count;
        const long long extra = totalBytes % count;
        const std::string payload(static_cast<std::size_t>(each + 1), 'x');
        for (long k = 1; k <= count; ++k) {
            std::string name = "-" + folders[static_cast<std::size_t>(k)];
            std::replace(name.begin(), name.end(), '/', '-');
            const std::string path = outputDir + "/" + name + ".xml";
            const long long size = each + (k <= extra ? 1 : 0);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (fd < 0 || ::write(fd, payload.data(), static_cast<size_t>(size)) != size) {
                error = errnoText("Cannot write", path);
                if (fd >= 0)
                    ::close(fd);
                return false;
            }
            if (::close(fd) != 0) {
                error = errnoText("Cannot close", path);
                return false;
            }
            ++result.filesWritten;
            result.bytesWritten += size;
        }
    }
    result.writeSeconds = wallSeconds() - walked;
    return true;
}

bool measureReadFloor(const std::string &inputDir, const std::string &feedsDir, FloorResult &result,
                      std::string &error)
{
    result = FloorResult{};
    std::vector<std::string> folders;
    const double start = wallSeconds();
    if (!walk(inputDir, folders, result.entries, error))
        return false;
    const double walked = wallSeconds();
    result.walkSeconds = walked - start;
    result.folders = static_cast<long>(folders.size());

    DIR *dir = ::opendir(feedsDir.c_str());
    if (!dir) {
        error = errnoText("Cannot list folder", feedsDir);
        return false;
    }
    std::vector<char> buffer(64 * 1024);
    while (const dirent *e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = errnoText("Cannot open", feedsDir + "/" + e->d_name);
            ::closedir(dir);
            return false;
        }
        ssize_t n;
        while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
            result.bytesWritten += n;  // bytes read, here
        ::close(fd);
        ++result.filesWritten;
    }
    ::closedir(dir);
    result.writeSeconds = wallSeconds() - walked;
    return true;
}

bool measureReplaceFloor(const std::string &feedsDir, const std::vector<std::string> &names,
                         double &cpuSecondsSpent, long long &bytes, std::string &error)
{
    bytes = 0;
    const double cpuStart = cpuSeconds();
    for (const std::string &name : names) {
        const std::string path = feedsDir + "/" + name;
        const std::string copy = feedsDir + "/.floor-" + name;
        const int from = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const int to = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        struct stat st;
        bool copied = from >= 0 && to >= 0 && ::fstat(from, &st) == 0;
        for (off_t left = copied ? st.st_size : 0; copied && left > 0;) {
            const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, static_cast<std::size_t>(left), 0);
            copied = n > 0;
            left -= n;
            bytes += n;
        }
        if (from >= 0)
            ::close(from);
        if ((to >= 0 && ::close(to) != 0) || !copied || ::rename(copy.c_str(), path.c_str()) != 0) {
            error = errnoText("Cannot copy and replace", path);
            ::unlink(copy.c_str());
            return false;
        }
    }
    cpuSecondsSpent = cpuSeconds() - cpuStart;
    return true;
}

} // namespace bench
