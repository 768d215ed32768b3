#include "scan/folder_listing.h"

#include "fast/directory_reader.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace yf {

namespace {

// A real folder, not hidden, that the rule leaves out only because its owner may not write
// it: a library made read-only would otherwise publish nothing without a word.
bool isWriteProtectedFolder(int dirFd, const dirent &entry)
{
    if (entry.d_name[0] == '.' || (entry.d_type != DT_DIR && entry.d_type != DT_UNKNOWN))
        return false;
    struct stat st;
    return ::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
        && !(st.st_mode & S_IWUSR);
}

// Notes a folder the rule left out when the user would want to know: one this process may
// not read, or one that is write-protected. Hidden folders and links are left out silently.
void noteLeftOut(int dirFd, const QByteArray &parent, const dirent &entry, SkippedFolders &skipped)
{
    const auto path = [&] { return fs::displayPath(parent + entry.d_name + '/'); };
    if (const int err = fs::unreadableFolderError(dirFd, entry))
        skipped.push_back(Error::fromErrno(ErrorKind::ListFolder, QStringLiteral("Cannot list folder"), path(), err));
    else if (isWriteProtectedFolder(dirFd, entry))
        skipped.push_back(Error::failure(ErrorKind::ListFolder, QStringLiteral("Folder"), path(),
                                         QStringLiteral("skipped: write-protected (the owner cannot write it)")));
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
                noteLeftOut(reader.fd(), folder, *entry, out.skipped);
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
