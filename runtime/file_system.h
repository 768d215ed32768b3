// Thin POSIX file-system services: paths as bytes and the entry rules the scan, lister and watcher share.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QString>

#include <dirent.h>
#include <optional>
#include <sys/types.h>

namespace yf::fs {

// Paths travel as the kernel's bytes so that names which are not valid UTF-8 still open.
QByteArray encodePath(const QString &path);
QString displayPath(const QByteArray &path);

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
// The same rule for the entry `name` of the folder at `parent` (ending in "/"), known by its
// name alone (from a change notice, say).
std::optional<FolderId> plainFolderId(const QByteArray &parent, const char *name);

// What a feed needs of a file: its size and its last modification (seconds since the epoch,
// and to the nanosecond, which tells a file edited within the same second apart).
struct FileFacts {
    qint64 size = 0;
    qint64 modified = 0;
    qint64 modifiedNs = 0;
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
