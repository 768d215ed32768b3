// The file of tags already read: SQLite through Qt SQL, read whole at a run's start, stored at its end.
#pragma once

#include "runtime/error.h"
#include "tags/media_details.h"

#include <QByteArray>
#include <QHashFunctions>
#include <QString>

#include <unordered_map>
#include <vector>

namespace yf {

// A file's details as read when the file had this size and modification time.
struct CachedDetails {
    qint64 size = 0;
    qint64 modifiedNs = 0;  // nanoseconds since the epoch
    MediaDetails details;
};

struct PathHash {
    std::size_t operator()(const QByteArray &path) const noexcept { return qHash(path); }
};
// By the file's path bytes.
using CachedTags = std::unordered_map<QByteArray, CachedDetails, PathHash>;

struct LoadedTagCache {
    CachedTags entries;
    // The file is no cache of ours (random bytes, another layout): storing starts it afresh.
    bool replace = false;
    // Why nothing could be read from an existing file; the run goes on without it.
    std::optional<Error> problem;
};

// Everything the cache file at `file` holds; nothing, and no problem, when it does not exist.
// Uses one connection of its own, opened and closed on the calling thread.
LoadedTagCache loadTagCache(const QString &file);

// In one transaction: adds or replaces `fresh` and drops the paths in `gone`, making the file
// and its folder when missing. With `replace` an existing file is first started afresh.
[[nodiscard]] Status storeTagCache(const QString &file, bool replace, const CachedTags &fresh,
                                   const std::vector<QByteArray> &gone);

} // namespace yf
