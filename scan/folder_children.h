// What a folder chooser lists: the visible sub-folders of one folder, in the file lister's order.
#pragma once

#include "runtime/error.h"

#include <QByteArray>

#include <vector>

namespace yf {

// Whether a path is a folder (following links), and whether this process can list it.
enum class FolderAccess {
    NotAFolder,  // missing, or something else than a folder
    Unlistable,  // a folder that cannot be opened for listing (no permission, say)
    Listable,
};
FolderAccess folderAccess(const QByteArray &path);

struct FolderChild {
    QByteArray name;  // the kernel's bytes, which need not be UTF-8
    bool listable = false;
};

// The sub-folders of `folder` whose names are not hidden (no leading "."), links to folders
// included, each with whether it can be listed in turn. Ordered as the file lister orders
// names: numbers by their value, letters without regard to case, ties by the exact bytes.
// An entry that vanishes while it is looked at is left out. The error is that of opening or reading `folder`.
[[nodiscard]] Result<std::vector<FolderChild>> folderChildren(const QByteArray &folder);

} // namespace yf
