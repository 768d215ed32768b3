// A watcher falls back on a full run whenever its events cannot tell all: events lost in an
// overflowing queue, the settings file written by someone else, a full run due by the clock;
// a folder removed and made again at once is followed without one. Each case checks what a
// full run alone puts right (a feed deleted by hand coming back) and the watcher's debug log.
#include "fixture.h"
#include "program_testing.h"

#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace cli_testing;

namespace {

constexpr int kWithinMs = 8000;

QProcessEnvironment withWatchLog()
{
    QProcessEnvironment env = headless();
    env.insert("QT_LOGGING_RULES", "yarrowfeed.watch.debug=true");
    return env;
}

// A watcher with a short settle time on "in", "out" and "config.ini" in `dir`, its log read.
struct LoggedWatch : WatchProcess {
    QByteArray log;

    LoggedWatch(const QString &dir, const QStringList &more)
        : WatchProcess(QStringList{"--settle", "0.2", "--input", dir + "/in", "--output", dir + "/out", "--settings",
                                   dir + "/config.ini", "--base-url", "http://example.org/"}
                           + more,
                       withWatchLog())
    {
    }
    QByteArray &logged() { return log += process.readAllStandardError(); }
    bool logSays(const char *text)
    {
        return QTest::qWaitFor([&] { return logged().contains(text); }, kWithinMs);
    }
};

// Quickly makes `count` empty files in `folder`: each is two events, made and closed.
bool makeFiles(const QString &folder, int count)
{
    for (int i = 0; i < count; ++i) {
        const QByteArray path = QFile::encodeName(folder) + "/f" + QByteArray::number(i) + ".mp3";
        const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

} // namespace

class TestWatchSafety : public QObject {
    Q_OBJECT

private slots:
    // While the watcher is stopped, more events come than the kernel's queue holds: the ones
    // lost cannot be redone one by one, so the next run is a full one.
    void overflowingQueueMeansAFullRun()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/Big/", "in/Quiet/q.mp3", "out/"});
        LoggedWatch watch(tmp.path(), {"--full-every", "0"});
        QVERIFY(watch.waitForQuiet(300, kWithinMs, 1));
        const int queue = fixture::readFile("/proc/sys/fs/inotify/max_queued_events").trimmed().toInt();
        QVERIFY(queue > 0 && queue <= 1 << 20);

        ::kill(static_cast<pid_t>(watch.process.processId()), SIGSTOP);
        QVERIFY(QFile::remove(tmp.filePath("out/-Quiet-.xml")));  // no event tells of it
        QVERIFY(makeFiles(tmp.filePath("in/Big"), queue / 2 + 100));
        ::kill(static_cast<pid_t>(watch.process.processId()), SIGCONT);
        QVERIFY2(watch.logSays("full run: events were lost"), watch.log.constData());
        QTRY_VERIFY_WITH_TIMEOUT(fixture::readFile(tmp.filePath("out/-Big-.xml")).contains("f100.mp3"), kWithinMs);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(tmp.filePath("out/-Quiet-.xml")), kWithinMs);
        QCOMPARE(watch.stop(), 143);
    }

    // A folder removed with its files and made again with others before the watcher looks:
    // the new folder is watched and its feed is its own; no event was lost, so no full run.
    void folderRemovedAndMadeAgainIsFollowed()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/Show/old.mp3", "in/Show/Inner/i.mp3", "in/Other/o.mp3", "out/"});
        LoggedWatch watch(tmp.path(), {"--full-every", "0"});
        QVERIFY(watch.waitForQuiet(300, kWithinMs, 1));

        QVERIFY(QDir(tmp.filePath("in/Show")).removeRecursively());
        fixture::makeTree(tmp.path(), {"in/Show/new.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(fixture::readFile(tmp.filePath("out/-Show-.xml")).contains("new.mp3"), kWithinMs);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(tmp.filePath("out/-Show-Inner-.xml")), kWithinMs);
        QVERIFY(!fixture::readFile(tmp.filePath("out/-Show-.xml")).contains("old.mp3"));
        // Changes in the new folder are seen: it is watched.
        fixture::makeTree(tmp.path(), {"in/Show/later.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(fixture::readFile(tmp.filePath("out/-Show-.xml")).contains("later.mp3"), kWithinMs);
        QVERIFY(watch.waitForQuiet(500, kWithinMs));
        const QByteArray &log = watch.logged();
        QCOMPARE(log.count("full run:"), 1);  // the first one
        QVERIFY2(log.count("update:") >= 2, log.constData());
        QCOMPARE(watch.stop(), 143);
    }

    // With a short period a full run comes by itself in a quiet tree: a feed deleted by hand
    // is back. With 0 none comes.
    void fullRunsComeByTheClock_data()
    {
        QTest::addColumn<QString>("minutes");
        QTest::addColumn<bool>("comesBack");
        QTest::newRow("every 0.02 minutes") << "0.02" << true;
        QTest::newRow("never") << "0" << false;
    }
    void fullRunsComeByTheClock()
    {
        QFETCH(QString, minutes);
        QFETCH(bool, comesBack);
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "out/"});
        LoggedWatch watch(tmp.path(), {"--full-every", minutes});
        QVERIFY(watch.waitForQuiet(300, kWithinMs, 1));
        QVERIFY(QFile::remove(tmp.filePath("out/-A-.xml")));
        QTest::qWait(3000);  // more than two periods of 1.2 s
        QCOMPARE(QFile::exists(tmp.filePath("out/-A-.xml")), comesBack);
        QCOMPARE(watch.logged().contains("full run: one is due every 0.02 minutes"), comesBack);
        QCOMPARE(watch.stop(), 143);
    }

    // The settings file written by hand while watching: the next run is a full one. The
    // watcher's own store after each run is no such change.
    void settingsWrittenByHandMeanAFullRun()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "in/B/b.mp3", "out/"});
        LoggedWatch watch(tmp.path(), {"--full-every", "0"});
        QVERIFY(watch.waitForQuiet(300, kWithinMs, 1));
        fixture::makeTree(tmp.path(), {"in/B/b2.mp3"});
        QVERIFY(watch.logSays("update: 1 folders"));
        QVERIFY(watch.waitForQuiet(500, kWithinMs, 2));  // an edit during the run would be stored over
        QVERIFY(!watch.logged().contains("settings"));

        QVERIFY(QFile::remove(tmp.filePath("out/-A-.xml")));
        QFile settings(tmp.filePath("config.ini"));
        QVERIFY(settings.open(QIODevice::Append));
        settings.write("; a note of the user's\n");
        settings.close();
        fixture::makeTree(tmp.path(), {"in/B/b3.mp3"});
        QVERIFY2(watch.logSays("full run: the settings file changed"), watch.log.constData());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(tmp.filePath("out/-A-.xml")), kWithinMs);
        QCOMPARE(watch.stop(), 143);
    }

    // --full-every takes minutes, a decimal too, and only with --watch.
    void fullEveryNeedsMinutes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("negative") << QStringList{"--watch", "--full-every", "-1"};
        QTest::newRow("not a number") << QStringList{"--watch", "--full-every", "hourly"};
        QTest::newRow("not a finite number") << QStringList{"--watch", "--full-every", "inf"};
        QTest::newRow("without --watch") << QStringList{"--generate", "--full-every", "5"};
    }
    void fullEveryNeedsMinutes()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/", "out/"});
        const Finished run = runProgram(arguments + QStringList{"--input", tmp.filePath("in"), "--output",
                                                                tmp.filePath("out"), "--settings",
                                                                tmp.filePath("config.ini")});
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains("--full-every"), run.err.constData());
        QVERIFY(!QFile::exists(tmp.filePath("config.ini")));
        QVERIFY(runProgram({"--help"}).out.contains("--full-every <MIN>"));
    }
};

QTEST_GUILESS_MAIN(TestWatchSafety)
#include "tst_watch_safety.moc"
