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

// The path of `folders[folder]` written into `into`: the root, then each name down to it with "/".
QByteArrayView pathIn(const std::vector<KeptFolder> &folders, const QByteArray &names, const QByteArray &root,
                      qint32 folder, QByteArray &into)
{
    qsizetype size = root.size();
    for (qint32 at = folder; at > 0; at = folders[static_cast<std::size_t>(at)].parent)
        size += folders[static_cast<std::size_t>(at)].nameSize + 1;
    into.resize(size);
    char *end = into.data() + size;
    for (qint32 at = folder; at > 0; at = folders[static_cast<std::size_t>(at)].parent) {
        const KeptFolder &f = folders[static_cast<std::size_t>(at)];
        *--end = '/';
        end -= f.nameSize;
        std::copy_n(names.constData() + f.nameAt, f.nameSize, end);
    }
    std::copy_n(root.constData(), root.size(), into.data());
    return into;
}

QByteArrayView nameIn(const QByteArray &names, const KeptFolder &folder)
{
    return QByteArrayView(names.constData() + folder.nameAt, folder.nameSize);
}

// A folder below the one at `parentIndex`, named `name`: the name goes to the end of `names`.
KeptFolder namedChild(qint32 parentIndex, QByteArrayView name, QByteArray &names)
{
    KeptFolder kept;
    kept.parent = parentIndex;
    kept.nameAt = static_cast<qint32>(names.size());
    kept.nameSize = static_cast<qint32>(name.size());
    kept.listed = 0;  // until its own listing says otherwise
    names.append(name);
    return kept;
}

// The same for a child as a listing of the parent at `parentPath` gives it: that path, the
// child's name and "/".
KeptFolder childOf(qint32 parentIndex, QByteArrayView parentPath, QByteArrayView child, QByteArray &names)
{
    return namedChild(parentIndex, child.sliced(parentPath.size()).chopped(1), names);
}

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
    m_names.clear();
    m_listed.clear();
    m_skips.clear();
    m_root = root;
    // Each folder is met after its parent, which named it: the scan's paths are not kept.
    std::vector<KeptFolder> met(1);
    QByteArray names;
    const auto onFolder = [&](std::size_t at, const QByteArray &folder, FolderListing &listing) {
        KeptFolder &self = met[at];
        self.firstChild = static_cast<qint32>(met.size());
        self.childCount = static_cast<qint32>(listing.children.size());
        self.listed = listing.unlisted ? -1 : 0;
        for (const QByteArray &child : listing.children)
            met.push_back(childOf(static_cast<qint32>(at), folder, child, names));
        if (!listing.skipped.empty())
            m_skips.emplace_back(static_cast<qint32>(at), std::move(listing.skipped));
    };
    Result<FolderArray> scanned = scanFolders(root, observer, nullptr, leaveOut, helpers, onFolder);
    if (!scanned.ok()) {
        m_skips.clear();
        return scanned.error();
    }
    m_folders = std::move(met);
    m_names = std::move(names);
    index();
    return {};
}

Result<std::vector<qint32>> KeptTree::relist(const std::vector<QByteArray> &subtrees,
                                             std::optional<fs::FolderId> leaveOut, RunObserver *observer)
{
    Walk walk{m_root, leaveOut, false, {}, {}, {}};
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
        const QByteArray path = folderPath(at);
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
    QByteArray names;
    names.reserve(m_names.size() + 256);
    std::vector<std::pair<qint32, SkippedFolders>> skips;  // the new tree's, by ascending index
    const auto noteSkips = [&](std::size_t k, SkippedFolders noted) {
        if (!noted.empty())
            skips.emplace_back(static_cast<qint32>(k), std::move(noted));
    };
    std::vector<qint32> &source = walk.source;
    next.emplace_back().listed = 0;
    source.push_back(walk.freshRoot ? kListedNow : 0);
    if (walk.freshRoot)
        m_root = walk.root;
    if (observer)
        observer->foldersFound(1);
    QByteArray path;
    // Breadth-first, as the scan: each folder's sub-folders are appended when its turn comes.
    for (std::size_t k = 0; k < next.size(); ++k) {
        if (observer && observer->cancelRequested())
            return Error::cancelled();
        const qint32 from = source[k];
        const auto first = static_cast<qint32>(next.size());
        const auto self = static_cast<qint32>(k);
        if (from == kListedNow) {
            (void)pathIn(next, names, m_root, self, path);
            FolderListing listing = listFolder(path, k == 0, walk.leaveOut, true);
            if (listing.failure)
                return *listing.failure;
            noteSkips(k, std::move(listing.skipped));
            next[k].listed = listing.unlisted ? -1 : 0;
            for (const QByteArray &child : listing.children) {
                next.push_back(childOf(self, path, child, names));
                source.push_back(kListedNow);
            }
            if (observer)
                observer->foldersFound(static_cast<qsizetype>(next.size()));
        } else if (auto again = walk.relisted.find(from); again != walk.relisted.end()) {
            FolderListing &listing = again->second;
            noteSkips(k, std::move(listing.skipped));
            // Its old sub-folders by name, to tell each child met again from one that is new.
            const KeptFolder &old = m_folders[static_cast<std::size_t>(from)];
            QHash<QByteArrayView, qint32> oldChildren;
            oldChildren.reserve(old.childCount);
            for (qint32 child = old.firstChild; child < old.firstChild + old.childCount; ++child)
                oldChildren.insert(nameIn(m_names, m_folders[static_cast<std::size_t>(child)]), child);
            (void)pathIn(next, names, m_root, self, path);
            for (const QByteArray &child : listing.children) {
                KeptFolder added = childOf(self, path, child, names);
                qint32 was = oldChildren.value(nameIn(names, added), -1);
                // One that could not be listed before is tried again: it may be readable now.
                if (was >= 0 && (m_folders[static_cast<std::size_t>(was)].listed < 0 || walk.anew.contains(child)))
                    was = kListedNow;
                next.push_back(added);
                source.push_back(was);
            }
        } else {
            const KeptFolder &old = m_folders[static_cast<std::size_t>(from)];
            noteSkips(k, takeSkips(from));
            next[k].listed = old.listed;
            for (qint32 child = old.firstChild; child < old.firstChild + old.childCount; ++child) {
                next.push_back(namedChild(self, nameIn(m_names, m_folders[static_cast<std::size_t>(child)]), names));
                source.push_back(child);
            }
        }
        next[k].firstChild = first;
        next[k].childCount = static_cast<qint32>(next.size()) - first;
    }
    m_folders = std::move(next);
    m_names = std::move(names);
    m_skips = std::move(skips);
    index();
    return std::nullopt;
}

qint32 KeptTree::nearestListed(QByteArray path) const
{
    const QByteArray &root = m_root;
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
    m_names.squeeze();
    m_skips.shrink_to_fit();
    m_listed.clear();
    for (std::size_t k = 0; k < m_folders.size(); ++k) {
        KeptFolder &folder = m_folders[k];
        if (folder.listed >= 0) {
            folder.listed = static_cast<qint32>(m_listed.size());
            m_listed.push_back(static_cast<qint32>(k));
        }
    }
    m_listed.shrink_to_fit();
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

SkippedFolders KeptTree::takeSkips(qint32 folder)
{
    const auto at = std::lower_bound(m_skips.begin(), m_skips.end(), folder,
                                     [](const auto &entry, qint32 value) { return entry.first < value; });
    return at != m_skips.end() && at->first == folder ? std::move(at->second) : SkippedFolders();
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
