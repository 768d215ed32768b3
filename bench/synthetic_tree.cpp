// Builds and removes the benchmark's synthetic media library on disk.
#include "synthetic_tree.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
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

std::string folderPath(const TreeShape &shape, long k)
{
    // Rebuilt from the parent chain, so memory stays flat however big the tree.
    std::vector<long> chain;
    for (long at = k; at > 0; at = (at - 1) / shape.fanOut)
        chain.push_back(at);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty())
            path += '/';
        path += folderName(*it);
    }
    return path;
}

bool buildTree(const std::string &root, const TreeShape &shape, TreeFacts &facts, std::string &error,
               unsigned threads)
{
    facts = TreeFacts{};
    facts.folders = 1;
    // Folders first, on this thread: each needs its parent, made just before it.
    for (long k = 1; k < shape.folders; ++k) {
        const std::string path = root + '/' + folderPath(shape, k);
        if (::mkdir(path.c_str(), 0755) != 0) {
            error = errnoText("Cannot create folder", path);
            return false;
        }
        facts.folders += 1;
        long depth = 0;
        for (long at = k; at > 0; at = (at - 1) / shape.fanOut)
            ++depth;
        facts.depth = std::max(facts.depth, depth);
    }

    // Then the files, folders handed out in batches to threads that each count their own.
    constexpr long kBatch = 64;
    std::atomic<long> nextFolder{0};
    std::atomic<bool> failed{false};
    std::mutex errorLock;
    const auto fill = [&](TreeFacts &counted) {
        for (;;) {
            const long first = nextFolder.fetch_add(kBatch);
            if (first >= shape.folders || failed.load())
                return;
            for (long k = first; k < std::min(first + kBatch, shape.folders); ++k) {
                std::string own;
                if (!writeFiles(k == 0 ? root : root + '/' + folderPath(shape, k), k, shape.filesPerFolder,
                                counted, own)) {
                    const std::lock_guard lock(errorLock);
                    if (!failed.exchange(true))
                        error = own;
                    return;
                }
            }
        }
    };
    std::vector<TreeFacts> counts(std::max(threads, 1u));
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < counts.size(); ++t)
        helpers.emplace_back(fill, std::ref(counts[t]));
    fill(counts[0]);
    for (std::thread &helper : helpers)
        helper.join();
    for (const TreeFacts &counted : counts) {
        facts.files += counted.files;
        facts.fileBytes += counted.fileBytes;
    }
    return !failed.load();
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
