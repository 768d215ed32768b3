#include "cli/tree_watcher.h"

#include "cli/folder_walk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace yf::cli {

namespace {

// IN_MODIFY keeps the quiet time from running out while a big file is still being copied.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE
    | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

// The folder's absolute path, ending in "/" as the scan's paths do.
QByteArray cleanDir(const QString &path)
{
    return fs::encodePath(QDir::cleanPath(QDir(path).absolutePath())) + '/';
}

// The folder's path with every link resolved, as the kernel reaches it, ending in "/"; as
// given when it cannot be resolved (a folder not made yet).
QByteArray resolvedDir(const QString &path)
{
    const QByteArray given = cleanDir(path);
    char resolved[PATH_MAX];
    if (::realpath(given.constData(), resolved) == nullptr)
        return given;
    QByteArray dir(resolved);
    return dir.endsWith('/') ? dir : dir + '/';
}

// Only whether the output directory itself goes: what the run writes into it is no change.
constexpr std::uint32_t kOutputMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The path as it was before the "/" was added: what is watched and what messages name. A
// trailing "/" would also make the kernel follow a link put in the folder's place.
QByteArray withoutSlash(const QByteArray &folder) { return folder.chopped(1); }

} // namespace

TreeWatcher::TreeWatcher(const QString &root, const QString &outputDir, const QString &settingsPath,
                         AddWatch addWatch, QString limitFile)
    : m_root(resolvedDir(root)), m_scanRoot(fs::encodePath(root) + '/'), m_outputPath(fs::encodePath(outputDir)), m_addWatch(std::move(addWatch)),
      m_limitFile(std::move(limitFile))
{
    if (!m_addWatch)
        m_addWatch = [](int fd, const char *path, std::uint32_t mask) { return ::inotify_add_watch(fd, path, mask); };
    m_output = fs::folderId(m_outputPath);
    const QFileInfo settings(settingsPath);
    m_settingsDir = resolvedDir(settings.absolutePath());
    m_settingsName = fs::encodePath(settings.fileName());
}

TreeWatcher::~TreeWatcher()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

Status TreeWatcher::open()
{
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return Error::fromErrno(ErrorKind::WatchTree, QStringLiteral("Cannot watch the input directory"),
                                fs::displayPath(withoutSlash(m_root)), errno);
    return {};
}

Status TreeWatcher::watchTree(const QByteArray &top, int parentWd, WatchedFolders &into, bool distrustFailures,
                              std::vector<int> *placed)
{
    std::optional<Error> failure;
    std::vector<int> wds;  // by place in the walk
    forEachFolder(top, m_output, [&](const QByteArray &folder, std::size_t at, std::size_t parentAt) {
        wds.push_back(-1);
        const bool isRoot = folder == m_root;
        const int wd = m_addWatch(m_fd, withoutSlash(folder).constData(), kMask);
        if (wd < 0) {
            if (errno == ENOSPC) {
                failure = limitError();
                return Visit::Stop;
            }
            if (isRoot || errno == ENOMEM) {
                failure = Error::fromErrno(ErrorKind::WatchTree, QStringLiteral("Cannot watch folder"),
                                           fs::displayPath(withoutSlash(folder)), errno);
                return Visit::Stop;
            }
            // Gone or replaced since it was listed: its parent tells. Any other reason leaves
            // a folder of the tree whose changes would go unseen.
            if (distrustFailures && errno != ENOENT && errno != ENOTDIR)
                m_collected.distrust(QStringLiteral("a folder could not be watched"));
            return Visit::Skip;
        }
        const int parent = parentAt == kNoParent ? parentWd : wds[parentAt];
        const QByteArrayView name = parent < 0 ? QByteArrayView(folder)
                                               : QByteArrayView(folder).chopped(1).sliced(folder.lastIndexOf('/', folder.size() - 2) + 1);
        if (!into.place(wd, parent, name)) {
            // The system says the folder holds itself: nothing below it is believed.
            m_collected.distrust(QStringLiteral("a folder could not be watched"));
            return Visit::Skip;
        }
        m_removed.erase(wd);
        wds[at] = wd;
        if (placed)
            placed->push_back(wd);
        if (isRoot)
            m_rootWd = wd;
        return Visit::Descend;
    });
    if (failure)
        return *failure;
    return {};
}

Status TreeWatcher::sync()
{
    // An output directory made again is another folder: leave out the one there now.
    if (const std::optional<fs::FolderId> output = fs::folderId(m_outputPath))
        m_output = output;
    watchOutput();
    WatchedFolders fresh;
    if (Status watched = watchTree(m_root, -1, fresh, false); !watched.ok())
        return watched;
    // Adding a watch for a folder already watched returns its descriptor again, so what
    // is left over belongs to folders that are gone or no longer count.
    for (const int wd : m_folders.all()) {
        if (!fresh.contains(wd))
            unwatch(wd);
    }
    m_folders = std::move(fresh);
    return {};
}

Status TreeWatcher::syncSubtrees(const std::vector<QByteArray> &subtrees)
{
    if (const std::optional<fs::FolderId> output = fs::folderId(m_outputPath))
        m_output = output;
    watchOutput();
    std::vector<QByteArray> tops;
    for (const QByteArray &subtree : subtrees) {
        const QByteArray top = m_root + subtree.mid(m_scanRoot.size());
        // One inside another already taken is listed with it.
        if (!subtree.startsWith(m_scanRoot) || top == m_root
            || std::any_of(tops.begin(), tops.end(), [&top](const QByteArray &t) { return top.startsWith(t); }))
            continue;
        tops.erase(std::remove_if(tops.begin(), tops.end(), [&top](const QByteArray &t) { return t.startsWith(top); }),
                   tops.end());
        tops.push_back(top);
    }
    for (const QByteArray &top : tops) {
        const QByteArray parent = top.left(top.lastIndexOf('/', top.size() - 2) + 1);
        const QByteArray name = withoutSlash(top).mid(parent.size());
        const std::vector<int> parents = m_folders.at(parent);
        const std::vector<int> before = m_folders.below(top);
        const std::optional<fs::FolderId> id = fs::plainFolderId(parent, name.constData());
        std::vector<int> placed;
        if (!parents.empty() && id && id != m_output) {
            if (Status watched = watchTree(top, parents.front(), m_folders, true, &placed); !watched.ok())
                return watched;
        }
        std::sort(placed.begin(), placed.end());
        // Those below first, so that no watch forgotten leaves another named whole.
        for (auto wd = before.rbegin(); wd != before.rend(); ++wd) {
            if (!std::binary_search(placed.begin(), placed.end(), *wd)) {
                unwatch(*wd);
                m_folders.erase(*wd);
            }
        }
    }
    return {};
}

void TreeWatcher::unwatch(int wd)
{
    ::inotify_rm_watch(m_fd, wd);
    m_removed.insert(wd);
}

void TreeWatcher::watchOutput()
{
    if (m_outputWd >= 0)
        return;
    // The system's own seam, not m_addWatch: this watch is no folder of the tree. A missing
    // output directory is what a run reports; it is watched once it is back.
    m_outputWd = ::inotify_add_watch(m_fd, m_outputPath.constData(), kOutputMask);
}

bool TreeWatcher::isWatchLimit(const Error &error)
{
    return error.kind == ErrorKind::WatchTree && error.osError == ENOSPC;
}

Error TreeWatcher::limitError() const
{
    qsizetype folders = 0;
    forEachFolder(m_root, m_output, [&](const QByteArray &, std::size_t, std::size_t) {
        ++folders;
        return Visit::Descend;
    });
    QFile file(m_limitFile);
    const qint64 limit = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    // The limit counts every watch of the user, so ask for the tree's folders on top of it.
    const qint64 suggested = ((limit + folders) / 1024 + 1) * 1024;
    Error error;
    error.kind = ErrorKind::WatchTree;
    error.operation = QStringLiteral(
        "The input tree has %1 folders, more than the system's inotify watch limit allows "
        "(%2, in %3). Raise it, e.g. with: sysctl fs.inotify.max_user_watches=%4")
        .arg(folders).arg(limit).arg(m_limitFile).arg(suggested);
    error.osError = ENOSPC;
    return error;
}

bool TreeWatcher::isSettingsFile(const QByteArray &folder, const char *name) const
{
    if (folder != m_settingsDir)
        return false;
    const QByteArray entry(name);
    // Its next text is written beside it under a hidden name that starts with its own.
    return entry == m_settingsName || entry.startsWith(m_settingsName + '.')
        || entry.startsWith('.' + m_settingsName + '.');
}

bool TreeWatcher::isUnlinkedFile(const QByteArray &folder, const inotify_event &event)
{
    // A file made with O_TMPFILE (the settings file's next text, written beside it) is
    // written under the name "#" and its inode number, no entry of the folder; it shows
    // under the name it is linked as, if ever.
    constexpr std::uint32_t kNamed = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if ((event.mask & kNamed) || event.len == 0 || event.name[0] != '#')
        return false;
    const QByteArray digits = QByteArray(event.name + 1);
    if (digits.isEmpty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    struct stat st;
    return ::lstat((folder + event.name).constData(), &st) != 0 && errno == ENOENT;
}

QByteArray TreeWatcher::asScanned(const QByteArray &watched) const
{
    return m_scanRoot + watched.mid(m_root.size());
}

ChangeCollector::Taken TreeWatcher::takeChanges()
{
    ChangeCollector::Taken taken = m_collected.take();
    if (m_scanRoot != m_root) {
        for (auto *paths : {&taken.changes.folders, &taken.changes.subtrees}) {
            for (QByteArray &path : *paths)
                path = asScanned(path);
        }
    }
    return taken;
}

void TreeWatcher::noteEvent(const inotify_event &event, const QByteArray &folder, TreeChanges &changes)
{
    const char *name = event.len ? event.name : "";
    const bool isRoot = event.wd == m_rootWd;
    if (event.len == 0) {
        // About the watched folder itself; its going is told by its parent.
        if (!(event.mask & IN_ATTRIB))
            return;
        changes.relevant = true;
        if (isRoot)
            m_collected.distrust(QStringLiteral("the input directory itself changed"));
        else
            m_collected.subtree(folder);
        return;
    }
    if (isSettingsFile(folder, name) || isUnlinkedFile(folder, event))
        return;
    // A hidden entry is never listed, but its coming and going changes the folder's own time,
    // which the feed shows: the folder is redone with the next run, yet starts none, so that
    // an editor's or a copy's hidden files do not keep a watcher busy. A rename between a
    // hidden and a plain name is told under the plain one too, and that starts a run.
    constexpr std::uint32_t kEntry = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    const bool hidden = name[0] == '.';
    if (hidden && !(event.mask & kEntry))
        return;
    if (event.mask & IN_ISDIR) {
        m_collected.subtree(folder + name + '/');
        changes.relevant = changes.relevant || !hidden;
    }
    // The input directory gets no feed: only its folders matter.
    if (!isRoot) {
        m_collected.folder(folder);
        changes.relevant = changes.relevant || !hidden;
    }
}

Result<TreeChanges> TreeWatcher::readEvents()
{
    TreeChanges changes;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break;  // EAGAIN: nothing more waiting
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const char *name = event->len ? event->name : "";
            if (event->mask & IN_Q_OVERFLOW) {
                changes.relevant = true;
                m_collected.distrust(QStringLiteral("events were lost"));
                continue;
            }
            if (event->wd == m_outputWd) {
                if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                    changes.outputGone = true;
                // A folder moved away is not the output directory any more, whatever comes
                // to its place; the next sync watches that.
                if (event->mask & IN_MOVE_SELF)
                    ::inotify_rm_watch(m_fd, m_outputWd);
                if (event->mask & (IN_MOVE_SELF | IN_IGNORED))
                    m_outputWd = -1;
                continue;
            }
            if (m_removed.count(event->wd)) {
                if (event->mask & IN_IGNORED)
                    m_removed.erase(event->wd);
                continue;  // a folder that no longer counts, or its last words
            }
            const bool watched = m_folders.contains(event->wd);
            if (event->mask & IN_IGNORED) {
                if (event->wd == m_rootWd)
                    changes.rootGone = true;
                else if (watched)
                    m_collected.watchEnded(m_folders.path(event->wd));
                changes.relevant = true;
                m_folders.erase(event->wd);
                continue;
            }
            if (event->mask & IN_UNMOUNT) {
                changes.relevant = true;
                m_collected.distrust(QStringLiteral("a file system in the tree was unmounted"));
                continue;
            }
            if (!watched) {
                changes.relevant = true;
                m_collected.distrust(QStringLiteral("a change came from a folder not watched"));
                continue;
            }
            if (event->wd == m_rootWd && (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
                changes.rootGone = true;
                continue;
            }
            const QByteArray folder = m_folders.path(event->wd);
            noteEvent(*event, folder, changes);
            if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                const std::optional<fs::FolderId> id = fs::plainFolderId(folder, name);
                if (const std::optional<fs::FolderId> output = fs::folderId(m_outputPath))
                    m_output = output;  // an output directory made again in the tree stays unwatched
                if (!id || id == m_output)
                    continue;
                if (Status added = watchTree(folder + name + '/', event->wd, m_folders, true); !added.ok())
                    return added.error();
            }
        }
    }
    return changes;
}

} // namespace yf::cli
