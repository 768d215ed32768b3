// Builds and removes the benchmark's synthetic media library on disk.
#include "synthetic_tree.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

// What a real library looks like: blanks, "&", apostrophes, "#", accents and other scripts.
constexpr std::array<const char *, 6> kFolderStems = {
    "Talk Show ", "Rock & Roll ", "Caf\xC3\xA9 \xC3\x89lys\xC3\xA9" "e ", "Bach's Suites #",
    "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln ", "\xE6\x97\xA5\xE6\x9C\xAC\xE3\x81\xAE\xE6\xAD\x8C ",
};
constexpr std::array<const char *, 5> kTitles = {
    "Rock & Roll", "Na\xC3\xAFve Mel\xC3\xB6" "dy", "Interview with O'Brien", "100% Live",
    "Das gro\xC3\x9F" "e Finale",
};
constexpr std::array<const char *, 6> kExtensions = {".mp3", ".mp3", ".m4a", ".ogg", ".flac", ".MP3"};

std::string folderName(long k) { return kFolderStems[static_cast<std::size_t>(k) % kFolderStems.size()] + std::to_string(k); }

std::string fileName(long k, long i)
{
    char number[24];
    std::snprintf(number, sizeof number, "%03ld", i + 1);
    // Every fifth name starts in lower case, so the case-insensitive order matters.
    std::string name = (i % 5 == 4) ? "episode " : "Episode ";
    name += number;
    name += " - ";
    name += kTitles[static_cast<std::size_t>(k + i) % kTitles.size()];
    name += kExtensions[static_cast<std::size_t>(i) % kExtensions.size()];
    return name;
}

long fileSize(long k, long i) { return (i % 4 == 3) ? 1 + (k * 31 + i * 7) % 400 : 0; }

std::string errnoText(const std::string &what, const std::string &path)
{
    return what + " \"" + path + "\": " + std::strerror(errno);
}

bool writeFiles(const std::string &dir, long k, long count, TreeFacts &facts, std::string &error)
{
    static const std::string payload(512, 'a');
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = errnoText("Cannot open folder", dir);
        return false;
    }
    for (long i = 0; i < count; ++i) {
        const std::string name = fileName(k, i);
        const int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const long size = fileSize(k, i);
        if (fd < 0 || (size > 0 && ::write(fd, payload.data(), static_cast<size_t>(size)) != size)) {
            error = errnoText("Cannot create file", dir + "/" + name);
            if (fd >= 0)
                ::close(fd);
            ::close(dirFd);
            return false;
        }
        ::close(fd);
        facts.fileBytes += size;
        ++facts.files;
    }
    ::close(dirFd);
    return true;
}

int removeAny(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path) == 0 ? 0 : -1;
}

} // namespace

bool buildTree(const std::string &root, const TreeShape &shape, TreeFacts &facts, std::string &error)
{
    facts = TreeFacts{};
    if (!writeFiles(root, 0, shape.filesPerFolder, facts, error))
        return false;
    facts.folders = 1;
    std::vector<long> chain;
    for (long k = 1; k < shape.folders; ++k) {
        // The path is rebuilt from the parent chain, so memory stays flat however big the tree.
        chain.clear();
        for (long at = k; at > 0; at = (at - 1) / shape.fanOut)
            chain.push_back(at);
        std::string path = root;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            path += '/';
            path += folderName(*it);
        }
        if (::mkdir(path.c_str(), 0755) != 0) {
            error = errnoText("Cannot create folder", path);
            return false;
        }
        if (!writeFiles(path, k, shape.filesPerFolder, facts, error))
            return false;
        facts.folders += 1;
        facts.depth = std::max(facts.depth, static_cast<long>(chain.size()));
    }
    return true;
}

bool removeTree(const std::string &dir, std::string &error)
{
    if (::nftw(dir.c_str(), removeAny, 32, FTW_DEPTH | FTW_PHYS) != 0) {
        error = errnoText("Cannot remove", dir);
        return false;
    }
    return true;
}

} // namespace bench
