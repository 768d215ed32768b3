#include "generate/kept_tree.h"

#include "scan/folder_scan.h"

#include <QHash>
#include <QSet>

#include <algorithm>
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

Status KeptTree::scanAll(const QByteArray &root, std::optional<fs::FolderId> leaveOut, RunObserver *observer,
                         fast::HelperThreads *helpers)
{
    m_folders.clear();
    m_listed.clear();
    m_skips.clear();
    // The scan keeps the listed folders' paths; the unlisted ones' are taken as they are met.
    std::vector<KeptFolder> met;
    auto firstChild = static_cast<qint32>(1);
    const auto onFolder = [&](std::size_t at, const QByteArray &folder, FolderListing &listing) {
        const auto children = static_cast<qint32>(listing.children.size());
        met.push_back(KeptFolder{listing.unlisted ? folder : QByteArray(), firstChild, children,
                                 listing.unlisted ? -1 : 0});
        firstChild += children;
        if (!listing.skipped.empty())
            m_skips.emplace_back(static_cast<qint32>(at), std::move(listing.skipped));
    };
    Result<FolderArray> scanned = scanFolders(root, observer, nullptr, leaveOut, helpers, onFolder);
    if (!scanned.ok()) {
        m_skips.clear();
        return scanned.error();
    }
    m_listed = std::move(scanned).value();
    std::size_t next = 0;
    for (KeptFolder &folder : met) {
        if (folder.listed >= 0)
            folder.path = m_listed[next++];
    }
    m_folders = std::move(met);
    index();
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
    std::vector<std::pair<qint32, SkippedFolders>> skips;  // the new tree's, by ascending index
    const auto noteSkips = [&](std::size_t k, SkippedFolders noted) {
        if (!noted.empty())
            skips.emplace_back(static_cast<qint32>(k), std::move(noted));
    };
    std::vector<qint32> &source = walk.source;
    const auto add = [&](QByteArray path, qint32 from) {
        next.push_back(KeptFolder{std::move(path), 0, 0, 0});
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
            noteSkips(k, std::move(listing.skipped));
            next[k].listed = listing.unlisted ? -1 : 0;
            for (QByteArray &child : listing.children)
                add(std::move(child), kListedNow);
            if (observer)
                observer->foldersFound(static_cast<qsizetype>(next.size()));
        } else if (auto again = walk.relisted.find(from); again != walk.relisted.end()) {
            FolderListing &listing = again->second;
            noteSkips(k, std::move(listing.skipped));
            // Its old sub-folders by path, to tell each child met again from one that is new.
            const KeptFolder &old = m_folders[static_cast<std::size_t>(from)];
            QHash<QByteArrayView, qint32> oldChildren;
            oldChildren.reserve(old.childCount);
            for (qint32 child = old.firstChild; child < old.firstChild + old.childCount; ++child)
                oldChildren.insert(QByteArrayView(m_folders[static_cast<std::size_t>(child)].path), child);
            for (QByteArray &child : listing.children) {
                qint32 was = oldChildren.value(QByteArrayView(child), -1);
                // One that could not be listed before is tried again: it may be readable now.
                if (was >= 0 && (m_folders[static_cast<std::size_t>(was)].listed < 0 || walk.anew.contains(child)))
                    was = kListedNow;
                add(std::move(child), was);
            }
        } else {
            KeptFolder &old = m_folders[static_cast<std::size_t>(from)];
            noteSkips(k, takeSkips(from));
            next[k].listed = old.listed;
            for (qint32 child = old.firstChild; child < old.firstChild + old.childCount; ++child)
                add(m_folders[static_cast<std::size_t>(child)].path, child);
        }
        next[k].firstChild = first;
        next[k].childCount = static_cast<qint32>(next.size()) - first;
    }
    m_folders = std::move(next);
    m_skips = std::move(skips);
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
    m_skips.shrink_to_fit();
    m_listed.clear();
    for (KeptFolder &folder : m_folders) {
        if (folder.listed >= 0) {
            folder.listed = static_cast<qint32>(m_listed.size());
            m_listed.push_back(folder.path);
        }
    }
    m_listed.shrink_to_fit();
}

SkippedFolders KeptTree::takeSkips(qint32 folder)
{
    const auto at = std::lower_bound(m_skips.begin(), m_skips.end(), folder,
                                     [](const auto &entry, qint32 value) { return entry.first < value; });
    return at != m_skips.end() && at->first == folder ? std::move(at->second) : SkippedFolders();
}

qint32 KeptTree::find(const QByteArray &path) const
{
    if (m_folders.empty() || !path.startsWith(m_folders[0].path) || !path.endsWith('/'))
        return -1;
    // Name by name from the root: each step looks only among one folder's sub-folders.
    qint32 at = 0;
    for (qsizetype from = m_folders[0].path.size(); from < path.size();) {
        const QByteArrayView prefix(path.constData(), path.indexOf('/', from) + 1);
        const KeptFolder &parent = m_folders[static_cast<std::size_t>(at)];
        qint32 found = -1;
        for (qint32 child = parent.firstChild; child < parent.firstChild + parent.childCount; ++child) {
            if (QByteArrayView(m_folders[static_cast<std::size_t>(child)].path) == prefix) {
                found = child;
                break;
            }
        }
        if (found < 0)
            return -1;
        at = found;
        from = prefix.size();
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
    // Each path's bytes once, with their header and the allocator's share.
    constexpr std::size_t kHeap = 24 + 16;
    std::size_t total = m_folders.capacity() * sizeof(KeptFolder) + m_listed.capacity() * sizeof(QByteArray)
        + m_skips.capacity() * sizeof(m_skips[0]);
    for (const KeptFolder &folder : m_folders)
        total += kHeap + static_cast<std::size_t>(folder.path.capacity());
    for (const auto &[at, noted] : m_skips)
        total += noted.capacity() * sizeof(Error);
    return total;
}

} // namespace yf
