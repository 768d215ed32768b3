// Thin POSIX file-system services: folder enumeration and the entry rules the scan and lister share.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QString>

#include <dirent.h>
#include <memory>
#include <optional>
#include <sys/types.h>

namespace yf::fs {

// Paths travel as the kernel's bytes so that names which are not valid UTF-8 still open.
QByteArray encodePath(const QString &path);
QString displayPath(const QByteArray &path);

// True when `name` matches a folder-listing pattern; "*.*" and "*" match every name.
bool matchesPattern(const char *name, const QByteArray &pattern);

// One open enumeration of a folder; "." and ".." are reported like any other entry. Reads
// the kernel's entries straight into a buffer of its own, kept from folder to folder: a
// run lists every folder twice, and the C library's directory streams cost an extra stat
// and two fcntl calls per folder.
class DirectoryStream {
public:
    DirectoryStream() = default;
    ~DirectoryStream();
    DirectoryStream(const DirectoryStream &) = delete;
    DirectoryStream &operator=(const DirectoryStream &) = delete;

    [[nodiscard]] Status open(const QByteArray &folder);
    // The same for a folder inside the tree: the folder itself, never a link put in its place
    // (that fails with ELOOP or ENOTDIR). Links above it in the path are still followed.
    [[nodiscard]] Status openNoFollow(const QByteArray &folder);
    // The next entry, or nullptr at the end or on a read error (see status()). Valid until
    // the next call.
    const dirent *next();
    [[nodiscard]] Status status() const;
    int fd() const { return m_fd; }

private:
    // Opens `openPath`; `folder` is what errors and status() name.
    Status openWith(const QByteArray &folder, const QByteArray &openPath, int flags);
    void close();

    int m_fd = -1;
    QByteArray m_path;
    int m_readError = 0;
    bool m_atEnd = false;
    std::unique_ptr<char[]> m_buffer;
    qsizetype m_filled = 0;  // bytes of entries in m_buffer
    qsizetype m_at = 0;      // where the next entry starts
};

// A folder counts only when it is a real directory (a link is never followed), its name is
// not hidden (leading "."), and its owner may write it. Mode bits decide, not access(), so
// the rule holds the same when running as root. An entry that vanished is not a folder.
bool isPlainFolder(int dirFd, const dirent &entry);

// True for the reasons a folder below the input directory may not be listable that are its
// own: no permission, gone or swapped for something else, or a path longer than the system
// takes. A run leaves such a folder out and goes on; any other failure stops it.
bool isUnreadableFolderError(int osError);

// For an entry that isPlainFolder() leaves out: the errno that listing it would meet when it
// is a real folder, not hidden, that this process may not read (mode 000 for another user,
// say), so that it can be reported rather than silently left out; 0 for any other entry.
int unreadableFolderError(int dirFd, const dirent &entry);

// The size of a listable file: a regular file, or a link to one, whose name is not hidden.
// Which folder an entry is, whatever path leads to it.
struct FolderId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FolderId &) const = default;
};
// The folder at `path`, following links; empty when it cannot be reached.
std::optional<FolderId> folderId(const QByteArray &path);
// isPlainFolder(), telling which folder it is when it is one.
std::optional<FolderId> plainFolderId(int dirFd, const dirent &entry);

// What a feed needs of a file: its size and its last modification (seconds since the epoch).
struct FileFacts {
    qint64 size = 0;
    qint64 modified = 0;
};
// The facts of `name` in the folder open as `dirFd` when it is, or links to, a regular file.
std::optional<FileFacts> regularFileFacts(int dirFd, const char *name);
// The same for a listable file: a regular file, or a link to one, whose name is not hidden.
// Empty for anything else, including broken links and entries that vanished.
std::optional<FileFacts> plainFileFacts(int dirFd, const dirent &entry);
// The last modification of the folder open as `dirFd`.
std::optional<qint64> folderModified(int dirFd);

// True for an entry that may be a listable file: not hidden, and by its type a regular file,
// a link, or not known without a stat. plainFileFacts() has the final word.
bool mayBePlainFile(const dirent &entry);


} // namespace yf::fs
