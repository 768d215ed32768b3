#include "runtime/file_system.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf::fs {

QByteArray encodePath(const QString &path) { return QFile::encodeName(path); }
QString displayPath(const QByteArray &path) { return QFile::decodeName(path); }

static bool hidden(const dirent &entry) { return entry.d_name[0] == '.'; }

// The part of the folder rule that needs the entry's own facts: a real, owner-writable folder.
static std::optional<FolderId> writableFolderAt(int dirFd, const char *name)
{
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    if (!S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR))
        return std::nullopt;
    return FolderId{st.st_dev, st.st_ino};
}

std::optional<FolderId> plainFolderId(int dirFd, const dirent &entry)
{
    if (hidden(entry))
        return std::nullopt;
    if (entry.d_type != DT_DIR && entry.d_type != DT_UNKNOWN)
        return std::nullopt;
    return writableFolderAt(dirFd, entry.d_name);
}

std::optional<FolderId> plainFolderId(const QByteArray &parent, const char *name)
{
    if (name[0] == '.')
        return std::nullopt;
    return writableFolderAt(AT_FDCWD, (parent + name).constData());
}

bool isPlainFolder(int dirFd, const dirent &entry) { return plainFolderId(dirFd, entry).has_value(); }

std::optional<FolderId> folderId(const QByteArray &path)
{
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return FolderId{st.st_dev, st.st_ino};
}

std::optional<qint64> folderModified(int dirFd)
{
    struct stat st;
    if (::fstat(dirFd, &st) != 0)
        return std::nullopt;
    return static_cast<qint64>(st.st_mtime);
}

std::optional<FileFacts> regularFileFacts(int dirFd, const char *name)
{
    struct stat st;
    if (::fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileFacts{static_cast<qint64>(st.st_size), static_cast<qint64>(st.st_mtime),
                     static_cast<qint64>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

std::optional<FileFacts> plainFileFacts(int dirFd, const dirent &entry)
{
    if (!mayBePlainFile(entry))
        return std::nullopt;
    return regularFileFacts(dirFd, entry.d_name);
}

bool isUnreadableFolderError(int osError)
{
    switch (osError) {
    case EACCES:
    case EPERM:
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return true;
    default:
        return false;
    }
}

int unreadableFolderError(int dirFd, const dirent &entry)
{
    if (hidden(entry) || (entry.d_type != DT_DIR && entry.d_type != DT_UNKNOWN))
        return 0;
    struct stat st;
    if (::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    if (::faccessat(dirFd, entry.d_name, R_OK | X_OK, AT_EACCESS) == 0)
        return 0;
    return errno == EACCES || errno == EPERM ? errno : 0;
}

bool mayBePlainFile(const dirent &entry)
{
    return !hidden(entry) && (entry.d_type == DT_REG || entry.d_type == DT_LNK || entry.d_type == DT_UNKNOWN);
}

} // namespace yf::fs
