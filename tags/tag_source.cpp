#include "tags/tag_source.h"

#include <vector>

namespace yf {

TagSource::TagSource(const QString &cacheFile, const QByteArray &treeRoot)
    : m_cacheFile(cacheFile)
    , m_treePrefix(treeRoot.endsWith('/') ? treeRoot : treeRoot + '/')
    , m_reader(treeRoot)
{
    if (!m_cacheFile.isEmpty())
        m_loaded = loadTagCache(m_cacheFile);
}

MediaDetails TagSource::detailsOf(const QByteArray &path, qint64 size, qint64 modifiedNs)
{
    if (const auto known = m_loaded.entries.find(path); known != m_loaded.entries.end()) {
        const CachedDetails &entry = known->second;
        if (entry.size == size && entry.modifiedNs == modifiedNs) {
            m_fromCache.fetch_add(1, std::memory_order_relaxed);
            const std::lock_guard lock(m_mutex);
            m_met.insert(&entry);
            return entry.details;
        }
    }
    std::optional<MediaDetails> read = m_reader.read(path);
    if (!read)
        return {};  // not opened: nothing learnt that a later run could trust
    m_filesRead.fetch_add(1, std::memory_order_relaxed);
    const std::lock_guard lock(m_mutex);
    m_fresh.insert_or_assign(path, CachedDetails{size, modifiedNs, *read});
    return *std::move(read);
}

std::optional<Error> TagSource::finish(bool finished)
{
    if (m_cacheFile.isEmpty())
        return std::nullopt;
    const std::lock_guard lock(m_mutex);
    std::vector<QByteArray> gone;
    if (finished) {
        for (const auto &[path, entry] : m_loaded.entries) {
            if (path.startsWith(m_treePrefix) && !m_met.contains(&entry) && !m_fresh.contains(path))
                gone.push_back(path);
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
