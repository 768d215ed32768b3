// A run's source of media details: the cache where a file is unchanged, TagLib where not.
#pragma once

#include "runtime/error.h"
#include "tags/media_details.h"
#include "tags/tag_cache.h"
#include "tags/tag_reader.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <mutex>
#include <optional>
#include <unordered_set>

namespace yf {

// How a run came by its media details.
struct TagCounts {
    qsizetype filesRead = 0;  // media files opened
    qsizetype fromCache = 0;  // files left unopened, unchanged since their tags were read
};

// Made on the run's thread, which reads the cache then; detailsOf() may then be called from
// any thread, each file by one thread at a time, until finish() on the run's thread.
class TagSource {
public:
    // `cacheFile` empty: no cache, every file is read. `treeRoot`: the input directory.
    TagSource(const QString &cacheFile, const QByteArray &treeRoot);

    // The details of the file at `path`, which the lister found with this size and
    // modification time (nanoseconds since the epoch).
    MediaDetails detailsOf(const QByteArray &path, qint64 size, qint64 modifiedNs);

    TagCounts counts() const { return {m_filesRead.load(), m_fromCache.load()}; }

    // Stores what this run read. When the run `finished` (it saw every folder), the entries
    // of files below the tree that it met no more are dropped as well. A cache that cannot
    // be read or stored only costs the next run time: this is why, or nothing.
    std::optional<Error> finish(bool finished);

private:
    QString m_cacheFile;
    QByteArray m_treePrefix;  // the tree's path followed by "/"
    TagReader m_reader;
    LoadedTagCache m_loaded;  // read-only once made

    std::mutex m_mutex;  // guards the two below
    CachedTags m_fresh;  // read this run
    std::unordered_set<const CachedDetails *> m_met;  // loaded entries this run found unchanged
    std::atomic<qsizetype> m_filesRead{0};
    std::atomic<qsizetype> m_fromCache{0};
};

} // namespace yf
