// Watches every folder of an input tree with inotify, following folders as they come and go.
#pragma once

#include "cli/change_collector.h"
#include "cli/watched_folders.h"
#include "runtime/error.h"
#include "runtime/file_system.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <sys/inotify.h>
#include <unordered_set>
#include <vector>

namespace yf::cli {

struct TreeChanges {
    bool relevant = false;    // something a feed or the set of feeds may depend on
    bool rootGone = false;    // the input directory itself was removed or moved away
    bool outputGone = false;  // the output directory was removed or moved away
};

class TreeWatcher {
public:
    // inotify_add_watch's shape; a seam so tests can run into the system's watch limit.
    using AddWatch = std::function<int(int fd, const char *path, std::uint32_t mask)>;

    // `root` is the input directory; given as a link, or through links, its target is
    // watched, as a run reads it. The folder `outputDir` and everything below it are never
    // watched (writing feeds must not look like a change), only whether the folder itself
    // goes away; events about the settings file `settingsPath` are ignored for the same
    // reason. `limitFile` holds the system's watch limit, named in the message when the
    // tree needs more watches.
    TreeWatcher(const QString &root, const QString &outputDir, const QString &settingsPath,
                AddWatch addWatch = {}, QString limitFile = systemLimitFile());
    ~TreeWatcher();
    TreeWatcher(const TreeWatcher &) = delete;
    TreeWatcher &operator=(const TreeWatcher &) = delete;

    // Where the system keeps its watch limit.
    static QString systemLimitFile() { return QStringLiteral("/proc/sys/fs/inotify/max_user_watches"); }

    [[nodiscard]] Status open();
    int fd() const { return m_fd; }

    // Watches the input directory and every folder below it that a run would scan, found
    // as the scan finds them, and drops the watches of folders that went. The output
    // directory, when it is there, is watched for going away. Reaching the system's watch
    // limit is an error with isWatchLimit(). What it finds needs no distrust: a full run follows.
    [[nodiscard]] Status sync();
    // The same for the given subtrees alone (paths as takeChanges() gives them): a folder
    // that is no longer one a run scans loses its watches and those below it.
    [[nodiscard]] Status syncSubtrees(const std::vector<QByteArray> &subtrees);

    // Reads the events waiting on fd() without blocking. New folders are watched at once,
    // so changes inside them are seen from the start. What they change is gathered until
    // takeChanges().
    [[nodiscard]] Result<TreeChanges> readEvents();

    // The folders and subtrees changed since the last take, in the paths a run writes (below
    // the input directory as given, not where its links lead), and why only a full run can
    // be trusted now, if so: events lost, a watch lost, the input directory itself changed.
    ChangeCollector::Taken takeChanges();

    // Folders of the tree watched now (the output directory's own watch is not one).
    qsizetype watchCount() const { return m_folders.size(); }

    // The message for a tree beyond the watch limit, with its folders counted as they are now.
    Error limitError() const;
    static bool isWatchLimit(const Error &error);

private:
    // Watches `top` and what lies below it into `into`, `top` as a folder of `parentWd`
    // (-1: `top` is the tree's root); every watch it places is added to `placed` when given.
    [[nodiscard]] Status watchTree(const QByteArray &top, int parentWd, WatchedFolders &into, bool distrustFailures,
                                   std::vector<int> *placed = nullptr);
    bool isSettingsFile(const QByteArray &folder, const char *name) const;
    static bool isUnlinkedFile(const QByteArray &folder, const inotify_event &event);
    void watchOutput();
    void unwatch(int wd);
    void noteEvent(const inotify_event &event, const QByteArray &folder, TreeChanges &changes);
    QByteArray asScanned(const QByteArray &watched) const;

    QByteArray m_root;      // resolved: what is watched
    QByteArray m_scanRoot;  // as given: what a run's paths start with
    QByteArray m_outputPath;
    QByteArray m_settingsDir;
    QByteArray m_settingsName;
    std::optional<fs::FolderId> m_output;  // never watched, wherever it is in the tree
    AddWatch m_addWatch;
    QString m_limitFile;
    int m_fd = -1;
    int m_rootWd = -1;
    int m_outputWd = -1;
    WatchedFolders m_folders;
    // Watches this watcher removed: their last events, and the kernel's notice, are no news.
    std::unordered_set<int> m_removed;
    ChangeCollector m_collected;
};

} // namespace yf::cli
