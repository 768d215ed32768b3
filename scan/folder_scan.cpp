#include "scan/folder_scan.h"

#include "runtime/file_system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <thread>

namespace yf {

namespace {

// Removes the elements at `indices` (ascending) from `items`, keeping the order of the rest.
template <typename T>
void removeAt(std::vector<T> &items, const std::vector<std::size_t> &indices)
{
    std::size_t kept = 0;
    std::size_t next = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (next < indices.size() && indices[next] == i) {
            ++next;
            continue;
        }
        if (kept != i)
            items[kept] = std::move(items[i]);
        ++kept;
    }
    items.resize(kept);
}

void noteUnreadable(int dirFd, const QByteArray &parent, const dirent &entry, SkippedFolders *skipped)
{
    if (!skipped)
        return;
    if (const int err = fs::unreadableFolderError(dirFd, entry))
        skipped->push_back(Error::fromErrno(ErrorKind::ListFolder, QStringLiteral("Cannot list folder"),
                                            fs::displayPath(parent + entry.d_name + '/'), err));
}

// What listing one folder found: the sub-folders in the order the file system gave them,
// the folders left out with why, and whether the folder itself could be listed.
struct Listing {
    std::vector<QByteArray> children;
    SkippedFolders skipped;
    std::optional<Error> failure;  // ends the scan
    bool unlisted = false;         // could not be listed for a reason of its own: no feed
};

void listFolder(const QByteArray &current, bool isStart, const QByteArray &srchstr,
                const std::optional<fs::FolderId> &leaveOut, bool noteSkipped, Listing &out)
{
    fs::DirectoryStream stream;
    // The start folder may be a link the user chose; a folder found below it is listed
    // only as the folder the scan saw, never as a link put in its place since.
    if (Status opened = isStart ? stream.open(current) : stream.openNoFollow(current); !opened.ok()) {
        if (isStart || !fs::isUnreadableFolderError(opened.error().osError)) {
            out.failure = opened.error();
            return;
        }
        out.unlisted = true;
        if (noteSkipped)
            out.skipped.push_back(opened.error());
        return;
    }
    while (const dirent *entry = stream.next()) {
        if (!fs::matchesPattern(entry->d_name, srchstr))
            continue;
        const std::optional<fs::FolderId> folder = fs::plainFolderId(stream.fd(), *entry);
        if (leaveOut && folder && *folder == *leaveOut)
            continue;
        if (!folder) {
            if (noteSkipped)
                noteUnreadable(stream.fd(), current, *entry, &out.skipped);
            continue;
        }
        const auto nameLength = static_cast<qsizetype>(std::strlen(entry->d_name));
        QByteArray path;
        path.reserve(current.size() + nameLength + 1);
        path.append(current).append(entry->d_name, nameLength).append('/');
        out.children.push_back(std::move(path));
    }
    if (Status read = stream.status(); !read.ok())
        out.failure = read.error();
}

// Below this many folders a batch is listed on the calling thread alone: starting helpers
// would cost more than they save.
constexpr std::size_t kSharedBatch = 32;
// At most this many folders are listed at a time, so what a batch holds stays small however
// wide a level is.
constexpr std::size_t kBatch = 1024;

// The folders of one batch are listed on the calling thread and `helpers` more, each taking
// the next folder not yet taken, so every folder before one that was listed was listed too.
// The calling thread alone talks to the observer. Returns false when the user cancelled.
bool listBatch(const FolderArray &folders, std::size_t begin, std::vector<Listing> &listings, int helpers,
               const QByteArray &srchstr, const std::optional<fs::FolderId> &leaveOut, bool noteSkipped,
               RunObserver *observer)
{
    std::atomic<std::size_t> next{0};
    std::atomic<qsizetype> found{0};
    std::atomic<bool> stop{false};
    bool cancelled = false;
    const auto work = [&](bool caller) {
        while (!stop) {
            if (caller && observer && observer->cancelRequested()) {
                cancelled = true;
                stop = true;
                return;
            }
            const std::size_t k = next++;
            if (k >= listings.size())
                return;
            listFolder(folders[begin + k], begin + k == 0, srchstr, leaveOut, noteSkipped, listings[k]);
            found += static_cast<qsizetype>(listings[k].children.size());
            if (listings[k].failure)
                stop = true;  // nothing after it counts: the first failure in order ends the scan
            if (caller && observer)
                observer->foldersFound(static_cast<qsizetype>(folders.size()) + found);
        }
    };
    std::vector<std::thread> threads;
    if (listings.size() >= kSharedBatch) {
        for (int h = 0; h < helpers; ++h)
            threads.emplace_back(work, false);
    }
    work(true);
    for (std::thread &thread : threads)
        thread.join();
    return !cancelled;
}

Status scan(const QByteArray &startfolder, const QByteArray &srchstr, FolderArray &foundFolders,
            RunObserver *observer, const std::optional<fs::FolderId> &leaveOut, SkippedFolders *skipped,
            int helpers)
{
    std::vector<std::size_t> unlisted;  // found, but could not be listed: no feed for these
    foundFolders.clear();
    foundFolders.push_back(startfolder);
    if (observer)
        observer->foldersFound(1);

    // Batch by batch: the folders of a batch are listed in any order, on several threads,
    // and what they found is then appended in their order, so the list, the folders left
    // out and a failure are those of listing one folder after the other.
    std::vector<Listing> listings;
    for (std::size_t begin = 0; begin < foundFolders.size();) {
        const std::size_t end = std::min(foundFolders.size(), begin + kBatch);
        listings.clear();
        listings.resize(end - begin);
        if (!listBatch(foundFolders, begin, listings, helpers, srchstr, leaveOut, skipped != nullptr, observer))
            return Error{ErrorKind::Cancelled, QStringLiteral("Cancelled"), {}, {}, 0};
        for (std::size_t k = 0; k < listings.size(); ++k) {
            Listing &listing = listings[k];
            if (skipped)
                std::move(listing.skipped.begin(), listing.skipped.end(), std::back_inserter(*skipped));
            if (listing.failure)
                return *listing.failure;
            if (listing.unlisted)
                unlisted.push_back(begin + k);
            std::move(listing.children.begin(), listing.children.end(), std::back_inserter(foundFolders));
        }
        if (observer)
            observer->foldersFound(static_cast<qsizetype>(foundFolders.size()));
        begin = end;
    }
    removeAt(foundFolders, unlisted);
    foundFolders.shrink_to_fit();
    return {};
}

} // namespace

Status spanFolders(const QByteArray &startfolder, const QByteArray &srchstr, FolderArray &foundFolders,
                   RunObserver *observer, SkippedFolders *skipped, std::optional<fs::FolderId> leaveOut,
                   int helperThreads)
{
    return scan(startfolder, srchstr, foundFolders, observer, leaveOut, skipped, helperThreads);
}


} // namespace yf
