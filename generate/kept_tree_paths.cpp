#include "generate/kept_tree.h"

#include "generate/kept_names.h"

#include <algorithm>

namespace yf {

using kept::nameIn;
using kept::pathIn;

QByteArray Relisted::leftPath(qint32 oldPlace) const
{
    const auto at = std::lower_bound(leftPaths.begin(), leftPaths.end(), oldPlace,
                                     [](const auto &entry, qint32 value) { return entry.first < value; });
    return at != leftPaths.end() && at->first == oldPlace ? at->second : QByteArray();
}

QByteArray KeptTree::folderPath(qint32 folder) const
{
    QByteArray path;
    (void)pathIn(m_folders, m_names, m_root, folder, path);
    return path;
}

QByteArrayView KeptTree::pathInto(std::size_t place, QByteArray &scratch) const
{
    return pathIn(m_folders, m_names, m_root, m_listed[place], scratch);
}

QByteArray KeptTree::path(std::size_t place) const { return folderPath(m_listed[place]); }

std::vector<NameKey> KeptTree::nameKeys(qsizetype skip) const
{
    // Each folder's key extends that of its parent, met before it, by its name and "/". The
    // listed folders' keys then move down to their places, which are never past their own.
    std::vector<NameKey> keys(m_folders.size());
    if (keys.empty())
        return keys;
    const QByteArrayView rootPast = QByteArrayView(m_root).sliced(std::min(skip, m_root.size()));
    keys[0] = NameKey{extendNameKey(kNameKeySeed, rootPast), rootPast.size()};
    for (std::size_t k = 1; k < m_folders.size(); ++k) {
        const KeptFolder &folder = m_folders[k];
        const NameKey &parent = keys[static_cast<std::size_t>(folder.parent)];
        keys[k] = NameKey{extendNameKey(extendNameKey(parent.hash, nameIn(m_names, folder)), "/"),
                          parent.size + folder.nameSize + 1};
    }
    for (std::size_t place = 0; place < m_listed.size(); ++place)
        keys[place] = keys[static_cast<std::size_t>(m_listed[place])];
    keys.resize(m_listed.size());
    return keys;
}

qint32 KeptTree::find(const QByteArray &path) const
{
    if (m_folders.empty() || !path.startsWith(m_root) || !path.endsWith('/'))
        return -1;
    // Name by name from the root: each step looks only among one folder's sub-folders.
    qint32 at = 0;
    for (qsizetype from = m_root.size(); from < path.size();) {
        const qsizetype end = path.indexOf('/', from);
        const QByteArrayView name(path.constData() + from, end - from);
        const KeptFolder &parent = m_folders[static_cast<std::size_t>(at)];
        qint32 found = -1;
        for (qint32 child = parent.firstChild; child < parent.firstChild + parent.childCount; ++child) {
            if (nameIn(m_names, m_folders[static_cast<std::size_t>(child)]) == name) {
                found = child;
                break;
            }
        }
        if (found < 0)
            return -1;
        at = found;
        from = end + 1;
    }
    return at;
}

void KeptTree::appendSkips(SkippedFolders &skipped) const
{
    for (const auto &[at, noted] : m_skips)
        skipped.insert(skipped.end(), noted.begin(), noted.end());
}

std::size_t KeptTree::bytes() const
{
    std::size_t total = m_folders.capacity() * sizeof(KeptFolder) + m_listed.capacity() * sizeof(qint32)
        + static_cast<std::size_t>(m_names.capacity() + m_root.capacity()) + m_skips.capacity() * sizeof(m_skips[0]);
    for (const auto &[at, noted] : m_skips)
        total += noted.capacity() * sizeof(Error);
    return total;
}

} // namespace yf
