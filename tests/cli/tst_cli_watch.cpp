// The real program in --watch: feeds follow files and folders that come, go and get
// renamed; its own writes never start a run; SIGTERM ends it cleanly.
#include "fixture.h"
#include "program_testing.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

using namespace cli_testing;

namespace {

constexpr int kSettleSeconds = 1;
constexpr int kWithinMs = (kSettleSeconds + 3) * 1000;

} // namespace

class TestCliWatch : public QObject {
    Q_OBJECT

    QProcess m_watch;
    QStringList m_lines;

    // Every run's line so far, read as it comes.
    QStringList &lines()
    {
        while (m_watch.canReadLine())
            m_lines << QString::fromUtf8(m_watch.readLine()).chopped(1);
        return m_lines;
    }

private slots:
    void feedsFollowTheTree()
    {
        QTemporaryDir tmp;
        const QString in = tmp.filePath("in");
        const QString out = in + "/feeds";  // inside the tree: writing feeds must not look like a change
        fixture::makeTree(tmp.path(), {"in/Talks/ep1.mp3", "in/Music/Old/x.ogg", "in/feeds/"});
        m_watch.setProcessEnvironment(headless());
        m_watch.start(program(), {"--watch", "--settle", QString::number(kSettleSeconds), "--input", in, "--output",
                                  out, "--settings", tmp.filePath("config.ini")});
        QVERIFY(m_watch.waitForStarted());
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

        QVERIFY(::kill(static_cast<pid_t>(m_watch.processId()), SIGTERM) == 0);
        QVERIFY(m_watch.waitForFinished(10000));
        QCOMPARE(m_watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_watch.exitCode(), 143);
        // The feeds of the renamed and the removed folders went, each said once, with the time.
        QStringList said = QString::fromUtf8(m_watch.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        for (QString &entry : said)
            entry = entry.mid(20);  // "yyyy-MM-dd HH:mm:ss "
        said.sort();
        QCOMPARE(said, (QStringList{"Removed old feed \"" + out + "/-Fresh-.xml\"",
                                    "Removed old feed \"" + out + "/-Music-.xml\"",
                                    "Removed old feed \"" + out + "/-Music-Old-.xml\""}));
        QCOMPARE(fixture::filesIn(out), (QStringList{"-Renamed-.xml", "-Talks-.xml"}));  // nothing temporary left
    }

    // SIGINT in the middle of a run cancels it and ends the watch with 130.
    void interruptDuringARun()
    {
        QTemporaryDir tmp;
        QVERIFY(QDir().mkpath(tmp.filePath("in")));
        QVERIFY(QDir().mkpath(tmp.filePath("out")));
        QVERIFY(makeFolders(tmp.filePath("in"), 4000));
        QProcess watch;
        watch.setProcessEnvironment(headless());
        watch.start(program(), {"--watch", "--input", tmp.filePath("in"), "--output", tmp.filePath("out"),
                                "--settings", tmp.filePath("config.ini")});
        QVERIFY(watch.waitForStarted());
        QDir out(tmp.filePath("out"));
        while (out.isEmpty() && watch.state() == QProcess::Running)
            QThread::usleep(500);
        QVERIFY(::kill(static_cast<pid_t>(watch.processId()), SIGINT) == 0);
        QVERIFY(watch.waitForFinished(60000));
        QCOMPARE(watch.exitCode(), 130);
        const QString err = QString::fromUtf8(watch.readAllStandardError());
        QVERIFY2(err.contains("XML files generated before the run was cancelled."), qPrintable(err));
        QCOMPARE(watch.readAllStandardOutput(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestCliWatch)
#include "tst_cli_watch.moc"
