// A run with helper threads against the same run on one thread: the same feed files, byte for
// byte, and the same end when a folder goes, a feed cannot be written, or the user cancels.
#include "run_fixture.h"
#include "scan/folder_scan.h"

#include <QDirIterator>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/stat.h>

namespace {

// Acts once after `afterFeeds` feeds; cancels from `cancelAt` feeds on.
class Trigger : public yf::RunObserver {
public:
    qsizetype afterFeeds = -1;
    qsizetype cancelAt = -1;
    std::function<void()> act;
    void feedWritten(qsizetype done, qsizetype) override
    {
        written = done;
        if (done == afterFeeds && act) {
            act();
            act = nullptr;
        }
    }
    bool cancelRequested() const override { return cancelAt >= 0 && written >= cancelAt; }

private:
    qsizetype written = 0;
};

// Every feed file of `dir` with its bytes.
QMap<QString, QByteArray> feedsIn(const QString &dir)
{
    QMap<QString, QByteArray> feeds;
    for (const QString &name : fixture::filesIn(dir))
        feeds.insert(name, fixture::readFile(dir + '/' + name));
    return feeds;
}

// Gives every file and folder below `root` one modification time, so trees built apart
// give the same feed text.
void pinTimes(const QString &root)
{
    const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    QStringList paths{root};
    while (it.hasNext())
        paths << it.next();
    for (const QString &path : paths)
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
}

// Forty plain folders, two whose feed names meet, and two nested ones too long for one name.
QStringList libraryTree()
{
    QStringList entries;
    for (int i = 0; i < 40; ++i) {
        const QString folder = QStringLiteral("F%1").arg(i, 2, 10, QLatin1Char('0'));
        entries << folder + "/a.mp3=aaaa" << folder + "/B \u00e9 & <c>.m4a=b" << folder + "/cover.jpg";
    }
    entries << "A-B/one.mp3" << "A/B/two.mp3" << QString(150, 'L') + '/' + QString(150, 'M') + "/deep.ogg=x";
    return entries;
}

struct Run : fixture::RunSetup {
    Trigger trigger;

    explicit Run(int helpers)
    {
        request.helperThreads = helpers;
        fixture::makeTree(request.inputDir, libraryTree());
        pinTimes(request.inputDir);
    }
    yf::RunOutcome go() { return run(&trigger); }
    // The folder at `index` in scan order, below the input directory.
    QString folder(qsizetype index) const
    {
        const yf::Result<yf::FolderArray> folders = yf::scanFolders(QFile::encodeName(request.inputDir) + '/');
        if (!folders.ok())
            return {};
        return QFile::decodeName(folders.value()[static_cast<std::size_t>(index)]).mid(request.inputDir.size() + 1);
    }
};

// What a test compares between the two: the count, the error and the skipped folders.
QStringList summary(const yf::RunOutcome &outcome, const Run &run)
{
    QStringList lines{QStringLiteral("written %1").arg(outcome.feedsWritten)};
    if (outcome.error)
        lines << QStringLiteral("error %1 %2 %3: %4").arg(int(outcome.error->kind))
                     .arg(outcome.error->operation,
                          QString(outcome.error->path).replace(run.request.outputDir, "<out>").remove(run.tmp.path()),
                          outcome.error->reason);
    for (const yf::Error &e : outcome.skipped)
        lines << "skipped " + QString(e.path).replace(run.request.outputDir, "<out>").remove(run.tmp.path()) + ": " + e.reason;
    return lines;
}

} // namespace

class TestTwoThreads : public QObject {
    Q_OBJECT
private slots:
    void sameFeedsAsOneThread_data();
    void sameFeedsAsOneThread();
    void endsAsOneThreadEnds_data();
    void endsAsOneThreadEnds();
};

void TestTwoThreads::sameFeedsAsOneThread_data()
{
    QTest::addColumn<int>("helpers");
    QTest::newRow("one helper") << 1;
    QTest::newRow("two helpers") << 2;
}

void TestTwoThreads::sameFeedsAsOneThread()
{
    QFETCH(int, helpers);
    Run run(0);
    const yf::RunOutcome alone = run.go();
    QVERIFY(alone.finished());
    const QMap<QString, QByteArray> expected = feedsIn(run.request.outputDir);
    QCOMPARE(expected.size(), 45);  // 40 + "A-B", "A", "A/B" + the long one and its parent
    // Both the meeting names and the one too long end in "~" and a hash.
    QCOMPARE(std::count_if(expected.keyBegin(), expected.keyEnd(), [](const QString &n) { return n.contains('~'); }), 2);

    // The same tree into a second output directory, with helpers.
    run.request.outputDir = run.tmp.path() + "/out2";
    run.request.helperThreads = helpers;
    QDir().mkpath(run.request.outputDir);
    const yf::RunOutcome together = run.go();
    QCOMPARE(summary(together, run), summary(alone, run));
    QCOMPARE(feedsIn(run.request.outputDir), expected);

    // Over the unchanged tree, no feed is written again.
    struct stat before {};
    QVERIFY(::stat(QFile::encodeName(run.request.outputDir + "/-F07-.xml").constData(), &before) == 0);
    QVERIFY(::chmod(QFile::encodeName(run.request.outputDir + "/-F07-.xml").constData(), 0444) == 0);
    const yf::RunOutcome again = run.go();
    QCOMPARE(summary(again, run), summary(alone, run));
    struct stat after {};
    QVERIFY(::stat(QFile::encodeName(run.request.outputDir + "/-F07-.xml").constData(), &after) == 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(feedsIn(run.request.outputDir), expected);
}

void TestTwoThreads::endsAsOneThreadEnds_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("helpers");
    for (int helpers : {1, 2}) {
        const QString with = helpers == 1 ? " (one helper)" : " (two helpers)";
        QTest::newRow(qPrintable("a folder far ahead goes" + with)) << "vanish" << helpers;
        QTest::newRow(qPrintable("a feed name blocked by a folder" + with)) << "blocked" << helpers;
        QTest::newRow(qPrintable("the output directory turns read-only" + with)) << "read-only" << helpers;
        QTest::newRow(qPrintable("cancelled" + with)) << "cancel" << helpers;
    }
}

void TestTwoThreads::endsAsOneThreadEnds()
{
    QFETCH(QString, event);
    QFETCH(int, helpers);
    if (event == "read-only" && ::geteuid() == 0)
        QSKIP("root writes into a read-only folder; the blocked feed name covers a write failing midway");

    // The reference: every feed of the tree, on one thread, nothing happening.
    Run reference(0);
    QVERIFY(reference.go().finished());
    const QMap<QString, QByteArray> complete = feedsIn(reference.request.outputDir);

    // A folder that goes needs a tree for each run; every other case runs both over one tree,
    // into an output directory each, so the scan order and so the counts are the same.
    Run shared(0);
    QStringList ends[2];
    for (int mode = 0; mode < 2; ++mode) {
        std::optional<Run> own;
        if (event == "vanish")
            own.emplace(0);
        Run &run = own ? *own : shared;
        run.request.helperThreads = mode == 0 ? 0 : helpers;
        run.request.outputDir = run.tmp.path() + QStringLiteral("/out-%1").arg(mode);
        QDir().mkpath(run.request.outputDir);
        run.trigger = Trigger{};
        if (event == "vanish") {
            // Far past what the helpers may have listed by the third feed.
            run.trigger.afterFeeds = 3;
            run.trigger.act = [&run] { QVERIFY(QDir(run.request.inputDir + '/' + run.folder(30)).removeRecursively()); };
        } else if (event == "blocked") {
            fixture::makeTree(run.request.outputDir, {"-F20-.xml/"});
        } else if (event == "read-only") {
            run.trigger.afterFeeds = 5;
            run.trigger.act = [&run] { QVERIFY(::chmod(QFile::encodeName(run.request.outputDir).constData(), 0555) == 0); };
        } else {
            run.trigger.cancelAt = 7;
        }
        const yf::RunOutcome outcome = run.go();
        ::chmod(QFile::encodeName(run.request.outputDir).constData(), 0755);
        ends[mode] = summary(outcome, run);
        // A folder holding a feed's name costs that feed alone, as a folder that vanishes does.
        const bool finishes = event == "vanish" || event == "blocked";
        QVERIFY2(finishes ? outcome.finished() : !outcome.finished(), qPrintable(ends[mode].join('\n')));

        // Whatever the end, each feed on disk is whole: the very bytes of the full run; and
        // nothing else is left, but for feeds readied ahead in a folder that turned read-only
        // (no one can remove them there; a later run does).
        QMap<QString, QByteArray> feeds = feedsIn(run.request.outputDir);
        if (event == "read-only")
            feeds.removeIf([](const auto &file) { return file.key().startsWith(".yarrowfeed-"); });
        QCOMPARE(feeds.size(), event == "vanish" ? complete.size() - 1 : int(outcome.feedsWritten));
        for (auto it = feeds.cbegin(); it != feeds.cend(); ++it)
            QVERIFY2(complete.value(it.key()) == it.value(), qPrintable(it.key()));
        if (event == "vanish")
            QVERIFY(ends[mode].last().endsWith(": No such file or directory"));
    }
    if (event == "vanish") {
        // Which folder was at place 30 may differ between the two trees; nothing else may.
        QCOMPARE(ends[1].size(), ends[0].size());
        QCOMPARE(ends[1].first(), ends[0].first());
    } else {
        QCOMPARE(ends[1], ends[0]);
    }
}

QTEST_GUILESS_MAIN(TestTwoThreads)
#include "tst_two_threads.moc"
