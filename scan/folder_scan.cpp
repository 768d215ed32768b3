#include "scan/folder_scan.h"

#include "fast/ordered_work.h"

#include <algorithm>
#include <iterator>

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

// Below this many folders a batch is listed on the calling thread alone: handing it to the
// helpers would cost more than it saves.
constexpr std::size_t kSharedBatch = 32;
// At most this many folders are listed per batch, so what a batch holds stays small however
// wide a level is.
constexpr std::size_t kBatch = 1024;
// Helpers take the folders of a batch this many at a time: listing one folder takes a few
// microseconds, and taking each alone would make them meet at the lock at every folder.
constexpr std::size_t kGroup = 16;
// How many groups the helpers may list ahead of the one whose sub-folders are being appended.
constexpr qsizetype kGroupsAhead = 32;

using Group = std::vector<FolderListing>;

} // namespace

Result<FolderArray> scanFolders(const QByteArray &root, RunObserver *observer, SkippedFolders *skipped,
                                std::optional<fs::FolderId> leaveOut, fast::HelperThreads *helpers,
                                const FolderMet &onFolder)
{
    std::vector<std::size_t> unlisted;  // found, but could not be listed: no feed for these
    FolderArray folders;
    folders.push_back(root);
    if (observer)
        observer->foldersFound(1);

    // Batch by batch: the folders of a batch may be listed on other threads, but what they
    // found is appended in their order, so the list, the folders left out and a failure are
    // those of listing one folder after the other. A batch's own paths are copied (they share
    // their bytes) since appending may move the list while helpers read them.
    const bool noteSkipped = skipped != nullptr || onFolder;
    std::vector<QByteArray> batch;
    for (std::size_t begin = 0; begin < folders.size();) {
        const std::size_t end = std::min(folders.size(), begin + kBatch);
        batch.assign(folders.begin() + static_cast<std::ptrdiff_t>(begin),
                     folders.begin() + static_cast<std::ptrdiff_t>(end));
        const auto list = [&](std::size_t k) {
            return listFolder(batch[k], begin + k == 0, leaveOut, noteSkipped);
        };
        std::optional<fast::OrderedWork<Group>> shared;
        if (helpers && helpers->count() > 0 && batch.size() >= kSharedBatch) {
            const auto groups = static_cast<qsizetype>((batch.size() + kGroup - 1) / kGroup);
            shared.emplace(*helpers, 0, groups, kGroupsAhead, [&](int, qsizetype group) {
                Group listings;
                const std::size_t from = static_cast<std::size_t>(group) * kGroup;
                for (std::size_t k = from; k < std::min(from + kGroup, batch.size()); ++k)
                    listings.push_back(list(k));
                return listings;
            });
        }
        Group taken;
        for (std::size_t k = 0; k < batch.size(); ++k) {
            if (observer && observer->cancelRequested())
                return Error::cancelled();
            if (shared && k % kGroup == 0)
                taken = shared->take(static_cast<qsizetype>(k / kGroup));
            FolderListing listing = shared ? std::move(taken[k % kGroup]) : list(k);
            if (onFolder && !listing.failure)
                onFolder(begin + k, batch[k], listing);
            if (skipped)
                std::move(listing.skipped.begin(), listing.skipped.end(), std::back_inserter(*skipped));
            if (listing.failure)
                return *listing.failure;  // nothing after it counts: the first failure in order ends the scan
            if (listing.unlisted)
                unlisted.push_back(begin + k);
            std::move(listing.children.begin(), listing.children.end(), std::back_inserter(folders));
            if (observer)
                observer->foldersFound(static_cast<qsizetype>(folders.size()));
        }
        begin = end;
    }
    removeAt(folders, unlisted);
    folders.shrink_to_fit();
    return folders;
}

} // namespace yf
