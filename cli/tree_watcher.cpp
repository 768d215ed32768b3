#include "cli/tree_watcher.h"

#include "scan/folder_listing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
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

enum class Visit { Descend, Skip, Stop };

// Breadth first over `top` (ending in "/") and every folder below it that a run would scan,
// listed as the scan lists them; `leaveOut` is never among them.
template <typename F>
void forEachFolder(const QByteArray &top, const std::optional<fs::FolderId> &leaveOut, F &&visit)
{
    std::vector<QByteArray> queue{top};
    for (std::size_t i = 0; i < queue.size(); ++i) {
        const Visit what = visit(queue[i]);
        if (what == Visit::Stop)
            return;
        if (what == Visit::Skip)
            continue;
        // A folder that went, or cannot be read, adds nothing: the run reports it.
        FolderListing listing = listFolder(queue[i], i == 0, leaveOut, false);
        std::move(listing.children.begin(), listing.children.end(), std::back_inserter(queue));
    }
}

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
    : m_root(resolvedDir(root)), m_outputPath(fs::encodePath(outputDir)), m_addWatch(std::move(addWatch)),
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

Status TreeWatcher::watchTree(const QByteArray &top, WatchMap &into)
{
    std::optional<Error> failure;
    forEachFolder(top, m_output, [&](const QByteArray &folder) {
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
            return Visit::Skip;  // gone or unreadable since it was listed
        }
        into[wd] = folder;
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
    WatchMap fresh;
    if (Status watched = watchTree(m_root, fresh); !watched.ok())
        return watched;
    // Adding a watch for a folder already watched returns its descriptor again, so what
    // is left over belongs to folders that are gone or no longer count.
    for (const auto &[wd, path] : m_paths) {
        if (!fresh.count(wd))
            ::inotify_rm_watch(m_fd, wd);
    }
    m_paths = std::move(fresh);
    return {};
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
    forEachFolder(m_root, m_output, [&](const QByteArray &) {
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

bool TreeWatcher::isSettingsFile(int wd, const char *name) const
{
    const auto it = m_paths.find(wd);
    if (it == m_paths.end() || it->second != m_settingsDir)
        return false;
    const QByteArray entry(name);
    return entry == m_settingsName || entry.startsWith(m_settingsName + '.');
}

bool TreeWatcher::isUnlinkedFile(int wd, const inotify_event &event) const
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
    const auto it = m_paths.find(wd);
    struct stat st;
    return it != m_paths.end() && ::lstat((it->second + event.name).constData(), &st) != 0 && errno == ENOENT;
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
                changes.relevant = true;  // events were lost: assume anything changed
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
            if (event->mask & IN_IGNORED) {
                if (event->wd == m_rootWd)
                    changes.rootGone = true;
                m_paths.erase(event->wd);
                continue;
            }
            if (event->wd == m_rootWd && (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
                changes.rootGone = true;
                continue;
            }
            // Hidden names are never listed; a rename to or from one shows the plain name.
            if (name[0] == '.' || isSettingsFile(event->wd, name) || isUnlinkedFile(event->wd, *event))
                continue;
            // The input directory gets no feed: only its folders matter.
            if (event->wd == m_rootWd && !(event->mask & IN_ISDIR))
                continue;
            changes.relevant = true;
            if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                const auto parent = m_paths.find(event->wd);
                if (parent == m_paths.end())
                    continue;
                const std::optional<fs::FolderId> id = fs::plainFolderId(parent->second, name);
                if (const std::optional<fs::FolderId> output = fs::folderId(m_outputPath))
                    m_output = output;  // an output directory made again in the tree stays unwatched
                if (!id || id == m_output)
                    continue;
                if (Status watched = watchTree(parent->second + name + '/', m_paths); !watched.ok())
                    return watched.error();
            }
        }
    }
    return changes;
}

} // namespace yf::cli
