// Walks the folders below a top that a run would scan, breadth first, as the scan lists them.
#pragma once

#include "runtime/file_system.h"
#include "scan/folder_listing.h"

#include <QByteArray>

#include <cstddef>
#include <iterator>
#include <optional>
#include <vector>

namespace yf::cli {

enum class Visit { Descend, Skip, Stop };
constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// Breadth first over `top` (ending in "/") and every folder below it that a run would scan,
// listed as the scan lists them; `leaveOut` is never among them. `visit` is given each
// folder's path, its place in the walk and its parent's place (none for `top`).
template <typename F>
void forEachFolder(const QByteArray &top, const std::optional<fs::FolderId> &leaveOut, F &&visit)
{
    std::vector<QByteArray> queue{top};
    std::vector<std::size_t> parents{kNoParent};
    for (std::size_t i = 0; i < queue.size(); ++i) {
        const Visit what = visit(queue[i], i, parents[i]);
        if (what == Visit::Stop)
            return;
        if (what == Visit::Descend) {
            // A folder that went, or cannot be read, adds nothing: the run reports it.
            FolderListing listing = listFolder(queue[i], i == 0, leaveOut, false);
            std::move(listing.children.begin(), listing.children.end(), std::back_inserter(queue));
            parents.resize(queue.size(), i);
        }
        queue[i] = QByteArray();  // a walk of the whole tree holds only the folders still to visit
    }
}

} // namespace yf::cli
