// A run's source of media details: the cache where a file is unchanged, TagLib where not.
#pragma once

#include "runtime/error.h"
#include "tags/media_details.h"
#include "tags/tag_cache.h"
#include "tags/tag_reader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

namespace yf {

class TagSource;

// Starts loadTagCache(`cacheFile`) on a thread of its own, so that a run can scan its tree
// meanwhile; on this thread when get() is called if no thread can be started.
std::future<LoadedTagCache> loadTagCacheAside(const QString &cacheFile);

// How a run came by its media details.
struct TagCounts {
    qsizetype filesRead = 0;  // media files opened
    qsizetype fromCache = 0;  // files left unopened, unchanged since their tags were read
};

// The details of one folder's files, asked by the one thread that makes the folder's feed.
class FolderTagLookup {
public:
    // The details of the file `name` of the folder, which the lister found with this size
    // and modification time (nanoseconds since the epoch): from the cache when both are
    // those it had when read, else read now. Texts from the cache point into it: they are
    // valid while the source is.
    MediaDetails detailsOf(QByteArrayView name, qint64 size, qint64 modifiedNs);

private:
    friend class TagSource;
    explicit FolderTagLookup(const TagSource &source, const QByteArray &folder);
    // The cached entry of `name`, looked for first where the last one was found, since files
    // come in the order they were stored.
    const CachedEntry *known(QByteArrayView name);
    bool unchanged() const { return m_read.empty() && m_hits == static_cast<qsizetype>(m_known.size()); }

    // The folder's entries as they are now, in order: what the cache gets when they changed.
    QByteArray blockNow() const;

    const TagSource *m_source;
    QByteArray m_folder;  // ends in "/"
    const QByteArray *m_cachedPath = nullptr;  // the folder's key in the source's loaded cache, if there
    // As the cache had them, read in place from the source's loaded block; none when damaged.
    std::vector<CachedEntry> m_known;
    FolderTags m_read;  // read now
    // The files met, in order: an index into m_known, or -1 - an index into m_read.
    std::vector<qsizetype> m_met;
    std::size_t m_cursor = 0;  // where the next name is looked for first: files come in the same order
    qsizetype m_hits = 0;
};

// Made on the run's thread, which reads the cache then unless it is given it; lookupIn() and
// keep() may then be called from any thread until finish() on the run's thread.
class TagSource {
public:
    // `cacheFile` empty: no cache, every file is read. `treeRoot`: the input directory.
    TagSource(const QString &cacheFile, const QByteArray &treeRoot);
    // The same with the cache as loadTagCache(`cacheFile`) read it already.
    TagSource(const QString &cacheFile, const QByteArray &treeRoot, LoadedTagCache loaded);

    // Starts on the folder at `folder` (its path ending in "/").
    FolderTagLookup lookupIn(const QByteArray &folder) const;
    // Takes what the lookups of a folder learnt, for the cache.
    void keep(FolderTagLookup &&done);

    TagCounts counts() const { return {m_filesRead.load(), m_fromCache.load()}; }

    // Stores what this run learnt. When the run `finished` (it saw every folder), the folders
    // below the tree that it met no more are dropped as well. A cache that cannot be read or
    // stored only costs the next run time: this says why, or nothing.
    std::optional<Error> finish(bool finished);

private:
    friend class FolderTagLookup;

    QString m_cacheFile;
    QByteArray m_treePrefix;  // the tree's path followed by "/"
    TagReader m_reader;
    LoadedTagCache m_loaded;  // read-only once made

    std::mutex m_mutex;  // guards the two below
    CachedFolders m_fresh;  // folders whose files changed this run
    // The folders of the loaded cache this run came to, by their keys there: what it did not
    // come to is gone. Addresses, so that an unchanged folder costs no hashing of its path.
    std::vector<const QByteArray *> m_metCached;
    std::atomic<qsizetype> m_filesRead{0};
    std::atomic<qsizetype> m_fromCache{0};
};

} // namespace yf
