#include "tags/tag_source.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <system_error>
#include <vector>

namespace yf {

FolderTagLookup::FolderTagLookup(const TagSource &source, const QByteArray &folder)
    : m_source(&source)
    , m_folder(folder)
{
    const auto block = source.m_loaded.folders.find(folder);
    if (block == source.m_loaded.folders.end())
        return;
    m_cachedPath = &block->first;
    QByteArrayView rest = block->second;
    m_known.reserve(static_cast<std::size_t>(rest.size()) / kLeastCachedEntryBytes);
    while (!rest.isEmpty()) {
        if (!takeCachedEntry(rest, m_known.emplace_back())) {
            m_known.clear();  // a damaged block is no files known: no part of it is trusted
            return;
        }
    }
    m_met.reserve(m_known.size());
}

namespace {

bool sameBytes(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size()
        && (a.isEmpty() || std::memcmp(a.data(), b.data(), static_cast<std::size_t>(a.size())) == 0);
}

} // namespace

const CachedEntry *FolderTagLookup::known(QByteArrayView name)
{
    const std::size_t count = m_known.size();
    // Most often the next one.
    if (m_cursor < count && sameBytes(m_known[m_cursor].name, name))
        return &m_known[m_cursor++];
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t at = (m_cursor + k) % count;
        if (sameBytes(m_known[at].name, name)) {
            m_cursor = at + 1;
            return &m_known[at];
        }
    }
    return nullptr;
}

MediaDetails FolderTagLookup::detailsOf(QByteArrayView name, qint64 size, qint64 modifiedNs)
{
    if (const CachedEntry *entry = known(name); entry && entry->size == size && entry->modifiedNs == modifiedNs) {
        ++m_hits;
        m_met.push_back(entry - m_known.data());
        return entry->borrowedDetails();
    }
    std::optional<MediaDetails> read = m_source->m_reader.read(QByteArray(m_folder).append(name));
    if (!read)
        return {};  // not opened: nothing learnt that a later run could trust
    m_met.push_back(-1 - static_cast<qsizetype>(m_read.size()));
    m_read.push_back(CachedFile{name.toByteArray(), size, modifiedNs, *read});
    return *std::move(read);
}

QByteArray FolderTagLookup::blockNow() const
{
    QByteArray block;
    for (const qsizetype at : m_met) {
        if (at >= 0)
            block.append(m_known[static_cast<std::size_t>(at)].bytes);
        else
            appendCachedFile(block, m_read[static_cast<std::size_t>(-1 - at)]);
    }
    return block;
}

TagSource::TagSource(const QString &cacheFile, const QByteArray &treeRoot)
    : m_cacheFile(cacheFile)
    , m_treePrefix(treeRoot.endsWith('/') ? treeRoot : treeRoot + '/')
    , m_reader(treeRoot)
{
    if (!m_cacheFile.isEmpty())
        m_loaded = loadTagCache(m_cacheFile);
}

TagSource::TagSource(const QString &cacheFile, const QByteArray &treeRoot, LoadedTagCache loaded)
    : m_cacheFile(cacheFile)
    , m_treePrefix(treeRoot.endsWith('/') ? treeRoot : treeRoot + '/')
    , m_reader(treeRoot)
    , m_loaded(std::move(loaded))
{
}

std::future<LoadedTagCache> loadTagCacheAside(const QString &cacheFile)
{
    try {
        return std::async(std::launch::async, loadTagCache, cacheFile);
    } catch (const std::system_error &) {
        // No thread to be had: the cache is read when asked for, as it would be without one.
        return std::async(std::launch::deferred, loadTagCache, cacheFile);
    }
}

FolderTagLookup TagSource::lookupIn(const QByteArray &folder) const { return FolderTagLookup(*this, folder); }

void TagSource::keep(FolderTagLookup &&done)
{
    const auto read = static_cast<qsizetype>(done.m_read.size());
    m_filesRead.fetch_add(read, std::memory_order_relaxed);
    m_fromCache.fetch_add(done.m_hits, std::memory_order_relaxed);
    if (m_cacheFile.isEmpty())
        return;
    // Unchanged when every file known was met again as it was, and no other was read.
    const bool changed = !done.unchanged();
    QByteArray block;
    if (changed)
        block = done.blockNow();
    if (!changed && !done.m_cachedPath)
        return;  // nothing to store, nor a folder of the cache to keep
    const std::lock_guard lock(m_mutex);
    if (changed)
        m_fresh.insert_or_assign(std::move(done.m_folder), std::move(block));
    if (done.m_cachedPath)
        m_metCached.push_back(done.m_cachedPath);
}

std::optional<Error> TagSource::finish(bool finished)
{
    if (m_cacheFile.isEmpty())
        return std::nullopt;
    const std::lock_guard lock(m_mutex);
    std::vector<QByteArray> gone;
    if (finished) {
        std::sort(m_metCached.begin(), m_metCached.end(), std::less<>());
        for (const auto &[folder, block] : m_loaded.folders) {
            if (folder.startsWith(m_treePrefix)
                && !std::binary_search(m_metCached.begin(), m_metCached.end(), &folder, std::less<>()))
                gone.push_back(folder);
        }
    }
    // An unchanged run leaves the file as it is.
    if (m_fresh.empty() && gone.empty())
        return m_loaded.problem;
    const Status stored = storeTagCache(m_cacheFile, m_loaded.replace, m_fresh, gone);
    if (!stored.ok())
        return stored.error();
    m_loaded.replace = false;
    m_fresh.clear();
    return std::nullopt;
}

} // namespace yf
