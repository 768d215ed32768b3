// The watch loop and its watcher in-process: a tree that outgrows the watch limit while
// watched still gets its feeds and the message counts all its folders; the output directory
// is watched only for going away, also once made again inside the tree; files made unnamed
// in a folder are no change.
#include "cli/stop_signals.h"
#include "cli/watch_loop.h"
#include "fixture.h"

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
