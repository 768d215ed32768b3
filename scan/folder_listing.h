// The sub-folders of one folder by the rule every walk of the input tree follows.
#pragma once

#include "runtime/error.h"
#include "runtime/file_system.h"

#include <QByteArray>

#include <optional>
#include <vector>

namespace yf {

// Folders a scan or a run left out because it could not read them, each with why.
using SkippedFolders = std::vector<Error>;

// What listing one folder found: its sub-folders in the order the file system gave them,
// each its parent's path, the name and "/", the folders left out with why, and whether the
// folder itself could be listed.
struct FolderListing {
    std::vector<QByteArray> children;
    SkippedFolders skipped;        // filled only when asked for
    std::optional<Error> failure;  // the folder could not be listed or read: ends a scan
    bool unlisted = false;         // could not be listed for a reason of its own: no feed
};

// Lists `folder` (ending in "/"). Only plain folders count (see fs::plainFolderId), and the
// folder `leaveOut`, when given, is never one of them. The top folder of a walk (`isTop`) may
// be a link the user chose and any failure to open it is a failure; a folder found below it
// is opened only as the folder that was seen, never as a link put in its place since, and
// when it cannot be listed for a reason of its own (fs::isUnreadableFolderError) it is
// `unlisted` rather than a failure. With `noteSkipped`, such a folder and every sub-folder the
// rule leaves out that this process may not read anyway, or that is write-protected (not
// hidden, not a link), go into `skipped`, with why.
FolderListing listFolder(const QByteArray &folder, bool isTop, const std::optional<fs::FolderId> &leaveOut,
                         bool noteSkipped);

} // namespace yf
