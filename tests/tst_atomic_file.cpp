// Replacing a file as a whole, and clearing away what a killed run left of that.
#include "run_fixture.h"
#include "generate/generate.h"
#include "runtime/atomic_file.h"
#include "runtime/process_token.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// A child that dies in the middle of writing a file's new contents, killed by the file size
// limit as it writes: what a run killed at that moment leaves behind. Returns its process id.
pid_t killedWhileWriting(const QByteArray &folder, yf::TemporaryStyle style)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit noCore{0, 0};
        const rlimit tenBytes{10, 10};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_FSIZE, &tenBytes);
        ::signal(SIGXFSZ, SIG_DFL);
        (void)yf::writeTemporaryFile(folder, "-A-.xml", QByteArray(100, 'x'), yf::ErrorKind::WriteFeed, style);
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

// A process that runs until the test ends it.
struct SleepingChild {
    pid_t pid = ::fork();
    SleepingChild()
    {
        if (pid == 0) {
            ::pause();
            ::_exit(0);
        }
    }
    ~SleepingChild()
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

QString tempName(const QByteArray &token, int serial)
{
    return QStringLiteral(".yarrowfeed-%1-%2.tmp").arg(QString::fromLatin1(token)).arg(serial);
}

// The token of a process with the same id and boot as `token` that started one tick later.
QByteArray startedLater(const QByteArray &token)
{
    QList<QByteArray> parts = token.split('-');
    parts[1] = QByteArray::number(parts[1].toLongLong() + 1);
    return parts.join('-');
}

QByteArray otherBoot(const QByteArray &token)
{
    QList<QByteArray> parts = token.split('-');
    parts[2] = QByteArray(32, parts[2].startsWith('0') ? '1' : '0');
    return parts.join('-');
}

} // namespace

class TestAtomicFile : public QObject {
    Q_OBJECT
private slots:
    void replacesWholeFileLeavingNothingElse_data();
    void replacesWholeFileLeavingNothingElse();
    void namesItsProcessApartFromAnyOther();
    void removesOnlyTheFilesOfEndedProcesses_data();
    void removesOnlyTheFilesOfEndedProcesses();
    void nextRunRemovesWhatAKilledRunLeft();
};

void TestAtomicFile::replacesWholeFileLeavingNothingElse_data()
{
    QTest::addColumn<int>("style");
    QTest::newRow("unnamed temporary file") << int(yf::TemporaryStyle::Unnamed);
    QTest::newRow("named temporary file") << int(yf::TemporaryStyle::Named);
}

void TestAtomicFile::replacesWholeFileLeavingNothingElse()
{
    QFETCH(int, style);
    const auto how = yf::TemporaryStyle(style);
    const bool named = how == yf::TemporaryStyle::Named;
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"feed.xml=old contents that are longer"});
    QVERIFY(yf::replaceFile(native(tmp.path()), "feed.xml", "new", yf::ErrorKind::WriteFeed).ok());
    QCOMPARE(fixture::readFile(tmp.path() + "/feed.xml"), QByteArray("new"));
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"feed.xml"});

    const yf::Status failed = yf::replaceFile(native(tmp.path() + "/missing"), "feed.xml", "x", yf::ErrorKind::WriteFeed);
    QVERIFY(!failed.ok());
    QCOMPARE(failed.error().path, tmp.path() + "/missing/feed.xml");

    // In two halves: until it is put in place the old file is what readers get, and a named
    // temporary file is the one other entry; putting it there leaves the file alone.
    for (const char *target : {"feed.xml", "fresh.xml"}) {
        yf::Result<yf::TemporaryFile> ready =
            yf::writeTemporaryFile(native(tmp.path()), target, "newer", yf::ErrorKind::WriteFeed, how);
        QVERIFY(ready.ok());
        yf::TemporaryFile file = std::move(ready).value();
        QCOMPARE(file.isUnnamed(), !named);
        QCOMPARE(fixture::readFile(tmp.path() + "/feed.xml"), QByteArray(target == QLatin1String("feed.xml") ? "new" : "newer"));
        const QStringList before = fixture::filesIn(tmp.path());
        QCOMPARE(before.size(), 1 + int(named));
        QVERIFY(yf::putTemporaryFile(file, native(tmp.path()), target, yf::ErrorKind::WriteFeed).ok());
        QVERIFY(file.isEmpty());
        QCOMPARE(fixture::readFile(tmp.path() + '/' + target), QByteArray("newer"));
    }
    QCOMPARE(fixture::filesIn(tmp.path()), (QStringList{"feed.xml", "fresh.xml"}));

    // A folder in the file's place: the put fails, names the file and leaves nothing.
    QVERIFY(QDir(tmp.path()).mkdir("taken.xml"));
    yf::Result<yf::TemporaryFile> blocked =
        yf::writeTemporaryFile(native(tmp.path()), "taken.xml", "x", yf::ErrorKind::WriteFeed, how);
    QVERIFY(blocked.ok());
    yf::TemporaryFile blockedFile = std::move(blocked).value();
    const yf::Status notPut = yf::putTemporaryFile(blockedFile, native(tmp.path()), "taken.xml", yf::ErrorKind::WriteFeed);
    QVERIFY(!notPut.ok());
    QCOMPARE(notPut.error().path, tmp.path() + "/taken.xml");
    QCOMPARE(notPut.error().osError, EISDIR);
    QCOMPARE(fixture::filesIn(tmp.path()), (QStringList{"feed.xml", "fresh.xml"}));
    const yf::Result<yf::TemporaryFile> nowhere =
        yf::writeTemporaryFile(native(tmp.path() + "/missing"), "feed.xml", "x", yf::ErrorKind::WriteFeed, how);
    QVERIFY(!nowhere.ok());
    QCOMPARE(nowhere.error().path, tmp.path() + "/missing/feed.xml");
    QCOMPARE(nowhere.error().osError, ENOENT);

    // Dropped, moved from and assigned over, each holds its file until it goes.
    {
        yf::Result<yf::TemporaryFile> a = yf::writeTemporaryFile(native(tmp.path()), "a.xml", "a", yf::ErrorKind::WriteFeed, how);
        yf::Result<yf::TemporaryFile> b = yf::writeTemporaryFile(native(tmp.path()), "b.xml", "b", yf::ErrorKind::WriteFeed, how);
        QVERIFY(a.ok() && b.ok());
        yf::TemporaryFile kept = std::move(a).value();
        yf::TemporaryFile other = std::move(b).value();
        QCOMPARE(fixture::filesIn(tmp.path()).size(), 2 + (named ? 2 : 0));
        kept = std::move(other);
        QVERIFY(other.isEmpty());
        QCOMPARE(fixture::filesIn(tmp.path()).size(), 2 + (named ? 1 : 0));
        QVERIFY(yf::putTemporaryFile(kept, native(tmp.path()), "b.xml", yf::ErrorKind::WriteFeed).ok());
        QCOMPARE(fixture::readFile(tmp.path() + "/b.xml"), QByteArray("b"));
    }
    QCOMPARE(fixture::filesIn(tmp.path()), (QStringList{"b.xml", "feed.xml", "fresh.xml"}));
}

void TestAtomicFile::namesItsProcessApartFromAnyOther()
{
    const QByteArray own = yf::ownProcessToken();
    QCOMPARE(own, yf::processToken(::getpid()));
    QVERIFY2(QRegularExpression("^[0-9]+-[0-9]+-[0-9a-f]{32}$").match(QString::fromLatin1(own)).hasMatch(), own.constData());
    QVERIFY(own.startsWith(QByteArray::number(::getpid()) + '-'));
    QVERIFY(yf::processMayRun(own.toStdString()));

    const SleepingChild child;
    const QByteArray childToken = yf::processToken(child.pid);
    QVERIFY(!childToken.isEmpty());
    QVERIFY(childToken != own);
    QVERIFY(yf::processMayRun(childToken.toStdString()));
    // The same id under a new process, or in another boot, is not the process the token names.
    QVERIFY(!yf::processMayRun(startedLater(childToken).toStdString()));
    QVERIFY(!yf::processMayRun(otherBoot(childToken).toStdString()));
    QCOMPARE(yf::processToken(deadProcess()), QByteArray());
    // What is no token is never taken for an ended process.
    for (const char *noToken : {"", "x", "12", "12-x-y", "-1-2"})
        QVERIFY2(yf::processMayRun(noToken), noToken);
}

void TestAtomicFile::removesOnlyTheFilesOfEndedProcesses_data()
{
    QTest::addColumn<QString>("owner");
    QTest::addColumn<bool>("removed");
    QTest::newRow("this process") << "own" << false;
    QTest::newRow("a running process") << "running" << false;
    QTest::newRow("an ended process") << "ended" << true;
    QTest::newRow("a running process's id, started later: a reused id") << "reused" << true;
    QTest::newRow("a running process's id and start, another boot") << "boot" << true;
    QTest::newRow("earlier version's name, an ended process") << "old ended" << true;
    QTest::newRow("earlier version's name, a running process") << "old running" << false;
    QTest::newRow("earlier version's name under this process's id") << "old own" << true;
    QTest::newRow("a name of another pattern") << "other" << false;
    QTest::newRow("a folder of an ended process's name") << "folder" << false;
}

void TestAtomicFile::removesOnlyTheFilesOfEndedProcesses()
{
    QFETCH(QString, owner);
    QFETCH(bool, removed);
    QTemporaryDir tmp;
    const SleepingChild child;
    const QByteArray running = yf::processToken(child.pid);
    const QByteArray endedId = QByteArray::number(deadProcess());
    const QByteArray ended = endedId + running.mid(running.indexOf('-'));
    QString name;
    if (owner == "own")
        name = tempName(yf::ownProcessToken(), 7);
    else if (owner == "running")
        name = tempName(running, 7);
    else if (owner == "ended" || owner == "folder")
        name = tempName(ended, 7);
    else if (owner == "reused")
        name = tempName(startedLater(running), 7);
    else if (owner == "boot")
        name = tempName(otherBoot(running), 7);
    else if (owner == "old ended")
        name = tempName(endedId, 7);
    else if (owner == "old running")
        name = tempName(QByteArray::number(child.pid), 7);
    else if (owner == "old own")
        name = tempName(QByteArray::number(::getpid()), 7);
    else
        name = ".yarrowfeed-" + QString::fromLatin1(running) + "-x.tmp";
    fixture::makeTree(tmp.path(), {owner == "folder" ? name + "/" : name + "=half a feed"});
    yf::removeStaleTemporaryFiles(native(tmp.path()));
    QCOMPARE(!QFileInfo::exists(tmp.path() + '/' + name), removed);
}

void TestAtomicFile::nextRunRemovesWhatAKilledRunLeft()
{
    QTemporaryDir tmp;
    const QString out = tmp.path() + "/out";
    QVERIFY(QDir().mkpath(out));
    // Killed while writing an unnamed file: nothing to clear away at all.
    QVERIFY(killedWhileWriting(native(out), yf::TemporaryStyle::Unnamed) > 0);
    QCOMPARE(fixture::filesIn(out), QStringList());
    // Where only named files can be made, one stays, named after the killed process.
    const pid_t killed = killedWhileWriting(native(out), yf::TemporaryStyle::Named);
    QVERIFY(killed > 0);
    const QStringList left = fixture::filesIn(out);
    QCOMPARE(left.size(), 1);
    QVERIFY2(left[0].startsWith(QStringLiteral(".yarrowfeed-%1-").arg(killed)), qPrintable(left[0]));
    QCOMPARE(fixture::readFile(out + '/' + left[0]), QByteArray(10, 'x'));
    const QString ours = tempName(yf::ownProcessToken(), 100000);  // this process: may still be renamed
    fixture::makeTree(tmp.path(), {"in/A/a.mp3", "out/" + ours, "out/keep.tmp"});

    yf::RunRequest request;
    request.inputDir = tmp.path() + "/in";
    request.linkEntry = request.inputDir;
    request.outputDir = out;
    request.baseUrl = "http://127.0.0.1/";
    const fixture::FixedClock clock;
    const yf::RunOutcome outcome = yf::generateFeeds(request, clock);
    QVERIFY(outcome.finished());
    QCOMPARE(outcome.feedsWritten, 1);
    QCOMPARE(fixture::filesIn(out), (QStringList{"-A-.xml", ours, "keep.tmp"}));
}

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomic_file.moc"
