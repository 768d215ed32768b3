#include "generate/kept_tree.h"

#include "generate/kept_names.h"
#include "scan/folder_scan.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace yf {

using kept::nameIn;
using kept::pathIn;

namespace {

// "<parent>/<name>/" to "<parent>/"; the root's doubled separator stays as it is.
QByteArray parentOf(const QByteArray &path)
{
    const qsizetype cut = path.lastIndexOf('/', path.size() - 2);
    return cut < 0 ? QByteArray() : path.left(cut + 1);
}

// While a tree is walked again: the folder's place in the tree before, none for one listed now.
constexpr qint32 kListedNow = -1;

// Bytes of names no folder uses that the block of names may hold beyond those in use.
constexpr qsizetype kUnusedNameSlack = 64 * 1024;

// Gives back the room a vector holds beyond an eighth more than it uses, which a tree put
// right again and again would otherwise copy for nothing.
template <typename T>
void dropSlack(std::vector<T> &held)
{
    if (held.capacity() - held.size() > held.size() / 8 + 16)
        held.shrink_to_fit();
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
    // The old paths of the listed folders the new tree does not carry on, by old listed place.
    std::vector<std::pair<qint32, QByteArray>> left;
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
    m_names.squeeze();
    index();
    return {};
}

Result<Relisted> KeptTree::relist(const std::vector<QByteArray> &subtrees,
                                             std::optional<fs::FolderId> leaveOut, RunObserver *observer)
{
    Walk walk{m_root, leaveOut, false, {}, {}, {}, {}};
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
    Relisted relisted{std::vector<qint32>(m_listed.size(), kListedNow), std::move(walk.left)};
    for (std::size_t k = 0; k < m_folders.size(); ++k) {
        const qint32 from = walk.source[k];
        if (m_folders[k].listed >= 0 && from != kListedNow)
            relisted.was[static_cast<std::size_t>(m_folders[k].listed)] = wasListed[static_cast<std::size_t>(from)];
    }
    return relisted;
}

std::optional<Error> KeptTree::rebuild(Walk &walk, RunObserver *observer)
{
    // A folder carried on keeps its name where it is and new names go to the end of the block,
    // unless the names no folder uses would then outweigh those in use: the new tree's names
    // are then copied into a block of their own.
    qsizetype usedNames = 0;
    for (const KeptFolder &folder : m_folders)
        usedNames += folder.nameSize;
    const bool copyNames = m_names.size() > 2 * usedNames + kUnusedNameSlack;
    QByteArray copiedNames;
    if (copyNames)
        copiedNames.reserve(usedNames + 256);
    QByteArray &names = copyNames ? copiedNames : m_names;
    const auto carried = [&](qint32 parentIndex, const KeptFolder &old) {
        if (copyNames)
            return namedChild(parentIndex, nameIn(m_names, old), names);
        KeptFolder kept;
        kept.parent = parentIndex;
        kept.nameAt = old.nameAt;
        kept.nameSize = old.nameSize;
        kept.listed = 0;  // until its own listing, or its old one, says otherwise
        return kept;
    };

    std::vector<KeptFolder> next;
    next.reserve(m_folders.size() + 16);
    std::vector<std::pair<qint32, SkippedFolders>> skips;  // the new tree's, by ascending index
    const auto noteSkips = [&](std::size_t k, SkippedFolders noted) {
        if (!noted.empty())
            skips.emplace_back(static_cast<qint32>(k), std::move(noted));
    };
    std::vector<qint32> &source = walk.source;
    source.reserve(next.capacity());
    next.emplace_back().listed = 0;
    source.push_back(walk.freshRoot ? kListedNow : 0);
    if (walk.freshRoot)
        m_root = walk.root;
    if (observer)
        observer->foldersFound(1);
    QByteArray path;
    std::vector<qint32> metAgain;
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
            (void)pathIn(next, names, m_root, self, path);
            {
                // Its old sub-folders by name, to tell each child met again from one that is
                // new. The views are into the names, which grow only once it is asked.
                const KeptFolder &old = m_folders[static_cast<std::size_t>(from)];
                QHash<QByteArrayView, qint32> oldChildren;
                oldChildren.reserve(old.childCount);
                for (qint32 child = old.firstChild; child < old.firstChild + old.childCount; ++child)
                    oldChildren.insert(nameIn(m_names, m_folders[static_cast<std::size_t>(child)]), child);
                metAgain.clear();
                for (const QByteArray &child : listing.children)
                    metAgain.push_back(oldChildren.value(QByteArrayView(child).sliced(path.size()).chopped(1), -1));
            }
            for (std::size_t c = 0; c < listing.children.size(); ++c) {
                qint32 was = metAgain[c];
                next.push_back(was >= 0 ? carried(self, m_folders[static_cast<std::size_t>(was)])
                                        : childOf(self, path, listing.children[c], names));
                // One that could not be listed before is tried again: it may be readable now.
                if (was >= 0
                    && (m_folders[static_cast<std::size_t>(was)].listed < 0 || walk.anew.contains(listing.children[c])))
                    was = kListedNow;
                source.push_back(was);
            }
        } else {
            const KeptFolder &old = m_folders[static_cast<std::size_t>(from)];
            noteSkips(k, takeSkips(from));
            next[k].listed = old.listed;
            for (qint32 child = old.firstChild; child < old.firstChild + old.childCount; ++child) {
                next.push_back(carried(self, m_folders[static_cast<std::size_t>(child)]));
                source.push_back(child);
            }
        }
        next[k].firstChild = first;
        next[k].childCount = static_cast<qint32>(next.size()) - first;
    }

    // The listed folders not carried on are named by their old paths, while the old tree is here.
    std::vector<char> carriedOn(m_folders.size(), 0);
    for (const qint32 was : source) {
        if (was != kListedNow)
            carriedOn[static_cast<std::size_t>(was)] = 1;
    }
    for (std::size_t old = 0; old < m_folders.size(); ++old) {
        if (m_folders[old].listed >= 0 && !carriedOn[old])
            walk.left.emplace_back(m_folders[old].listed, folderPath(static_cast<qint32>(old)));
    }
    m_folders = std::move(next);
    if (copyNames)
        m_names = std::move(copiedNames);
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
    dropSlack(m_folders);
    dropSlack(m_skips);
    if (m_names.capacity() > 2 * m_names.size() + kUnusedNameSlack)
        m_names.squeeze();
    m_listed.clear();
    for (std::size_t k = 0; k < m_folders.size(); ++k) {
        KeptFolder &folder = m_folders[k];
        if (folder.listed >= 0) {
            folder.listed = static_cast<qint32>(m_listed.size());
            m_listed.push_back(static_cast<qint32>(k));
        }
    }
    dropSlack(m_listed);
}

SkippedFolders KeptTree::takeSkips(qint32 folder)
{
    const auto at = std::lower_bound(m_skips.begin(), m_skips.end(), folder,
                                     [](const auto &entry, qint32 value) { return entry.first < value; });
    return at != m_skips.end() && at->first == folder ? std::move(at->second) : SkippedFolders();
}

} // namespace yf
