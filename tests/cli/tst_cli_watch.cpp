// The real program in --watch: feeds follow files and folders that come, go and get
// renamed, also below a linked input directory; its own writes never start a run; a burst
// that never settles still gets a run; a failed run is tried again until it succeeds;
// signals end it cleanly.
#include "fixture.h"
#include "program_testing.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <memory>
#include <unistd.h>

using namespace cli_testing;

namespace {

constexpr int kSettleSeconds = 1;
constexpr int kWithinMs = (kSettleSeconds + 3) * 1000;

// A --watch process with a settle time of kSettleSeconds, and the lines it printed so far.
struct Watch {
    QProcess process;
    QStringList printed;

    void start(const QStringList &arguments)
    {
        process.setProcessEnvironment(headless());
        process.start(program(), QStringList{"--watch", "--settle", QString::number(kSettleSeconds)} + arguments);
    }
    // Starts on "in", "out" and "config.ini" in `dir`; true once the first run has said its two lines.
    bool startOn(const QString &dir, const QStringList &more = {})
    {
        start(QStringList{"--input", dir + "/in", "--output", dir + "/out", "--settings", dir + "/config.ini"} + more);
        return process.waitForStarted() && QTest::qWaitFor([this] { return lines().size() == 2; }, kWithinMs);
    }
    QStringList &lines()
    {
        while (process.canReadLine())
            printed << QString::fromUtf8(process.readLine()).chopped(1);
        return printed;
    }
    // Sends `signal` and returns the exit status, -1 when it did not end normally.
    int stop(int signal = SIGTERM)
    {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }
    ~Watch()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};

// The CPU time the process has used so far, in clock ticks.
long cpuTicks(qint64 pid)
{
    const QByteArray stat = fixture::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLong() + fields[12].toLong() : -1;  // utime, stime
}

// Every feed in `dir` is whole, and no file but the list of feeds is hidden (temporary).
void verifyOnlyWholeFeeds(const QString &dir)
{
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        QVERIFY2(!name.startsWith('.') || name == ".yarrowfeed-feeds", qPrintable(name));
        if (name.endsWith(".xml"))
            QVERIFY2(fixture::readFile(dir + "/" + name).endsWith("</rss>\r\n"), qPrintable(name));
    }
}

} // namespace

class TestCliWatch : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_big;  // a tree big enough that a run can be stopped midway

private slots:
    void feedsFollowTheTree()
    {
        QTemporaryDir tmp;
        const QString in = tmp.filePath("in");
        const QString out = in + "/feeds";  // inside the tree: writing feeds must not look like a change
        fixture::makeTree(tmp.path(), {"in/Talks/ep1.mp3", "in/Music/Old/x.ogg", "in/feeds/"});
        Watch watch;
        watch.start({"--input", in, "--output", out, "--settings", tmp.filePath("config.ini")});
        QVERIFY(watch.process.waitForStarted());
        const auto lines = [&watch]() -> QStringList & { return watch.lines(); };
        QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 2, kWithinMs);  // the count, then where the index page is
        const QRegularExpression line(R"re(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "(\d+)" XML files generated\.$)re");
        QVERIFY2(line.match(lines().first()).hasMatch(), qPrintable(lines().first()));
        QCOMPARE(line.match(lines().first()).captured(1), QStringLiteral("3"));  // the output folder gets none
        QVERIFY2(lines().at(1).contains(" Index page: " + out + "/index.html ("), qPrintable(lines().at(1)));
        const auto feed = [&out](const QString &name) { return fixture::readFile(out + "/" + name); };

        fixture::makeTree(tmp.path(), {"in/Talks/ep2.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(feed("-Talks-.xml").contains("ep2.mp3"), kWithinMs);

        fixture::makeTree(tmp.path(), {"in/Fresh/new.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(feed("-Fresh-.xml").contains("new.mp3"), kWithinMs);
        // Files added to the new folder later are seen too: it is watched.
        fixture::makeTree(tmp.path(), {"in/Fresh/later.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(feed("-Fresh-.xml").contains("later.mp3"), kWithinMs);

        QVERIFY(QDir(in).rename("Fresh", "Renamed"));
        QTRY_VERIFY_WITH_TIMEOUT(feed("-Renamed-.xml").contains("later.mp3"), kWithinMs);
        fixture::makeTree(tmp.path(), {"in/Renamed/after rename.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(feed("-Renamed-.xml").contains("after%20rename.mp3"), kWithinMs);

        QVERIFY(QFile::remove(in + "/Talks/ep1.mp3"));
        QTRY_VERIFY_WITH_TIMEOUT(!feed("-Talks-.xml").contains("ep1.mp3"), kWithinMs);
        QVERIFY(QDir(in + "/Music").removeRecursively());
        // A run for the earlier change may still be printing its line: wait for the count.
        QTRY_VERIFY2_WITH_TIMEOUT(lines().size() >= 2 && lines().at(lines().size() - 2).endsWith("\"2\" XML files generated."),
                                  qPrintable(lines().join('\n')), kWithinMs);

        // Quiet tree, quiet program: its own feeds and settings start no run.
        const qsizetype settled = lines().size();
        QTest::qWait(kSettleSeconds * 1000 + 1500);
        QCOMPARE(lines().size(), settled);

        QCOMPARE(watch.stop(), 143);
        // The feeds of the renamed and the removed folders went, each said once, with the time.
        QStringList said = QString::fromUtf8(watch.process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        for (QString &entry : said)
            entry = entry.mid(20);  // "yyyy-MM-dd HH:mm:ss "
        said.sort();
        QCOMPARE(said, (QStringList{"Removed old feed \"" + out + "/-Fresh-.xml\"",
                                    "Removed old feed \"" + out + "/-Music-.xml\"",
                                    "Removed old feed \"" + out + "/-Music-Old-.xml\""}));
        QCOMPARE(fixture::filesIn(out), (QStringList{"-Renamed-.xml", "-Talks-.xml"}));  // nothing temporary left
    }

    // A stop signal in the middle of a run cancels it at the next folder and ends the watch
    // with 128 + the signal; every feed on disk is whole and nothing temporary is left.
    void stopSignalDuringARun_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP, the terminal closed") << int(SIGHUP);
    }
    void stopSignalDuringARun()
    {
        QFETCH(int, signal);
        if (!m_big) {
            m_big = std::make_unique<QTemporaryDir>();
            QVERIFY(QDir().mkpath(m_big->filePath("in")));
            QVERIFY(makeFolders(m_big->filePath("in"), 4000));
        }
        QTemporaryDir tmp;
        QVERIFY(QDir().mkpath(tmp.filePath("out")));
        Watch watch;
        watch.start({"--input", m_big->filePath("in"), "--output", tmp.filePath("out"), "--settings",
                     tmp.filePath("config.ini")});
        QVERIFY(watch.process.waitForStarted());
        QDir out(tmp.filePath("out"));
        while (out.isEmpty() && watch.process.state() == QProcess::Running)
            QThread::usleep(500);
        QCOMPARE(watch.stop(signal), 128 + signal);
        const QString err = QString::fromUtf8(watch.process.readAllStandardError());
        QVERIFY2(err.contains("XML files generated before the run was cancelled."), qPrintable(err));
        QCOMPARE(watch.process.readAllStandardOutput(), QByteArray());
        verifyOnlyWholeFeeds(out.path());
    }

    // An input directory given as a link, or through a link in its path, is watched where it
    // leads, as a run reads it; a link inside the tree is neither followed nor watched, and the
    // settings file named through the link is known as the program's own.
    void linkedInputDirectoryIsWatched_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("settings");
        QTest::newRow("the input directory a link") << "inlink" << "inlink/A/config.ini";
        QTest::newRow("a link in the input directory's path") << "parentlink/real" << "parentlink/real/A/config.ini";
        QTest::newRow("the settings file named through a link") << "real" << "inlink/A/config.ini";
    }
    void linkedInputDirectoryIsWatched()
    {
        QFETCH(QString, input);
        QFETCH(QString, settings);
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"real/A/a.mp3", "real/Inner->../elsewhere", "elsewhere/E/e.mp3", "out/",
                                       "inlink->real", "parentlink->."});
        const QString in = tmp.filePath(input);
        const QString out = tmp.filePath("out");
        Watch watch;
        watch.start({"--input", in, "--output", out, "--settings", tmp.filePath(settings)});
        QVERIFY(watch.process.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(watch.lines().size(), 2, kWithinMs);
        QVERIFY2(watch.lines().first().endsWith(" \"1\" XML files generated."), qPrintable(watch.lines().first()));

        // Neither the settings file the run wrote nor what lies behind the link inside the
        // tree is a change a feed depends on: no run.
        fixture::makeTree(tmp.path(), {"elsewhere/E/e2.mp3", "elsewhere/New/"});
        QTest::qWait(kSettleSeconds * 1000 + 1500);
        QCOMPARE(watch.lines().size(), 2);

        fixture::makeTree(tmp.path(), {"real/A/b.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(fixture::readFile(out + "/-A-.xml").contains("b.mp3"), kWithinMs);
        QTRY_COMPARE_WITH_TIMEOUT(watch.lines().size(), 4, kWithinMs);
        QCOMPARE(watch.stop(), 143);
        QCOMPARE(watch.process.readAllStandardError(), QByteArray());
        QCOMPARE(fixture::filesIn(out), QStringList{"-A-.xml"});
    }

    // One file changed every half settle period for 15 settle periods: another folder's new
    // episode still reaches its feed at the latest 10 settle periods after the first change.
    void burstThatNeverSettlesStillRuns()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/Busy/growing.mp3", "in/Other/old.mp3", "out/"});
        const QString out = tmp.filePath("out");
        Watch watch;
        QVERIFY(watch.startOn(tmp.path()));

        QFile growing(tmp.filePath("in/Busy/growing.mp3"));
        QVERIFY(growing.open(QIODevice::Append | QIODevice::Unbuffered));
        QElapsedTimer sinceFirstChange;
        sinceFirstChange.start();
        fixture::makeTree(tmp.path(), {"in/Other/new.mp3"});
        qint64 seenAfterMs = -1;
        while (seenAfterMs < 0 && sinceFirstChange.elapsed() < 15 * kSettleSeconds * 1000) {
            QVERIFY(growing.write("x") == 1);
            QTest::qWait(kSettleSeconds * 500);
            if (fixture::readFile(out + "/-Other-.xml").contains("new.mp3"))
                seenAfterMs = sinceFirstChange.elapsed();
        }
        QVERIFY2(seenAfterMs >= 0, "no run while the changes went on");
        QVERIFY2(seenAfterMs <= 10 * kSettleSeconds * 1000 + 2000, qPrintable(QString::number(seenAfterMs)));
        QCOMPARE(watch.stop(), 143);
    }

    // The output directory removed while watching: the run fails, and is tried again every
    // settle period (a settle time of 0 every second, not without a pause), saying so once,
    // until the directory is back and gets its feeds; the tree itself does not change.
    void outputDirectoryMadeAgainGetsItsFeeds_data()
    {
        QTest::addColumn<QString>("settle");
        QTest::newRow("settle time 1 s") << "1";
        QTest::newRow("settle time 0") << "0";
    }
    void outputDirectoryMadeAgainGetsItsFeeds()
    {
        QFETCH(QString, settle);
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "in/B/b.mp3", "out/"});
        const QString out = tmp.filePath("out");
        Watch watch;
        QVERIFY(watch.startOn(tmp.path(), {"--settle", settle}));

        QVERIFY(QDir(out).removeRecursively());
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += watch.process.readAllStandardError()).contains("Trying again every 1 s"),
                                 kWithinMs);
        const long before = cpuTicks(watch.process.processId());
        QTest::qWait(2500);  // two more tries, the same failure
        const long used = cpuTicks(watch.process.processId()) - before;
        QVERIFY2(before >= 0 && used < 60, qPrintable(QString::number(used)));  // under a quarter of the time
        QVERIFY(QDir().mkpath(out));
        // The next try comes within a second; what this waits for beyond it is a loaded
        // machine (a sanitizer build beside other tests), not the watcher.
        QTRY_COMPARE_WITH_TIMEOUT(fixture::filesIn(out), (QStringList{"-A-.xml", "-B-.xml"}),
                                  2 * kWithinMs);
        QTRY_COMPARE_WITH_TIMEOUT(watch.lines().size(), 4, kWithinMs);
        QVERIFY2(watch.lines().at(2).endsWith(" \"2\" XML files generated."), qPrintable(watch.lines().at(2)));
        QCOMPARE(watch.stop(), 143);
        err += watch.process.readAllStandardError();
        QCOMPARE(err.count("Trying again"), 1);
        verifyOnlyWholeFeeds(out);
    }

    // With standard input and output closed, the descriptors the watcher makes must not take
    // their numbers: printing a run's line must not wake its own wait, which would spin.
    void closedStandardStreamsLeaveTheWaitIdle()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "out/"});
        Watch watch;
        watch.process.setChildProcessModifier([] {
            ::close(STDIN_FILENO);
            ::close(STDOUT_FILENO);
        });
        watch.start({"--input", tmp.filePath("in"), "--output", tmp.filePath("out"), "--settings",
                     tmp.filePath("config.ini")});
        QVERIFY(watch.process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(tmp.filePath("out/index.html")), kWithinMs);
        QTest::qWait(300);
        const long before = cpuTicks(watch.process.processId());
        QTest::qWait(2000);
        const long used = cpuTicks(watch.process.processId()) - before;
        QVERIFY2(before >= 0 && used < 50, qPrintable(QString::number(used)));  // under a quarter of the time
        QCOMPARE(watch.stop(), 143);
    }
};

QTEST_GUILESS_MAIN(TestCliWatch)
#include "tst_cli_watch.moc"
