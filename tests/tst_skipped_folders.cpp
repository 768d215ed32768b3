// Folders a run cannot read: no permission, gone or swapped for a link at any moment, paths
// longer than the system takes. Each is left out and reported; every other feed is written.
#include "run_fixture.h"
#include "feed/file_lister.h"

#include <QScopeGuard>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// Does `act` once, at a chosen moment of the run.
class Saboteur : public yf::RunObserver {
public:
    enum Moment { Never, DuringScan, BeforeFeeds, AfterFirstFeed };
    Moment moment = Never;
    qsizetype scanCount = 0;  // DuringScan: once this many folders are found
    std::function<void()> act;

    void foldersFound(qsizetype count) override
    {
        if (moment == DuringScan && count >= scanCount)
            fire();
    }
    void feedWritten(qsizetype done, qsizetype) override
    {
        if ((moment == BeforeFeeds && done == 0) || (moment == AfterFirstFeed && done == 1))
            fire();
    }

private:
    void fire()
    {
        moment = Never;
        act();
    }
};

struct Run : fixture::RunSetup {
    Saboteur saboteur;

    Run() : RunSetup(QStringLiteral("conf/config.ini")) { QDir().mkpath(tmp.path() + "/conf"); }
    yf::RunOutcome go() { return run(&saboteur); }
};

// One line per fact of an outcome, with paths below the input directory: what a test compares.
QStringList summary(const yf::RunOutcome &outcome, const Run &run)
{
    QStringList lines;
    lines << QStringLiteral("written %1").arg(outcome.feedsWritten);
    if (outcome.error)
        lines << "error " + outcome.error->message();
    QStringList skipped;
    for (const yf::Error &e : outcome.skipped)
        skipped << "skipped " + QString(e.path).remove(run.request.inputDir + '/') + ": " + e.reason;
    skipped.sort();
    lines << skipped;
    for (const QString &feed : run.feeds())
        lines << "feed " + feed;
    return lines;
}

} // namespace

class TestSkippedFolders : public QObject {
    Q_OBJECT
private slots:
    void skipsFoldersWithoutPermission_data();
    void skipsFoldersWithoutPermission();
    void skipsFoldersThatGoAtAnyMoment_data();
    void skipsFoldersThatGoAtAnyMoment();
    void neverListsALinkPutInAFoldersPlace();
    void writesFeedsUpToThePathLimit();
    void stillStopsOnTheInputAndOutputSide();
    void skipsTheFeedWhoseNameIsTaken_data();
    void skipsTheFeedWhoseNameIsTaken();
};

void TestSkippedFolders::skipsFoldersWithoutPermission_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<bool>("needsRoot");  // the folder must belong to another user
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("mode 000")
        << QStringList{"Open/a.mp3", "Open/Sub/", "Shut/Inner/x.mp3", "Shut/!000"} << false
        << QStringList{"written 2", "skipped Shut/: Permission denied", "feed -Open-.xml", "feed -Open-Sub-.xml"};
    QTest::newRow("mode 300")
        << QStringList{"Open/a.mp3", "NoRead/Inner/x.mp3", "NoRead/!300"} << false
        << QStringList{"written 1", "skipped NoRead/: Permission denied", "feed -Open-.xml"};
    QTest::newRow("mode 700 of another user, as lost+found")
        << QStringList{"Open/a.mp3", "lost+found/x/", "lost+found/!700"} << true
        << QStringList{"written 1", "skipped lost+found/: Permission denied", "feed -Open-.xml"};
    QTest::newRow("write-protected folder is said, nothing below it is looked at")
        << QStringList{"Open/a.mp3", "Frozen/x/y/", "Frozen/x/!555", "Frozen/!555"} << false
        << QStringList{"written 1", "skipped Frozen/: skipped: write-protected (the owner cannot write it)",
                       "feed -Open-.xml"};
    QTest::newRow("write-protected below a folder that gets a feed")
        << QStringList{"Open/a.mp3", "Open/Frozen/b.mp3", "Open/Frozen/!555"} << false
        << QStringList{"written 1", "skipped Open/Frozen/: skipped: write-protected (the owner cannot write it)",
                       "feed -Open-.xml"};
    QTest::newRow("hidden and linked write-protected folders stay unsaid")
        << QStringList{"Open/a.mp3", ".frozen/x.mp3", ".frozen/!555", "Frozen/x.mp3", "Frozen/!555", "Open/Link->../Frozen"}
        << false
        << QStringList{"written 1", "skipped Frozen/: skipped: write-protected (the owner cannot write it)",
                       "feed -Open-.xml"};
}

void TestSkippedFolders::skipsFoldersWithoutPermission()
{
    QFETCH(QStringList, tree);
    QFETCH(bool, needsRoot);
    QFETCH(QStringList, expected);
    if (needsRoot && ::geteuid() != 0)
        QSKIP("needs a folder of another user: run as root");
    Run run;
    fixture::makeTree(run.request.inputDir, tree);
    const auto restore = qScopeGuard([&] { QProcess::execute("chmod", {"-R", "u+rwx", run.tmp.path()}); });
    // Open to whoever runs the scan; the output and the settings may be written by anyone.
    for (const QString &dir : {run.tmp.path(), run.request.inputDir, run.in("Open")})
        QVERIFY(::chmod(native(dir).constData(), 0755) == 0);
    for (const QString &dir : {run.request.outputDir, run.tmp.path() + "/conf"})
        QVERIFY(::chmod(native(dir).constData(), 0777) == 0);
    QCOMPARE(fixture::asUnprivileged([&] { return summary(run.go(), run); }), expected);
}

void TestSkippedFolders::skipsFoldersThatGoAtAnyMoment_data()
{
    QTest::addColumn<int>("moment");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("reason");
    QTest::newRow("removed during the scan, before it is listed")
        << int(Saboteur::DuringScan) << "remove" << "No such file or directory";
    QTest::newRow("removed after the scan") << int(Saboteur::BeforeFeeds) << "remove" << "No such file or directory";
    QTest::newRow("made a file after the scan") << int(Saboteur::BeforeFeeds) << "file" << "Not a directory";
    QTest::newRow("made unreadable after the scan") << int(Saboteur::BeforeFeeds) << "chmod" << "Permission denied";
}

void TestSkippedFolders::skipsFoldersThatGoAtAnyMoment()
{
    QFETCH(int, moment);
    QFETCH(QString, change);
    QFETCH(QString, reason);
    if (change == "chmod" && ::geteuid() == 0)
        QSKIP("root reads the folder whatever its mode; the permission test covers it");
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/Inner/b.mp3", "C/c.mp3"});
    const auto restore = qScopeGuard([&] { QProcess::execute("chmod", {"-R", "u+rwx", run.tmp.path()}); });
    run.saboteur.moment = Saboteur::Moment(moment);
    run.saboteur.scanCount = 4;  // A, B and C are found, none listed yet
    run.saboteur.act = [&] {
        if (change == "chmod") {
            QVERIFY(::chmod(native(run.in("B")).constData(), 0000) == 0);
            return;
        }
        QVERIFY(QDir(run.in("B")).removeRecursively());
        if (change == "file")
            fixture::makeTree(run.request.inputDir, {"B=not a folder"});
    };
    const yf::RunOutcome outcome = run.go();
    QVERIFY(!outcome.error);
    QStringList expected{"feed -A-.xml", "feed -C-.xml"};
    if (moment == Saboteur::DuringScan) {
        // Nothing below it was ever found.
        expected.prepend("skipped B/: " + reason);
        expected.prepend("written 2");
    } else {
        // Its sub-folder was found before it went: that one goes too.
        expected.prepend("skipped B/Inner/: " + reason);
        expected.prepend("skipped B/: " + reason);
        expected.prepend("written 2");
    }
    QCOMPARE(summary(outcome, run), expected);

    // While feeds are written: every folder not written yet goes. On one thread, so that no
    // folder has been listed ahead of the feed being written.
    Run late;
    late.request.helperThreads = 0;
    fixture::makeTree(late.request.inputDir, {"A/a.mp3", "B/b.mp3", "C/c.mp3"});
    late.saboteur.moment = Saboteur::AfterFirstFeed;
    late.saboteur.act = [&] {
        for (const char *name : {"A", "B", "C"}) {
            if (!QFile::exists(late.request.outputDir + "/-" + name + "-.xml"))
                QVERIFY(QDir(late.in(name)).removeRecursively());
        }
    };
    const yf::RunOutcome lateOutcome = late.go();
    QVERIFY(!lateOutcome.error);
    QCOMPARE(lateOutcome.feedsWritten, 1);
    QCOMPARE(lateOutcome.skipped.size(), std::size_t(2));
    QCOMPARE(late.feeds().size(), 1);
}

void TestSkippedFolders::neverListsALinkPutInAFoldersPlace()
{
    for (const Saboteur::Moment moment : {Saboteur::DuringScan, Saboteur::BeforeFeeds}) {
        Run run;
        fixture::makeTree(run.tmp.path(), {"secret/password.mp3"});
        fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3"});
        run.saboteur.moment = moment;
        run.saboteur.scanCount = 3;
        run.saboteur.act = [&] {
            QVERIFY(QDir(run.in("B")).removeRecursively());
            fixture::makeTree(run.request.inputDir, {"B->" + run.tmp.path() + "/secret"});
        };
        const yf::RunOutcome outcome = run.go();
        QVERIFY(!outcome.error);
        QCOMPARE(outcome.feedsWritten, 1);
        QCOMPARE(run.feeds(), QStringList{"-A-.xml"});
        QCOMPARE(outcome.skipped.size(), std::size_t(1));
        QCOMPARE(outcome.skipped[0].path, run.in("B/"));
        // The kernel says ELOOP or, asked for a folder, ENOTDIR.
        QVERIFY2(outcome.skipped[0].osError == ELOOP || outcome.skipped[0].osError == ENOTDIR,
                 qPrintable(outcome.skipped[0].reason));
        QVERIFY(!fixture::readFile(run.request.outputDir + "/-A-.xml").contains("password"));
    }

    // The lister on its own, also with the trailing "/" that would make the kernel follow the
    // link after all.
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"real/x.mp3", "link->real"});
    yf::FileLister lister;
    for (const QByteArray &path : {native(tmp.path() + "/link"), native(tmp.path() + "/link/"),
                                   native(tmp.path() + "/link//")}) {
        const yf::Status listed = lister.setPath(path);
        QVERIFY2(!listed.ok(), path.constData());
        QVERIFY(listed.error().osError == ELOOP || listed.error().osError == ENOTDIR);
    }
    QVERIFY(lister.setPath(native(tmp.path() + "/real/")).ok());
    QCOMPARE(lister.listCount(), 1);
}

void TestSkippedFolders::writesFeedsUpToThePathLimit()
{
    // An input directory 4,001 bytes long, with a chain of "d" folders below it that goes
    // past the 4,095 bytes a path may hold: each level adds 2 bytes, so 47 levels fit.
    Run run;
    QString input = run.tmp.path();
    while (input.size() < 4001 - 201)
        input += '/' + QString(200, 'p');
    input += '/' + QString(4001 - input.size() - 1, 'q');
    QCOMPARE(input.size(), 4001);
    QVERIFY(QDir().mkpath(input));
    run.request.inputDir = input;
    run.request.linkEntry = input;
    QVERIFY(fixture::makeChain(native(input), "d", 60));
    const auto cleanup = qScopeGuard([&] { fixture::removeChain(native(input), "d"); });
    fixture::makeTree(input, {"short/x.mp3"});

    const yf::RunOutcome outcome = run.go();
    QVERIFY2(!outcome.error, qPrintable(outcome.error ? outcome.error->message() : QString()));
    QCOMPARE(outcome.feedsWritten, 47 + 1);
    QCOMPARE(run.feeds().size(), 47 + 1);
    QCOMPARE(outcome.skipped.size(), std::size_t(1));
    QCOMPARE(outcome.skipped[0].reason, QString("File name too long"));
    QCOMPARE(outcome.skipped[0].path, input + '/' + QString("d/").repeated(48));
    QVERIFY(QFile::exists(run.request.outputDir + "/-short-.xml"));
    QVERIFY(QFile::exists(run.request.outputDir + '/' + QString("-d").repeated(47) + "-.xml"));
}

void TestSkippedFolders::stillStopsOnTheInputAndOutputSide()
{
    // The input directory itself cannot be listed: the run stops with why.
    if (::geteuid() != 0) {
        Run run;
        fixture::makeTree(run.request.inputDir, {"A/a.mp3"});
        QVERIFY(::chmod(native(run.request.inputDir).constData(), 0300) == 0);
        const auto restore = qScopeGuard([&] { ::chmod(native(run.request.inputDir).constData(), 0755); });
        const yf::RunOutcome outcome = run.go();
        QVERIFY(outcome.error);
        QCOMPARE(outcome.error->reason, QString("Permission denied"));
    }
    Run gone;
    gone.request.inputDir = gone.tmp.path() + "/missing";
    QCOMPARE(gone.go().error.value_or(yf::Error{}).reason, QString("No such file or directory"));

    // The output directory goes after the scan: that is not a folder to skip.
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3"});
    run.saboteur.moment = Saboteur::BeforeFeeds;
    run.saboteur.act = [&] { QVERIFY(QDir(run.request.outputDir).removeRecursively()); };
    const yf::RunOutcome outcome = run.go();
    QVERIFY(outcome.error);
    QCOMPARE(outcome.error->kind, yf::ErrorKind::WriteFeed);
    QCOMPARE(outcome.feedsWritten, 0);
    QVERIFY(outcome.skipped.empty());
}

void TestSkippedFolders::skipsTheFeedWhoseNameIsTaken_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<bool>("afterScan");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a folder") << "folder" << false << "a folder is in the way";
    QTest::newRow("a folder made after the scan") << "folder" << true << "a folder is in the way";
    QTest::newRow("a named pipe, never waited on") << "fifo" << false << "a named pipe (FIFO) is in the way";
}

// Something that is no file holds one feed's name in the output directory: that folder is
// skipped, named with why, every other feed is written and the run finishes; once the thing
// is gone, the next run writes that feed too.
void TestSkippedFolders::skipsTheFeedWhoseNameIsTaken()
{
    QFETCH(QString, what);
    QFETCH(bool, afterScan);
    QFETCH(QString, reason);
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3", "B/Inner/c.mp3", "C/c.mp3"});
    const QString taken = run.request.outputDir + "/-B-.xml";
    const auto block = [&] {
        if (what == "folder")
            fixture::makeTree(run.request.outputDir, {"-B-.xml/kept.txt=mine"});
        else
            QVERIFY(::mkfifo(native(taken).constData(), 0644) == 0);
    };
    if (afterScan) {
        run.saboteur.moment = Saboteur::BeforeFeeds;
        run.saboteur.act = block;
    } else {
        block();
    }
    const yf::RunOutcome outcome = run.go();
    QVERIFY2(outcome.finished(), qPrintable(outcome.error ? outcome.error->message() : QString()));
    QCOMPARE(outcome.feedsWritten, 3);
    QCOMPARE(outcome.skipped.size(), std::size_t(1));
    QCOMPARE(outcome.skipped[0].message(), "Cannot write feed \"" + taken + "\": " + reason);
    QStringList written{"-A-.xml", "-B-Inner-.xml", "-C-.xml"};
    struct stat st;
    QVERIFY(::lstat(native(taken).constData(), &st) == 0);
    if (what == "folder") {
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(fixture::readFile(taken + "/kept.txt"), QByteArray("mine"));
    } else {
        QVERIFY(S_ISFIFO(st.st_mode));  // still the pipe: not replaced by a feed
        written.insert(1, "-B-.xml");
    }
    QCOMPARE(run.feeds(), written);

    QVERIFY(what == "folder" ? QDir(taken).removeRecursively() : QFile::remove(taken));
    const yf::RunOutcome again = run.go();
    QVERIFY(again.finished());
    QCOMPARE(again.feedsWritten, 4);
    QVERIFY(again.skipped.empty());
    QVERIFY(fixture::readFile(taken).contains("<title>b.mp3</title>"));
}

QTEST_GUILESS_MAIN(TestSkippedFolders)
#include "tst_skipped_folders.moc"
