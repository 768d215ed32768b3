#include "generate/kept_tree.h"

#include <QSet>

#include <unordered_map>
#include <utility>

namespace yf {

namespace {

// "<parent>/<name>/" to "<parent>/"; the root's doubled separator stays as it is.
QByteArray parentOf(const QByteArray &path)
{
    const qsizetype cut = path.lastIndexOf('/', path.size() - 2);
    return cut < 0 ? QByteArray() : path.left(cut + 1);
}

// While a tree is walked again: the folder's place in the tree before, none for one listed now.
constexpr qint32 kListedNow = -1;

} // namespace

// What a walk takes from the old tree and what it lists anew.
struct KeptTree::Walk {
    QByteArray root;
    std::optional<fs::FolderId> leaveOut;
    bool freshRoot = false;
    // Folders of the old tree listed again already, by their index there.
    std::unordered_map<qint32, FolderListing> relisted;
    // Paths whose subtrees are listed anew even where the old tree had them.
    QSet<QByteArray> anew;
    // For each folder of the new tree, its index in the old one or kListedNow.
    std::vector<qint32> source;
};

Status KeptTree::scanAll(const QByteArray &root, std::optional<fs::FolderId> leaveOut, RunObserver *observer)
{
    m_folders.clear();
    m_listed.clear();
    m_byPath.clear();
    Walk walk{root, leaveOut, true, {}, {}, {}};
    if (std::optional<Error> failed = rebuild(walk, observer)) {
        m_folders.clear();
        index();
        return *failed;
    }
    return {};
}

Result<std::vector<qint32>> KeptTree::relist(const std::vector<QByteArray> &subtrees,
                                             std::optional<fs::FolderId> leaveOut, RunObserver *observer)
{
    Walk walk{m_folders.at(0).path, leaveOut, false, {}, {}, {}};
    std::vector<qint32> pending;  // folders to list again
    for (QByteArray path : subtrees) {
        if (!path.endsWith('/'))
            path.append('/');
        if (path == walk.root)
            walk.freshRoot = true;
        if (path.size() <= walk.root.size() || !path.startsWith(walk.root))
            continue;
        walk.anew.insert(path);
        pending.push_back(nearestListed(parentOf(path)));
    }
    // A folder that no longer lists went, or changed, itself: the one above it is listed instead.
    while (!walk.freshRoot && !pending.empty()) {
        const qint32 at = pending.back();
        pending.pop_back();
        if (walk.relisted.contains(at))
            continue;
        const QByteArray &path = m_folders[static_cast<std::size_t>(at)].path;
        FolderListing listing = listFolder(path, at == 0, leaveOut, true);
        if (listing.failure)
            return *listing.failure;
        if (listing.unlisted) {
            walk.anew.insert(path);
            pending.push_back(nearestListed(parentOf(path)));
            continue;
        }
        walk.relisted.emplace(at, std::move(listing));
    }

    std::vector<qint32> wasListed;  // by old index: the listed place it had
    wasListed.reserve(m_folders.size());
    for (const KeptFolder &folder : m_folders)
        wasListed.push_back(folder.listed);
    if (std::optional<Error> failed = rebuild(walk, observer))
        return *failed;
    std::vector<qint32> before(m_listed.size(), kListedNow);
    for (std::size_t k = 0; k < m_folders.size(); ++k) {
        const qint32 from = walk.source[k];
        if (m_folders[k].listed >= 0 && from != kListedNow)
            before[static_cast<std::size_t>(m_folders[k].listed)] = wasListed[static_cast<std::size_t>(from)];
    }
    return before;
}

std::optional<Error> KeptTree::rebuild(Walk &walk, RunObserver *observer)
{
    std::vector<KeptFolder> next;
    next.reserve(m_folders.size() + 16);
    std::vector<qint32> &source = walk.source;
    const auto add = [&](QByteArray path, qint32 from) {
        next.push_back(KeptFolder{std::move(path), {}, 0, 0, 0});
        source.push_back(from);
    };
    add(walk.freshRoot ? walk.root : m_folders.at(0).path, walk.freshRoot ? kListedNow : 0);
    if (observer)
        observer->foldersFound(1);
    // Breadth-first, as the scan: each folder's sub-folders are appended when its turn comes.
    for (std::size_t k = 0; k < next.size(); ++k) {
        if (observer && observer->cancelRequested())
            return Error::cancelled();
        const qint32 from = source[k];
        const auto first = static_cast<qint32>(next.size());
        if (from == kListedNow) {
            FolderListing listing = listFolder(next[k].path, k == 0, walk.leaveOut, true);
            if (listing.failure)
                return *listing.failure;
            next[k].skips = std::move(listing.skipped);
            next[k].listed = listing.unlisted ? -1 : 0;
            for (QByteArray &child : listing.children)
                add(std::move(child), kListedNow);
            if (observer)
                observer->foldersFound(static_cast<qsizetype>(next.size()));
        } else if (auto again = walk.relisted.find(from); again != walk.relisted.end()) {
            FolderListing &listing = again->second;
            next[k].skips = std::move(listing.skipped);
            for (QByteArray &child : listing.children) {
                qint32 was = find(child);
                // One that could not be listed before is tried again: it may be readable now.
                if (was >= 0 && (m_folders[static_cast<std::size_t>(was)].listed < 0 || walk.anew.contains(child)))
                    was = kListedNow;
                add(std::move(child), was);
            }
        } else {
            KeptFolder &old = m_folders[static_cast<std::size_t>(from)];
            next[k].skips = std::move(old.skips);
            next[k].listed = old.listed;
            for (qint32 child = old.firstChild; child < old.firstChild + old.childCount; ++child)
                add(m_folders[static_cast<std::size_t>(child)].path, child);
        }
        next[k].firstChild = first;
        next[k].childCount = static_cast<qint32>(next.size()) - first;
    }
    m_folders = std::move(next);
    index();
    return std::nullopt;
}

qint32 KeptTree::nearestListed(QByteArray path) const
{
    const QByteArray &root = m_folders.at(0).path;
    while (path.size() > root.size() && path.startsWith(root)) {
        const qint32 at = find(path);
        if (at >= 0 && m_folders[static_cast<std::size_t>(at)].listed >= 0)
            return at;
        path = parentOf(path);
    }
    return 0;
}

void KeptTree::index()
{
    m_folders.shrink_to_fit();
    m_listed.clear();
    m_byPath.clear();
    m_byPath.reserve(static_cast<qsizetype>(m_folders.size()));
    for (std::size_t k = 0; k < m_folders.size(); ++k) {
        KeptFolder &folder = m_folders[k];
        if (folder.listed >= 0) {
            folder.listed = static_cast<qint32>(m_listed.size());
            m_listed.push_back(folder.path);
        }
        m_byPath.insert(folder.path, static_cast<qint32>(k));
    }
    m_listed.shrink_to_fit();
}

qint32 KeptTree::find(const QByteArray &path) const { return m_byPath.value(path, -1); }

void KeptTree::appendSkips(SkippedFolders &skipped) const
{
    for (const KeptFolder &folder : m_folders)
        skipped.insert(skipped.end(), folder.skips.begin(), folder.skips.end());
}

std::size_t KeptTree::bytes() const
{
    // Each path's bytes once, with their header; each hash entry a node and a share of its table.
    constexpr std::size_t kHeap = 24;
    constexpr std::size_t kHashEntry = sizeof(QByteArray) + sizeof(qint32) + 16;
    std::size_t total = m_folders.capacity() * sizeof(KeptFolder) + m_listed.capacity() * sizeof(QByteArray)
        + static_cast<std::size_t>(m_byPath.capacity()) * kHashEntry;
    for (const KeptFolder &folder : m_folders)
        total += kHeap + static_cast<std::size_t>(folder.path.capacity()) + folder.skips.capacity() * sizeof(Error);
    return total;
}

} // namespace yf
