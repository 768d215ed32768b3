// Replacing a file as a whole, and clearing away what a killed run left of that.
#include "run_fixture.h"
#include "generate/generate.h"
#include "runtime/atomic_file.h"

#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }


// A child that dies in the middle of replacing a feed, killed by the file size limit as it
// writes: what a run killed at that moment leaves behind. Returns its process id.
pid_t killedWhileWriting(const QByteArray &folder)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit noCore{0, 0};
        const rlimit tenBytes{10, 10};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_FSIZE, &tenBytes);
        ::signal(SIGXFSZ, SIG_DFL);
        (void)yf::replaceFile(folder, "-A-.xml", QByteArray(100, 'x'), yf::ErrorKind::WriteFeed);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ ? child : 0;
}

// The id of a process that has ended.
pid_t deadProcess()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

QString tempName(qint64 pid, int serial) { return QStringLiteral(".yarrowfeed-%1-%2.tmp").arg(pid).arg(serial); }

} // namespace

class TestAtomicFile : public QObject {
    Q_OBJECT
private slots:
    void replacesWholeFileLeavingNothingElse();
    void nextRunRemovesWhatAKilledRunLeft();
};

void TestAtomicFile::replacesWholeFileLeavingNothingElse()
{
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"feed.xml=old contents that are longer"});
    QVERIFY(yf::replaceFile(native(tmp.path()), "feed.xml", "new", yf::ErrorKind::WriteFeed).ok());
    QCOMPARE(fixture::readFile(tmp.path() + "/feed.xml"), QByteArray("new"));
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"feed.xml"});

    const yf::Status failed = yf::replaceFile(native(tmp.path() + "/missing"), "feed.xml", "x", yf::ErrorKind::WriteFeed);
    QVERIFY(!failed.ok());
    QCOMPARE(failed.error().path, tmp.path() + "/missing/feed.xml");

    // In two halves: the temporary file is all there is until it is put in place, a failure
    // to put it there removes it, and failures name the file being replaced.
    const yf::Result<QByteArray> ready = yf::writeTemporaryFile(native(tmp.path()), "feed.xml", "newer", yf::ErrorKind::WriteFeed);
    QVERIFY(ready.ok());
    QCOMPARE(fixture::readFile(tmp.path() + "/feed.xml"), QByteArray("new"));
    QCOMPARE(fixture::filesIn(tmp.path()).size(), 2);
    QVERIFY(yf::putTemporaryFile(ready.value(), native(tmp.path()), "feed.xml", yf::ErrorKind::WriteFeed).ok());
    QCOMPARE(fixture::readFile(tmp.path() + "/feed.xml"), QByteArray("newer"));
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"feed.xml"});

    QVERIFY(QDir(tmp.path()).mkdir("taken.xml"));
    const yf::Result<QByteArray> blocked = yf::writeTemporaryFile(native(tmp.path()), "taken.xml", "x", yf::ErrorKind::WriteFeed);
    QVERIFY(blocked.ok());
    const yf::Status notPut = yf::putTemporaryFile(blocked.value(), native(tmp.path()), "taken.xml", yf::ErrorKind::WriteFeed);
    QVERIFY(!notPut.ok());
    QCOMPARE(notPut.error().path, tmp.path() + "/taken.xml");
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"feed.xml"});
    const yf::Result<QByteArray> nowhere = yf::writeTemporaryFile(native(tmp.path() + "/missing"), "feed.xml", "x", yf::ErrorKind::WriteFeed);
    QVERIFY(!nowhere.ok());
    QCOMPARE(nowhere.error().path, tmp.path() + "/missing/feed.xml");
}

void TestAtomicFile::nextRunRemovesWhatAKilledRunLeft()
{
    QTemporaryDir tmp;
    const QString out = tmp.path() + "/out";
    QVERIFY(QDir().mkpath(out));
    const pid_t killed = killedWhileWriting(native(out));
    QVERIFY(killed > 0);
    const QStringList left = fixture::filesIn(out);
    QCOMPARE(left.size(), 1);
    QVERIFY2(left[0].startsWith(QStringLiteral(".yarrowfeed-%1-").arg(killed)), qPrintable(left[0]));
    QCOMPARE(fixture::readFile(out + '/' + left[0]), QByteArray(10, 'x'));
    const pid_t dead = deadProcess();
    const QString ours = tempName(::getpid(), 100000);  // this process: may still be renamed
    const QString live = tempName(1, 0);                // a process that runs
    fixture::makeTree(tmp.path(), {"in/A/a.mp3", "out/" + tempName(dead, 3) + "=half a feed", "out/" + ours, "out/" + live,
                                   "out/.yarrowfeed-x-1.tmp", "out/.yarrowfeed-12.tmp", "out/keep.tmp",
                                   "out/" + tempName(dead, 8) + "/"});  // a folder is never removed

    yf::RunRequest request;
    request.inputDir = tmp.path() + "/in";
    request.linkEntry = request.inputDir;
    request.outputDir = out;
    request.baseUrl = "http://127.0.0.1/";
    const fixture::FixedClock clock;
    const yf::RunOutcome outcome = yf::generateFeeds(request, clock);
    QVERIFY(outcome.finished());
    QCOMPARE(outcome.feedsWritten, 1);

    QStringList expected{"-A-.xml", ours, live, ".yarrowfeed-x-1.tmp", ".yarrowfeed-12.tmp", "keep.tmp"};
    expected.sort();
    QCOMPARE(fixture::filesIn(out), expected);
    QVERIFY(QFileInfo(out + '/' + tempName(dead, 8)).isDir());
}

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomic_file.moc"
