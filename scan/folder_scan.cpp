#include "scan/folder_scan.h"

#include "runtime/file_system.h"

#include <cerrno>
#include <cstring>

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

Status scan(const QByteArray &startfolder, const QByteArray &srchstr, FolderArray &foundFolders,
            RunObserver *observer, const std::optional<fs::FolderId> &leaveOut, SkippedFolders *skipped)
{
    std::vector<std::size_t> unlisted;  // found, but could not be listed: no feed for these
    foundFolders.clear();
    foundFolders.push_back(startfolder);
    if (observer)
        observer->foldersFound(1);

    // foundFolders is the queue: i is its head, the vector's end its tail.
    for (std::size_t i = 0; i < foundFolders.size(); ++i) {
        if (observer && observer->cancelRequested())
            return Error{ErrorKind::Cancelled, QStringLiteral("Cancelled"), {}, {}, 0};

        const QByteArray current = foundFolders[i];  // the vector may grow below
        fs::DirectoryStream stream;
        // The start folder may be a link the user chose; a folder found below it is listed
        // only as the folder the scan saw, never as a link put in its place since.
        if (Status opened = i == 0 ? stream.open(current) : stream.openNoFollow(current); !opened.ok()) {
            if (i == 0 || !fs::isUnreadableFolderError(opened.error().osError))
                return opened;
            unlisted.push_back(i);
            if (skipped)
                skipped->push_back(opened.error());
            continue;
        }
        while (const dirent *entry = stream.next()) {
            if (!fs::matchesPattern(entry->d_name, srchstr))
                continue;
            const std::optional<fs::FolderId> folder = fs::plainFolderId(stream.fd(), *entry);
            if (leaveOut && folder && *folder == *leaveOut)
                continue;
            if (!folder) {
                noteUnreadable(stream.fd(), current, *entry, skipped);
                continue;
            }
            const auto nameLength = static_cast<qsizetype>(std::strlen(entry->d_name));
            QByteArray path;
            path.reserve(current.size() + nameLength + 1);
            path.append(current).append(entry->d_name, nameLength).append('/');
            foundFolders.push_back(std::move(path));
            if (observer)
                observer->foldersFound(static_cast<qsizetype>(foundFolders.size()));
        }
        if (Status read = stream.status(); !read.ok())
            return read;
    }
    removeAt(foundFolders, unlisted);
    foundFolders.shrink_to_fit();
    return {};
}

} // namespace

Status spanFolders(const QByteArray &startfolder, const QByteArray &srchstr, FolderArray &foundFolders,
                   RunObserver *observer, SkippedFolders *skipped, std::optional<fs::FolderId> leaveOut)
{
    return scan(startfolder, srchstr, foundFolders, observer, leaveOut, skipped);
}


} // namespace yf
