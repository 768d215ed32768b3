#include "scan/folder_listing.h"

#include "fast/directory_reader.h"

#include <cstring>

namespace yf {

namespace {

void noteUnreadable(int dirFd, const QByteArray &parent, const dirent &entry, SkippedFolders &skipped)
{
    if (const int err = fs::unreadableFolderError(dirFd, entry))
        skipped.push_back(Error::fromErrno(ErrorKind::ListFolder, QStringLiteral("Cannot list folder"),
                                           fs::displayPath(parent + entry.d_name + '/'), err));
}

} // namespace

FolderListing listFolder(const QByteArray &folder, bool isTop, const std::optional<fs::FolderId> &leaveOut,
                         bool noteSkipped)
{
    FolderListing out;
    fast::DirectoryReader reader;
    if (Status opened = isTop ? reader.open(folder) : reader.openNoFollow(folder); !opened.ok()) {
        if (isTop || !fs::isUnreadableFolderError(opened.error().osError)) {
            out.failure = opened.error();
            return out;
        }
        out.unlisted = true;
        if (noteSkipped)
            out.skipped.push_back(opened.error());
        return out;
    }
    while (const dirent *entry = reader.next()) {
        const std::optional<fs::FolderId> id = fs::plainFolderId(reader.fd(), *entry);
        if (leaveOut && id && *id == *leaveOut)
            continue;
        if (!id) {
            if (noteSkipped)
                noteUnreadable(reader.fd(), folder, *entry, out.skipped);
            continue;
        }
        const auto nameLength = static_cast<qsizetype>(std::strlen(entry->d_name));
        QByteArray path;
        path.reserve(folder.size() + nameLength + 1);
        path.append(folder).append(entry->d_name, nameLength).append('/');
        out.children.push_back(std::move(path));
    }
    if (Status read = reader.status(); !read.ok())
        out.failure = read.error();
    return out;
}

} // namespace yf
