// Runs killed in the middle leave no temporary file, whatever process id the next run gets:
// each run here is process 1 of a process namespace of its own, as in a container.
#include "fixture.h"
#include "program_testing.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/stat.h>

using namespace cli_testing;

namespace {

constexpr int kFolders = 4000;

// The inode of `path`, 0 when there is none: a feed put in place anew has a new one.
ino_t inodeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// The program's temporary files in `dir`: hidden names of ours, but for the list of feeds.
QStringList temporariesIn(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                            .filter(QRegularExpression("^\\.yarrowfeed-"));
    names.removeAll(QString::fromLatin1(yf::kPublishedFeedsFile));
    return names;
}

// Feeds in `dir` that are not whole, or not made under `baseUrl` when one is given.
QStringList brokenFeedsIn(const QString &dir, const QString &baseUrl = {})
{
    QStringList broken;
    for (const QString &name : fixture::filesIn(dir)) {
        const QByteArray text = fixture::readFile(dir + '/' + name);
        if (!text.startsWith("<rss version=\"2.0\">\r\n") || !text.endsWith("</channel></rss>\r\n")
            || (!baseUrl.isEmpty() && !text.contains(("<link>" + baseUrl + "</link>").toUtf8())))
            broken << name;
    }
    return broken;
}

// The child that `parent` forked, by /proc; 0 when there is none yet.
pid_t childOf(qint64 parent)
{
    const QByteArray children =
        fixture::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(parent)).trimmed();
    return static_cast<pid_t>(children.split(' ').first().toLong());
}

} // namespace

class TestKilledRuns : public QObject {
    Q_OBJECT
    QStringList m_unshare;  // the command line that makes a run process 1

private slots:
    void initTestCase()
    {
        // Root may make a process namespace; others only inside a user namespace of their own.
        for (const QStringList &tried : {QStringList{"-p", "-f", "--mount-proc"}, QStringList{"-r", "-p", "-f", "--mount-proc"}}) {
            QProcess probe;
            probe.start("unshare", tried + QStringList{"sh", "-c", "echo $$"});
            if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0
                && probe.readAllStandardOutput().trimmed() == "1") {
                m_unshare = tried + QStringList{"--kill-child=SIGKILL"};
                return;
            }
        }
        QSKIP("unshare cannot make a process namespace here");
    }

    // Three runs killed while they replace feeds, each as process 1, then one more run to the
    // end, also process 1: no temporary file anywhere in the output directory, every feed
    // whole. Every run has a base URL of its own, so every feed is written anew each time.
    void noTemporaryFileOutlivesAKilledRun()
    {
        QTemporaryDir tmp;
        const QString in = tmp.filePath("in");
        const QString out = tmp.filePath("out");
        QVERIFY(QDir().mkpath(in) && QDir().mkpath(out));
        QVERIFY(makeFolders(in, kFolders));
        const QString firstFeed = out + "/-F0-.xml";
        const auto runArguments = [&](const QString &baseUrl) {
            return m_unshare + QStringList{program(), "--generate", "--quiet", "--input", in, "--output", out,
                                           "--settings", tmp.filePath("config.ini"), "--base-url", baseUrl};
        };

        // A run that ends before the kill reaches it (a busy machine can let it) is no killed
        // run: another is started, under a base URL of its own.
        int killed = 0;
        for (int attempt = 0; killed < 3 && attempt < 12; ++attempt) {
            const QString baseUrl = QStringLiteral("http://127.0.0.1/a%1/").arg(attempt);
            const ino_t before = inodeOf(firstFeed);
            QProcess run;
            run.setProcessEnvironment(headless());
            run.start("unshare", runArguments(baseUrl));
            QVERIFY(run.waitForStarted());
            // Killed once its first feed of this run is in place, with more being readied.
            while (inodeOf(firstFeed) == before && run.state() == QProcess::Running)
                QThread::usleep(200);
            const pid_t child = childOf(run.processId());
            if (child > 0)
                ::kill(child, SIGKILL);
            ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
            QVERIFY(run.waitForFinished(60000));
            QCOMPARE(brokenFeedsIn(out), QStringList());
            int renewed = 0;
            for (const QString &name : fixture::filesIn(out))
                renewed += fixture::readFile(out + '/' + name).contains(baseUrl.toUtf8());
            if (run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0 && renewed == kFolders)
                continue;
            QCOMPARE(run.exitStatus(), QProcess::CrashExit);
            QVERIFY2(renewed < kFolders, "the run ended before it was killed: make the tree bigger");
            ++killed;
        }
        QVERIFY2(killed == 3, "most runs ended before they were killed: make the tree bigger");

        // What a killed run as process 1 left where only named temporary files can be made,
        // and what an earlier version left under the same id: the next process 1 is no owner.
        const QByteArray boot = fixture::readFile("/proc/sys/kernel/random/boot_id").trimmed().replace("-", "");
        const QStringList leftOver{".yarrowfeed-1-1-" + QString::fromLatin1(boot) + "-3.tmp", ".yarrowfeed-1-12.tmp"};
        for (const QString &name : leftOver)
            fixture::makeTree(out, {name + "=<rss version"});

        QProcess last;
        last.setProcessEnvironment(headless());
        last.start("unshare", runArguments("http://127.0.0.1/last/"));
        QVERIFY(last.waitForFinished(120000));
        QCOMPARE(last.exitStatus(), QProcess::NormalExit);
        QVERIFY2(last.exitCode() == 0, last.readAllStandardError().constData());
        QCOMPARE(temporariesIn(out), QStringList());
        QCOMPARE(fixture::filesIn(out).size(), kFolders);
        QCOMPARE(brokenFeedsIn(out, "http://127.0.0.1/last/"), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestKilledRuns)
#include "tst_killed_runs.moc"
