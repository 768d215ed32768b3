// The watch loop and its watcher in-process: a tree that outgrows the watch limit while
// watched still gets its feeds and the message counts all its folders; the output directory
// is watched only for going away, also once made again inside the tree; files made unnamed
// in a folder are no change; events become the folders and subtrees a run redoes, and the
// ones that cannot be trusted ask for a full run.
#include "cli/stop_signals.h"
#include "cli/watch_loop.h"
#include "fixture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace yf;
using namespace yf::cli;

namespace {

// Waits up to a second for events and reads them all.
TreeChanges waitForChanges(TreeWatcher &watcher)
{
    TreeChanges all;
    pollfd fd{watcher.fd(), POLLIN, 0};
    if (::poll(&fd, 1, 1000) > 0) {
        ::usleep(50 * 1000);  // let a burst of events arrive together
        if (const Result<TreeChanges> read = watcher.readEvents(); read.ok())
            all = read.value();
    }
    return all;
}

// Runs each shell command in `dir`, so a case reads as what a person would type.
void shell(const QString &dir, const QStringList &commands)
{
    for (const QString &command : commands) {
        QProcess sh;
        sh.setWorkingDirectory(dir);
        sh.start("/bin/sh", {"-c", command});
        QVERIFY2(sh.waitForFinished() && sh.exitCode() == 0, qPrintable(command));
    }
}

// The paths below `root` ("in/"), so the expected lists stay short.
QStringList below(const QByteArray &root, const std::vector<QByteArray> &paths)
{
    QStringList names;
    for (const QByteArray &path : paths)
        names << QString::fromUtf8(path.startsWith(root) ? path.mid(root.size()) : "OUTSIDE " + path);
    return names;
}

// Standard output and error go to files while it lives, so what the loop prints can be read.
class CapturedOutput {
public:
    explicit CapturedOutput(const QString &dir) : m_out(dir + "/stdout"), m_err(dir + "/stderr")
    {
        std::fflush(stdout);
        std::fflush(stderr);
        m_savedOut = ::dup(STDOUT_FILENO);
        m_savedErr = ::dup(STDERR_FILENO);
        redirect(m_out, STDOUT_FILENO);
        redirect(m_err, STDERR_FILENO);
    }
    ~CapturedOutput()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(m_savedOut, STDOUT_FILENO);
        ::dup2(m_savedErr, STDERR_FILENO);
        ::close(m_savedOut);
        ::close(m_savedErr);
    }
    QByteArray err() const { return fixture::readFile(m_err); }

private:
    static void redirect(const QString &path, int fd)
    {
        const int file = ::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ::dup2(file, fd);
        ::close(file);
    }
    QString m_out, m_err;
    int m_savedOut = -1, m_savedErr = -1;
};

} // namespace

class TestCliWatchLoop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { installStopSignals(); }

    // Folders come faster than they can be watched: the first one meets the limit. The
    // watcher waits for the burst to settle, runs once more so every new folder gets its
    // feed, then ends with the limit's message counting the folders the tree has then.
    void watchLimitMetWhileWatching()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "in/B/b.mp3", "out/"});
        QFile limit(tmp.filePath("max_user_watches"));
        QVERIFY(limit.open(QIODevice::WriteOnly));
        limit.write("3\n");
        limit.close();

        CommandLineRun run;
        run.request.inputDir = tmp.filePath("in");
        run.request.outputDir = tmp.filePath("out");
        run.request.baseUrl = run.defaultBaseUrl = QStringLiteral("http://example.org/");
        run.request.linkEntry = run.request.inputDir;
        run.request.helperThreads = 0;
        run.settingsPath = tmp.filePath("config.ini");
        WatchSystem system;
        system.limitFile = limit.fileName();
        system.addWatch = [](int fd, const char *path, std::uint32_t mask) {
            if (QByteArray(path).contains("/New")) {
                errno = ENOSPC;
                return -1;
            }
            return ::inotify_add_watch(fd, path, mask);
        };

        int status = -1;
        {
            const CapturedOutput captured(tmp.path());
            std::unique_ptr<QThread> loop(
                QThread::create([&] { status = watchFeeds(run, WatchPacing{1, 0}, false, system); }));
            loop->start();
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(tmp.filePath("out/-A-.xml")), 5000);
            fixture::makeTree(tmp.path(), {"in/New0/Sub/s.mp3"});
            for (int i = 1; i < 10; ++i) {
                QTest::qWait(100);
                fixture::makeTree(tmp.path(), {QStringLiteral("in/New%1/n.mp3").arg(i)});
            }
            const bool ended = loop->wait(10000);
            if (!ended) {
                ::raise(SIGTERM);  // the loop stops at its next look at the signal
                loop->wait();
            }
            QVERIFY2(ended, "the watch went on past the limit");
            const QString err = QString::fromUtf8(captured.err());
            QVERIFY2(err.contains("The input tree has 14 folders") && err.contains("(3, in " + limit.fileName() + ")"),
                     qPrintable(err));
        }
        QCOMPARE(status, 1);
        for (int i = 0; i < 10; ++i)
            QVERIFY2(QFile::exists(tmp.filePath(QStringLiteral("out/-New%1-.xml").arg(i))), qPrintable(QString::number(i)));
        QVERIFY(fixture::readFile(tmp.filePath("out/-New0-Sub-.xml")).contains("s.mp3"));
    }

    // The output directory inside the tree: removing it is reported, and made again it is
    // still never watched, so the feeds written into it start no run.
    void outputDirectoryMadeAgainStaysUnwatched()
    {
        QTemporaryDir tmp;
        const QString in = tmp.filePath("in");
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "in/feeds/"});
        TreeWatcher watcher(in, in + "/feeds", tmp.filePath("config.ini"));
        QVERIFY(watcher.open().ok());
        QVERIFY(watcher.sync().ok());
        QCOMPARE(watcher.watchCount(), 2);

        QVERIFY(QDir(in + "/feeds").removeRecursively());
        QVERIFY(waitForChanges(watcher).outputGone);
        fixture::makeTree(tmp.path(), {"in/feeds/"});
        QVERIFY(waitForChanges(watcher).relevant);  // a folder of the tree came
        QCOMPARE(watcher.watchCount(), 2);
        QVERIFY(watcher.sync().ok());
        QCOMPARE(watcher.watchCount(), 2);
        fixture::makeTree(tmp.path(), {"in/feeds/-A-.xml"});
        const TreeChanges written = waitForChanges(watcher);
        QVERIFY(!written.relevant && !written.outputGone);

        // Moved away, the folder is no longer the output directory: one made in its place is.
        QVERIFY(QDir(in).rename("feeds", "old feeds"));
        QVERIFY(waitForChanges(watcher).outputGone);
        fixture::makeTree(tmp.path(), {"in/feeds/"});
        (void)waitForChanges(watcher);
        QVERIFY(watcher.sync().ok());
        QCOMPARE(watcher.watchCount(), 3);  // in, A and "old feeds"
        QVERIFY(QDir(in).rmdir("feeds"));
        QVERIFY(waitForChanges(watcher).outputGone);
    }

    // What each kind of change names: the folder whose entries changed, the subtree listed
    // again; the input directory's own files name nothing, its own attributes ask for a full run.
    void eventsNameFoldersAndSubtrees_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QStringList>("subtrees");
        QTest::addColumn<bool>("startsRun");
        QTest::addColumn<bool>("fullRun");
        const QStringList none;
        QTest::newRow("a file added") << "in" << QStringList{"touch in/A/new.mp3"} << QStringList{"A/"} << none << true << false;
        QTest::newRow("a file rewritten") << "in" << QStringList{"echo x >> in/A/a.mp3"} << QStringList{"A/"} << none << true
                                          << false;
        QTest::newRow("a file made hidden") << "in" << QStringList{"mv in/A/a.mp3 in/A/.a.mp3"} << QStringList{"A/"} << none
                                            << true << false;
        QTest::newRow("a hidden file made: noted, no run") << "in" << QStringList{"touch in/A/.part"} << QStringList{"A/"}
                                                           << none << false << false;
        QTest::newRow("a file of the input directory") << "in" << QStringList{"touch in/top.mp3"} << none << none << false
                                                       << false;
        QTest::newRow("a folder made") << "in" << QStringList{"mkdir in/A/New"} << QStringList{"A/"} << QStringList{"A/New/"}
                                       << true << false;
        QTest::newRow("a folder made at the top") << "in" << QStringList{"mkdir in/C"} << none << QStringList{"C/"} << true
                                                  << false;
        QTest::newRow("a folder made hidden") << "in" << QStringList{"mv in/A/Sub in/A/.Sub"} << QStringList{"A/"}
                                              << QStringList{"A/.Sub/", "A/Sub/"} << true << false;
        QTest::newRow("a hidden folder made plain") << "in" << QStringList{"mv in/.hid in/Shown"} << none
                                                    << QStringList{".hid/", "Shown/"} << true << false;
        QTest::newRow("a folder moved to another") << "in" << QStringList{"mv in/A/Sub in/B/Sub"} << QStringList{"A/", "B/"}
                                                   << QStringList{"A/Sub/", "B/Sub/"} << true << false;
        QTest::newRow("a folder moved in") << "in" << QStringList{"mv outside/O in/A/O"} << QStringList{"A/"}
                                           << QStringList{"A/O/"} << true << false;
        QTest::newRow("a folder moved out") << "in" << QStringList{"mv in/A/Sub outside/Sub"} << QStringList{"A/"}
                                            << QStringList{"A/Sub/"} << true << false;
        QTest::newRow("a folder write-protected") << "in" << QStringList{"chmod a-w in/A/Sub"} << QStringList{"A/"}
                                                  << QStringList{"A/Sub/"} << true << false;
        QTest::newRow("a folder removed with its files") << "in" << QStringList{"rm -r in/A/Sub"}
                                                         << QStringList{"A/", "A/Sub/"} << QStringList{"A/Sub/"} << true
                                                         << false;
        QTest::newRow("a folder removed and made again at once")
            << "in" << QStringList{"rm -r in/A/Sub && mkdir in/A/Sub && touch in/A/Sub/n.mp3"}
            << QStringList{"A/", "A/Sub/"} << QStringList{"A/Sub/"} << true << false;
        QTest::newRow("the input directory's own attributes") << "in" << QStringList{"chmod 700 in"} << none << none << true
                                                              << true;
        QTest::newRow("named through the link given as input") << "inlink" << QStringList{"mkdir in/A/New"}
                                                               << QStringList{"A/"} << QStringList{"A/New/"} << true
                                                               << false;
    }
    void eventsNameFoldersAndSubtrees()
    {
        QFETCH(QString, input);
        QFETCH(QStringList, commands);
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "in/A/Sub/s.mp3", "in/B/", "in/.hid/", "outside/O/o.mp3", "out/",
                                       "inlink->in"});
        TreeWatcher watcher(tmp.filePath(input), tmp.filePath("out"), tmp.filePath("config.ini"));
        QVERIFY(watcher.open().ok());
        QVERIFY(watcher.sync().ok());
        shell(tmp.path(), commands);
        const TreeChanges seen = waitForChanges(watcher);
        const ChangeCollector::Taken taken = watcher.takeChanges();
        const QByteArray root = QFile::encodeName(tmp.filePath(input)) + '/';
        QTEST(below(root, taken.changes.folders), "folders");
        QTEST(below(root, taken.changes.subtrees), "subtrees");
        QTEST(seen.relevant, "startsRun");
        QFETCH(bool, fullRun);
        QVERIFY2(taken.fullRunReason.isEmpty() != fullRun, qPrintable(taken.fullRunReason));
        QVERIFY(watcher.takeChanges().changes.folders.empty());  // taken once
        ::chmod(QFile::encodeName(tmp.filePath("in/A/Sub")).constData(), 0755);
    }

    // After the subtrees are watched again, changes come under the folders' new names, a
    // folder moved out or write-protected is no longer heard, and a removed watch is no loss.
    void subtreesAreWatchedAgain()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/Sub/s.mp3", "in/B/Deep/d.mp3", "in/C/Locked/", "outside/", "out/"});
        TreeWatcher watcher(tmp.filePath("in"), tmp.filePath("out"), tmp.filePath("config.ini"));
        QVERIFY(watcher.open().ok());
        QVERIFY(watcher.sync().ok());
        QCOMPARE(watcher.watchCount(), 7);
        shell(tmp.path(), {"mv in/A/Sub outside/Sub", "mv in/B in/Bee", "chmod a-w in/C/Locked"});
        (void)waitForChanges(watcher);
        const ChangeCollector::Taken first = watcher.takeChanges();
        QVERIFY(first.fullRunReason.isEmpty());
        QVERIFY(watcher.syncSubtrees(first.changes.subtrees).ok());
        QCOMPARE(watcher.watchCount(), 5);  // in, A, Bee, Bee/Deep and C

        shell(tmp.path(), {"touch outside/Sub/x.mp3 in/Bee/Deep/y.mp3", "chmod a+w in/C/Locked"});
        (void)waitForChanges(watcher);
        const ChangeCollector::Taken second = watcher.takeChanges();
        const QByteArray root = QFile::encodeName(tmp.filePath("in")) + '/';
        QCOMPARE(below(root, second.changes.folders), (QStringList{"Bee/Deep/", "C/"}));
        QVERIFY2(second.fullRunReason.isEmpty(), qPrintable(second.fullRunReason));
        QVERIFY(watcher.syncSubtrees(second.changes.subtrees).ok());
        QCOMPARE(watcher.watchCount(), 6);  // C/Locked is one again
    }

    // Folders moved within the tree before the watches are put right carry their watches,
    // and those below, to their new paths; a folder moved out whose old parent then goes
    // loses its watches with the rest, and nothing asks for a full run.
    void watchesFollowMovesBeforeTheSync_data()
    {
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<int>("watches");  // after the subtrees are put right
        QTest::addColumn<QString>("touched");
        QTest::addColumn<QStringList>("folders");
        QTest::newRow("a folder moved deeper, with its own") << QStringList{"mv in/A in/B/Deep/A"} << 5
                                                            << "in/B/Deep/A/Sub/x.mp3" << QStringList{"B/Deep/A/Sub/"};
        QTest::newRow("moved and moved again") << QStringList{"mv in/A in/B/A", "mv in/B/A/Sub in/Sub"} << 5
                                               << "in/Sub/x.mp3" << QStringList{"Sub/"};
        QTest::newRow("moved out, then its parent removed")
            << QStringList{"mv in/A/Sub outside/Sub", "rmdir in/A"} << 3 << "in/B/Deep/x.mp3" << QStringList{"B/Deep/"};
        QTest::newRow("one moved into another's place")
            << QStringList{"mv in/A/Sub outside/Sub", "mv in/B/Deep in/A/Sub"} << 4 << "in/A/Sub/x.mp3"
            << QStringList{"A/Sub/"};
    }
    void watchesFollowMovesBeforeTheSync()
    {
        QFETCH(QStringList, commands);
        QFETCH(QString, touched);
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/Sub/s.mp3", "in/B/Deep/d.mp3", "outside/", "out/"});
        TreeWatcher watcher(tmp.filePath("in"), tmp.filePath("out"), tmp.filePath("config.ini"));
        QVERIFY(watcher.open().ok());
        QVERIFY(watcher.sync().ok());
        shell(tmp.path(), commands);
        (void)waitForChanges(watcher);
        const ChangeCollector::Taken first = watcher.takeChanges();
        QVERIFY2(first.fullRunReason.isEmpty(), qPrintable(first.fullRunReason));
        QVERIFY(watcher.syncSubtrees(first.changes.subtrees).ok());
        QTEST(int(watcher.watchCount()), "watches");
        QVERIFY2(watcher.takeChanges().fullRunReason.isEmpty(), "putting the watches right lost none");

        shell(tmp.path(), {"touch '" + touched + "' outside/Sub/y.mp3 2>/dev/null || touch '" + touched + "'"});
        (void)waitForChanges(watcher);
        const ChangeCollector::Taken second = watcher.takeChanges();
        QTEST(below(QFile::encodeName(tmp.filePath("in")) + '/', second.changes.folders), "folders");
        QVERIFY2(second.fullRunReason.isEmpty(), qPrintable(second.fullRunReason));
    }

    // A file made with O_TMPFILE in a watched folder (the settings file's next text) shows
    // under a name of "#" and digits that no entry has: no change. A real file of such a
    // name is one.
    void unnamedFilesAreNoChange()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "out/"});
        TreeWatcher watcher(tmp.filePath("in"), tmp.filePath("out"), tmp.filePath("config.ini"));
        QVERIFY(watcher.open().ok());
        QVERIFY(watcher.sync().ok());
        const int fd = ::open(QFile::encodeName(tmp.filePath("in/A")).constData(), O_TMPFILE | O_WRONLY, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "text", 4), ssize_t(4));
        QCOMPARE(::fchmod(fd, 0644), 0);
        ::close(fd);
        QVERIFY(!waitForChanges(watcher).relevant);

        fixture::makeTree(tmp.path(), {"in/A/#12345"});
        QVERIFY(waitForChanges(watcher).relevant);
        QFile real(tmp.filePath("in/A/#12345"));
        QVERIFY(real.open(QIODevice::Append));
        real.write("more");
        real.close();
        QVERIFY(waitForChanges(watcher).relevant);
    }
};

QTEST_GUILESS_MAIN(TestCliWatchLoop)
#include "tst_cli_watch_loop.moc"
