#include "tags/tag_source.h"

#include <vector>

namespace yf {

FolderTagLookup::FolderTagLookup(const TagSource &source, const QByteArray &folder)
    : m_source(&source)
    , m_folder(folder)
{
    const auto block = source.m_loaded.folders.find(folder);
    if (block == source.m_loaded.folders.end())
        return;
    // A damaged block is no files known: checked whole first, so that no part of it is trusted.
    m_knownCount = countCachedEntries(block->second);
    if (m_knownCount <= 0) {
        m_knownCount = 0;
        return;
    }
    m_known = block->second;
    m_next = m_known;
    m_met.reserve(static_cast<std::size_t>(m_knownCount));
}

bool FolderTagLookup::known(QByteArrayView name, CachedEntry &entry)
{
    // From the entry after the last found to the end, then from the start up to it.
    for (QByteArrayView from : {m_next, m_known.first(m_known.size() - m_next.size())}) {
        while (!from.isEmpty() && takeCachedEntry(from, entry)) {
            if (entry.name == name) {
                m_next = from.isEmpty() ? m_known : from;
                return true;
            }
        }
    }
    return false;
}

MediaDetails FolderTagLookup::detailsOf(QByteArrayView name, qint64 size, qint64 modifiedNs)
{
    if (CachedEntry entry; known(name, entry) && entry.size == size && entry.modifiedNs == modifiedNs) {
        ++m_hits;
        m_met.push_back({entry.bytes, 0});
        return entry.borrowedDetails();
    }
    std::optional<MediaDetails> read = m_source->m_reader.read(QByteArray(m_folder).append(name));
    if (!read)
        return {};  // not opened: nothing learnt that a later run could trust
    m_met.push_back({{}, m_read.size()});
    m_read.push_back(CachedFile{name.toByteArray(), size, modifiedNs, *read});
    return *std::move(read);
}

QByteArray FolderTagLookup::blockNow() const
{
    QByteArray block;
    for (const MetFile &met : m_met) {
        if (!met.entry.isEmpty())
            block.append(met.entry);
        else
            appendCachedFile(block, m_read[met.read]);
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
    const std::lock_guard lock(m_mutex);
    if (changed)
        m_fresh.insert_or_assign(done.m_folder, std::move(block));
    m_met.insert(std::move(done.m_folder));
}

std::optional<Error> TagSource::finish(bool finished)
{
    if (m_cacheFile.isEmpty())
        return std::nullopt;
    const std::lock_guard lock(m_mutex);
    std::vector<QByteArray> gone;
    if (finished) {
        for (const auto &[folder, block] : m_loaded.folders) {
            if (folder.startsWith(m_treePrefix) && !m_met.contains(folder))
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
