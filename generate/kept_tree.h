// The folders of the last run's input tree in scan order, and putting subtrees of it right after a change.
#pragma once

#include "runtime/error.h"
#include "runtime/file_system.h"
#include "runtime/run_observer.h"
#include "scan/folder_listing.h"
#include "scan/folder_paths.h"

#include <QByteArray>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace yf {

namespace fast {
class HelperThreads;
}

// One folder a scan met: listed, or found by its parent and then not listable. Its path is
// its parent's, its name and "/"; the root's is the tree's root.
struct KeptFolder {
    qint32 parent = -1;     // none for the root
    qint32 nameAt = 0;      // its name is bytes [nameAt, nameAt + nameSize) of the tree's names
    qint32 nameSize = 0;
    qint32 firstChild = 0;  // its sub-folders are folders [firstChild, firstChild + childCount)
    qint32 childCount = 0;
    qint32 listed = -1;     // its place among the listed folders; -1 when unlisted
};

// What KeptTree::relist() tells of the folders listed before it.
struct Relisted {
    // For each listed folder now, the listed place it had before; -1 for one listed now.
    std::vector<qint32> was;
    // The paths of the folders listed before that no listed folder now carries on (gone, or
    // listed anew), with their old listed places, by ascending place. Every other folder
    // listed before has the same path now.
    std::vector<std::pair<qint32, QByteArray>> leftPaths;

    // The path the folder listed before at `oldPlace` had, when it is one of leftPaths.
    [[nodiscard]] QByteArray leftPath(qint32 oldPlace) const;
};

// The tree as a breadth-first scan lists it (see scanFolders): each folder's sub-folders
// follow one another in the order the file system gave them, so the whole order can be
// walked again from each folder's children alone, and a folder is found from the root down
// by its names, with no index by path to keep. A folder is kept as its name alone, in one
// block of names, so that a large tree costs a few bytes a folder more than its names; its
// path is built when asked for. As FolderPaths, the tree gives the listed folders' paths.
class KeptTree final : public FolderPaths {
public:
    // Lists the tree below `root` (the input path and "/") with scanFolders, on `helpers` when
    // given, the folder `leaveOut` left out wherever it appears. Ends with the scan's failure.
    [[nodiscard]] Status scanAll(const QByteArray &root, std::optional<fs::FolderId> leaveOut,
                                 RunObserver *observer, fast::HelperThreads *helpers = nullptr);

    // Puts right every folder `subtrees` names, whether it is there now or not: the nearest
    // folder above it that was listed and still lists is listed again, its sub-folders taken
    // in their new order; the subtrees named and those of sub-folders that are new are listed
    // anew; every other folder is kept as it was. A path named that lies outside the tree is
    // ignored; the root named lists the whole tree again. Returns, for each listed folder now,
    // the listed place it had before, and the old paths of the folders it left. On failure
    // the tree is as good as lost: only scanAll() brings it back.
    [[nodiscard]] Result<Relisted> relist(const std::vector<QByteArray> &subtrees,
                                                     std::optional<fs::FolderId> leaveOut, RunObserver *observer);

    [[nodiscard]] const std::vector<KeptFolder> &folders() const { return m_folders; }
    // The listed folders' paths in scan order; place 0 is the root.
    [[nodiscard]] const FolderPaths &listed() const { return *this; }
    [[nodiscard]] std::size_t count() const override { return m_listed.size(); }
    [[nodiscard]] QByteArrayView pathInto(std::size_t place, QByteArray &scratch) const override;
    [[nodiscard]] QByteArray path(std::size_t place) const override;
    [[nodiscard]] std::vector<NameKey> nameKeys(qsizetype skip) const override;
    // The index of the folder at `path` (ending in "/"), -1 when the tree has none.
    [[nodiscard]] qint32 find(const QByteArray &path) const;
    // Every folder's notes in scan order, as a scan gives them.
    void appendSkips(SkippedFolders &skipped) const;
    // Roughly the bytes held.
    [[nodiscard]] std::size_t bytes() const;

private:
    struct Walk;
    [[nodiscard]] std::optional<Error> rebuild(Walk &walk, RunObserver *observer);
    qint32 nearestListed(QByteArray path) const;
    [[nodiscard]] QByteArray folderPath(qint32 folder) const;
    void index();
    [[nodiscard]] SkippedFolders takeSkips(qint32 folder);

    std::vector<KeptFolder> m_folders;
    QByteArray m_root;                 // the root's path, ending in "/"
    // Every folder's name but the root's, one after another; a folder kept through a change
    // keeps its name where it is, so the block also holds names no folder uses any more, up to
    // about as many bytes again as those in use.
    QByteArray m_names;
    std::vector<qint32> m_listed;      // by listed place: the folder
    // What listing a folder noted (its sub-folders left out, or itself when unlisted), for
    // the few folders that noted any, by ascending folder index.
    std::vector<std::pair<qint32, SkippedFolders>> m_skips;
};

} // namespace yf
