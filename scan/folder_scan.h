// Breadth-first listing of a folder and every plain folder below it.
#pragma once

#include "runtime/error.h"
#include "runtime/file_system.h"
#include "runtime/run_observer.h"
#include "scan/folder_listing.h"

#include <QByteArray>

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace yf {

namespace fast {
class HelperThreads;
}

// Folder paths as the kernel's bytes, each ending in "/". Element 0 is the scan's root.
using FolderArray = std::vector<QByteArray>;

// `root` followed by every folder below it, level by level, in the
// order the file system lists them. Paths are never normalised: each one is its parent's
// path, the name and "/", so a root of "//" keeps the doubled separator. Only plain folders
// are listed and entered (see listFolder); links are never followed, so a link loop cannot
// trap the scan. A sub-folder that cannot be listed for a reason of its own (see
// fs::isUnreadableFolderError: no permission, vanished or swapped for a link before it was
// listed, a path too long) is left out of the list with everything below it, and added to
// `skipped` with why, as is a folder the attribute rule leaves out that this process may not
// read anyway. The root failing, or any other failure, ends the scan with an error. The
// folder `leaveOut`, when given, is neither listed nor entered wherever it appears below the
// root: the feeds' own folder must not become a feed of feeds. Only the folders' paths are
// kept, so the memory grows with folders, not files. With `helpers`, wide levels are listed
// on them; the list, the folders left out and the failure are the same as without, and only
// the calling thread talks to `observer` and `onFolder`.
//
// `onFolder`, when given, is told of every folder the scan met, listed or not, in the order
// met (the list's order with the unlisted folders in their places): its place in that order,
// its path and what listing it found. Its sub-folders are met later, one after the other, in
// the listing's order. It may take the listing's notes of folders left out, which then go
// nowhere else; with it, those notes are taken even without `skipped`.
using FolderMet = std::function<void(std::size_t met, const QByteArray &folder, FolderListing &listing)>;
[[nodiscard]] Result<FolderArray> scanFolders(const QByteArray &root, RunObserver *observer = nullptr,
                                             SkippedFolders *skipped = nullptr,
                                             std::optional<fs::FolderId> leaveOut = std::nullopt,
                                             fast::HelperThreads *helpers = nullptr,
                                             const FolderMet &onFolder = {});

} // namespace yf
