// The file of tags already read: SQLite, read whole at a run's start, stored through Qt SQL at its end.
#pragma once

#include "runtime/error.h"
#include "tags/media_details.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHashFunctions>
#include <QString>

#include <optional>
#include <unordered_map>
#include <vector>

namespace yf {

// A media file's details as read when the file had this size and modification time.
struct CachedFile {
    QByteArray name;        // within its folder
    qint64 size = 0;
    qint64 modifiedNs = 0;  // nanoseconds since the epoch
    MediaDetails details;

    bool operator==(const CachedFile &) const = default;
};
// The media files of one folder whose details are known, in the lister's order.
using FolderTags = std::vector<CachedFile>;

// One file's entry in an encoded block, read in place: every view points into the block.
struct CachedEntry {
    QByteArrayView bytes;  // the whole entry: a new block takes an unchanged file's entry as it is
    QByteArrayView name;
    QByteArrayView title, comment, album, artist, albumArtist;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 lengthMs = 0;
    qint32 track = 0;
    qint32 disc = 0;

    // The details it holds, their texts no copies but pointing into the block.
    MediaDetails borrowedDetails() const;
};
// Reads the entry at the front of `rest` into `entry` and moves `rest` past it; false when
// what is left is no whole entry.
bool takeCachedEntry(QByteArrayView &rest, CachedEntry &entry);
// No entry is shorter: its five numbers and six lengths.
constexpr std::size_t kLeastCachedEntryBytes = 6 * sizeof(quint32) + 3 * sizeof(qint64) + 2 * sizeof(qint32);

// One folder's files as the cache holds them, and back. Decoding text that is no such block
// (damaged, say) gives false and no files.
QByteArray encodeFolderTags(const FolderTags &files);
void appendCachedFile(QByteArray &block, const CachedFile &file);
bool decodeFolderTags(QByteArrayView block, FolderTags &files);

struct PathHash {
    std::size_t operator()(const QByteArray &path) const noexcept { return qHash(path); }
};
// Encoded blocks by the folder's path bytes (ending in "/"). A run reads a folder's block
// only when it comes to that folder, so loading the cache costs one row per folder.
using CachedFolders = std::unordered_map<QByteArray, QByteArray, PathHash>;

struct LoadedTagCache {
    CachedFolders folders;
    // The file is no cache of ours (random bytes, another layout): storing starts it afresh.
    bool replace = false;
    // Why nothing could be read from an existing file; the run goes on without it.
    std::optional<Error> problem;
};

// Everything the cache file at `file` holds; nothing, and no problem, when it does not exist.
// Uses one connection of its own, opened and closed on the calling thread.
LoadedTagCache loadTagCache(const QString &file);

// In one transaction: adds or replaces the blocks of `fresh` and drops the folders in `gone`,
// making the file and its folder when missing. With `replace` an existing file is first
// started afresh.
[[nodiscard]] Status storeTagCache(const QString &file, bool replace, const CachedFolders &fresh,
                                   const std::vector<QByteArray> &gone);

} // namespace yf
