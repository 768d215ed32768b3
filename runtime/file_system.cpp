#include "runtime/file_system.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf::fs {

QByteArray encodePath(const QString &path) { return QFile::encodeName(path); }
QString displayPath(const QByteArray &path) { return QFile::decodeName(path); }

bool matchesPattern(const char *name, const QByteArray &pattern)
{
    if (pattern == "*.*" || pattern == "*")
        return true;
    return ::fnmatch(pattern.constData(), name, 0) == 0;
}

namespace {

// Room for a few hundred entries a call; the kernel never returns half of one.
constexpr qsizetype kEntryBuffer = 32 * 1024;

} // namespace

DirectoryStream::~DirectoryStream() { close(); }

void DirectoryStream::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

Status DirectoryStream::openWith(const QByteArray &folder, const QByteArray &openPath, int flags)
{
    close();
    m_path = folder;
    m_readError = 0;
    m_atEnd = false;
    m_filled = m_at = 0;
    m_fd = ::open(openPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (m_fd < 0)
        return Error::fromErrno(ErrorKind::ListFolder, QStringLiteral("Cannot list folder"),
                                displayPath(folder), errno);
    if (!m_buffer)
        m_buffer = std::make_unique<char[]>(kEntryBuffer);
    return {};
}

Status DirectoryStream::open(const QByteArray &folder) { return openWith(folder, folder, 0); }

Status DirectoryStream::openNoFollow(const QByteArray &folder)
{
    // A trailing "/" would make the kernel follow a link after all.
    qsizetype length = folder.size();
    while (length > 1 && folder[length - 1] == '/')
        --length;
    return openWith(folder, folder.left(length), O_NOFOLLOW);
}

const dirent *DirectoryStream::next()
{
    if (m_fd < 0 || m_atEnd)
        return nullptr;
    if (m_at >= m_filled) {
        const ssize_t got = ::getdents64(m_fd, m_buffer.get(), kEntryBuffer);
        if (got <= 0) {
            if (got < 0)
                m_readError = errno;
            m_atEnd = true;
            return nullptr;
        }
        m_filled = got;
        m_at = 0;
    }
    // The kernel's records are laid out as the C library's dirent, each 8-byte aligned.
    const auto *entry = reinterpret_cast<const dirent *>(m_buffer.get() + m_at);
    m_at += entry->d_reclen;
    return entry;
}

Status DirectoryStream::status() const
{
    if (m_readError == 0)
        return {};
    return Error::fromErrno(ErrorKind::ListFolder, QStringLiteral("Cannot read folder"),
                            displayPath(m_path), m_readError);
}

static bool hidden(const dirent &entry) { return entry.d_name[0] == '.'; }

std::optional<FolderId> plainFolderId(int dirFd, const dirent &entry)
{
    if (hidden(entry))
        return std::nullopt;
    if (entry.d_type != DT_DIR && entry.d_type != DT_UNKNOWN)
        return std::nullopt;
    struct stat st;
    if (::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    if (!S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR))
        return std::nullopt;
    return FolderId{st.st_dev, st.st_ino};
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
    return FileFacts{static_cast<qint64>(st.st_size), static_cast<qint64>(st.st_mtime)};
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
