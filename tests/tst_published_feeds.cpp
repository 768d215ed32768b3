// The output directory's list of feeds: its text, and which old feeds a run removes and which never.
#include "generate/published_feeds.h"
#include "run_fixture.h"

#include <QScopeGuard>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

using Names = std::vector<QByteArray>;

QByteArray native(const QString &s) { return QFile::encodeName(s); }

const QByteArray kFeedLike = "<rss version=\"2.0\">\r\n<channel>\r\n</channel>\r\n</rss>\r\n";

// Stops the run once the first feed is written.
class CancelAfterFirst : public yf::RunObserver {
public:
    bool cancelRequested() const override { return m_written >= 1; }
    void feedWritten(qsizetype done, qsizetype) override { m_written = done; }

private:
    qsizetype m_written = 0;
};

struct Run : fixture::RunSetup {
    QString list() const { return request.outputDir + '/' + yf::kPublishedFeedsFile; }
    QString out(const QString &name) const { return request.outputDir + '/' + name; }
    // The feeds the list names; the index page and OPML file it also names are no feeds.
    Names listed() const
    {
        Names names = yf::readPublishedFeedsText(fixture::readFile(list())).value_or(Names{QByteArray("not a list")});
        std::erase_if(names, [](const QByteArray &name) { return name == yf::kIndexPageFile || name == yf::kOpmlFile; });
        return names;
    }
    void writeList(const Names &names) const
    {
        QFile file(list());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(yf::publishedFeedsText(names));
    }
};

qint64 modifiedNs(const QString &path)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return -1;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

QStringList removedNames(const yf::RunOutcome &outcome, const Run &run)
{
    QStringList names;
    for (const QString &path : outcome.removedFeeds)
        names << QString(path).remove(run.request.outputDir + '/');
    names.sort();
    return names;
}

} // namespace

class TestPublishedFeeds : public QObject {
    Q_OBJECT
private slots:
    void everyNameComesBackAsItWas_data();
    void everyNameComesBackAsItWas();
    void aListNotOursOrEditedRemovesLess_data();
    void aListNotOursOrEditedRemovesLess();
    void onlyPlainFeedNamesAreRemovable_data();
    void onlyPlainFeedNamesAreRemovable();

    void aFinishedRunRemovesTheFeedsOfFoldersGone();
    void removesOnlyWhatIsStillAFeedOfOurs();
    void anUnchangedRunLeavesTheListAlone();
    void failedAndCancelledRunsRemoveNothing();
    void aTamperedListNeverReachesBeyondTheFeeds();
    void aListThatCannotBeReadOrStoredIsSaid();
};

void TestPublishedFeeds::everyNameComesBackAsItWas_data()
{
    QTest::addColumn<Names>("names");
    QTest::addColumn<Names>("read");  // sorted by bytes, each once
    QTest::newRow("none") << Names{} << Names{};
    QTest::newRow("plain, sorted by bytes, once each")
        << Names{"-b-.xml", "-B-.xml", "-a-.xml", "-b-.xml"} << Names{"-B-.xml", "-a-.xml", "-b-.xml"};
    QTest::newRow("newline, CR, tab and DEL") << Names{"-a\nb-.xml", "-c\r-.xml", "\t.xml", "-\x7f-.xml"}
                                              << Names{"\t.xml", "-a\nb-.xml", "-c\r-.xml", "-\x7f-.xml"};
    QTest::newRow("percent and what looks like an escape")
        << Names{"-100%-.xml", "-%41-.xml", "%"} << Names{"%", "-%41-.xml", "-100%-.xml"};
    QTest::newRow("bytes that are no UTF-8, and UTF-8")
        << Names{QByteArray("-\xff\xfe-.xml"), "-Grüße-.xml"} << Names{"-Grüße-.xml", QByteArray("-\xff\xfe-.xml")};
}

void TestPublishedFeeds::everyNameComesBackAsItWas()
{
    QFETCH(Names, names);
    QFETCH(Names, read);
    const QByteArray text = yf::publishedFeedsText(names);
    // One line per name after the first, whatever the names hold.
    QCOMPARE(text.count('\n'), qsizetype(read.size()) + 1);
    QVERIFY(text.endsWith('\n'));
    for (const char c : text)
        QVERIFY2(c == '\n' || static_cast<unsigned char>(c) >= 0x20, text.constData());
    QCOMPARE(yf::readPublishedFeedsText(text).value_or(Names{"nothing"}), read);
}

void TestPublishedFeeds::aListNotOursOrEditedRemovesLess_data()
{
    const QByteArray mark = yf::publishedFeedsText({});
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ours");
    QTest::addColumn<Names>("read");
    QTest::newRow("empty file") << QByteArray() << false << Names{};
    QTest::newRow("someone else's text") << QByteArray("-A-.xml\n-B-.xml\n") << false << Names{};
    QTest::newRow("the marking line cut short") << mark.left(mark.size() - 2) + "\n-A-.xml\n" << false << Names{};
    QTest::newRow("bad escapes and raw control bytes are left out")
        << mark + "-A-.xml\n-%4\n-%zz-.xml\n-%-.xml\n-\tB-.xml\n-%0A-.xml\n" << true << Names{"-A-.xml", "-\n-.xml"};
    QTest::newRow("no newline at the end") << mark + "-A-.xml" << true << Names{"-A-.xml"};
    QTest::newRow("lower-case hex is read too") << mark + "-%0a-.xml\n" << true << Names{"-\n-.xml"};
}

void TestPublishedFeeds::aListNotOursOrEditedRemovesLess()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ours);
    QFETCH(Names, read);
    const std::optional<Names> names = yf::readPublishedFeedsText(text);
    QCOMPARE(names.has_value(), ours);
    if (ours)
        QCOMPARE(*names, read);
}

void TestPublishedFeeds::onlyPlainFeedNamesAreRemovable_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("removable");
    QTest::newRow("a feed") << QByteArray("-Show-.xml") << true;
    QTest::newRow("a feed with a newline") << QByteArray("-a\nb-.xml") << true;
    QTest::newRow("the folder above") << QByteArray("../x.xml") << false;
    QTest::newRow("an absolute path") << QByteArray("/etc/x.xml") << false;
    QTest::newRow("a sub-folder's file") << QByteArray("sub/x.xml") << false;
    QTest::newRow("dot-dot") << QByteArray("..") << false;
    QTest::newRow("hidden, as the list itself") << QByteArray(".yarrowfeed-feeds") << false;
    QTest::newRow("hidden feed-like name") << QByteArray(".x.xml") << false;
    QTest::newRow("no .xml") << QByteArray("-Show-.txt") << false;
    QTest::newRow(".xml alone") << QByteArray(".xml") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("a NUL inside") << QByteArray("-a\0b-.xml", 9) << false;
}

void TestPublishedFeeds::onlyPlainFeedNamesAreRemovable()
{
    QFETCH(QByteArray, name);
    QTEST(yf::isRemovableFeedName(name), "removable");
}

void TestPublishedFeeds::aFinishedRunRemovesTheFeedsOfFoldersGone()
{
    Run run;
    fixture::makeTree(run.request.inputDir,
                      {"Keep/a.mp3", "New Show/b.mp3", "Gone/c.mp3", "Line\nBreak/d.mp3", "Frozen/e.mp3"});
    // A feed-like file from before the list existed: the first run knows nothing of it.
    fixture::makeTree(run.request.outputDir, {"-Stray-.xml=" + QString::fromLatin1(kFeedLike)});
    const yf::RunOutcome first = run.run();
    QVERIFY(first.finished());
    QCOMPARE(first.feedsWritten, 5);
    QVERIFY(first.removedFeeds.empty());
    QVERIFY(first.cleanupProblems.empty());
    QCOMPARE(run.listed(), (Names{"-Frozen-.xml", "-Gone-.xml", "-Keep-.xml", "-Line\nBreak-.xml", "-New Show-.xml"}));

    // Renamed, removed, write-protected and the one whose name holds a newline removed.
    const auto before = run.snapshot();
    QVERIFY(QDir(run.request.inputDir).rename("New Show", "Renamed Show"));
    QVERIFY(QDir(run.in("Gone")).removeRecursively());
    QVERIFY(QDir(run.in("Line\nBreak")).removeRecursively());
    QVERIFY(::chmod(native(run.in("Frozen")).constData(), 0555) == 0);
    const auto restore = qScopeGuard([&] { ::chmod(native(run.in("Frozen")).constData(), 0755); });
    const yf::RunOutcome second = run.run();
    QVERIFY(second.finished());
    QCOMPARE(second.feedsWritten, 2);  // the count stays the feeds written
    QCOMPARE(removedNames(second, run),
             (QStringList{"-Frozen-.xml", "-Gone-.xml", "-Line\nBreak-.xml", "-New Show-.xml"}));
    QCOMPARE(second.skipped.size(), std::size_t(1));
    QVERIFY(second.cleanupProblems.empty());
    QCOMPARE(run.feeds(), (QStringList{"-Keep-.xml", "-Renamed Show-.xml", "-Stray-.xml"}));
    QCOMPARE(run.snapshot().value("-Keep-.xml"), before.value("-Keep-.xml"));  // bytes and time
    QCOMPARE(run.listed(), (Names{"-Keep-.xml", "-Renamed Show-.xml"}));
}

void TestPublishedFeeds::removesOnlyWhatIsStillAFeedOfOurs()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "Text/b.mp3", "Linked/c.mp3", "Dir/d.mp3", "Empty/"});
    QVERIFY(run.run().finished());
    for (const char *name : {"Text", "Linked", "Dir", "Empty"})
        QVERIFY(QDir(run.in(name)).removeRecursively());
    // The listed names now hold something else: a user's text, a link to a feed outside,
    // a folder holding a feed-like file, and a file emptied.
    fixture::makeTree(run.tmp.path(), {"elsewhere.xml=" + QString::fromLatin1(kFeedLike)});
    QVERIFY(QFile::remove(run.out("-Text-.xml")) && QFile::remove(run.out("-Linked-.xml")) &&
            QFile::remove(run.out("-Dir-.xml")));
    fixture::makeTree(run.request.outputDir,
                      {"-Text-.xml=my notes <rss version=\"2.0\">", "-Linked-.xml->" + run.tmp.path() + "/elsewhere.xml",
                       "-Dir-.xml/inner.xml=" + QString::fromLatin1(kFeedLike), "-Empty-.xml="});

    const yf::RunOutcome outcome = run.run();
    QVERIFY(outcome.finished());
    QVERIFY(outcome.removedFeeds.empty());
    QVERIFY(outcome.cleanupProblems.empty());
    QCOMPARE(fixture::readFile(run.out("-Text-.xml")), QByteArray("my notes <rss version=\"2.0\">"));
    QVERIFY(QFileInfo(run.out("-Linked-.xml")).isSymLink());
    QCOMPARE(fixture::readFile(run.tmp.path() + "/elsewhere.xml"), kFeedLike);
    QCOMPARE(fixture::readFile(run.out("-Dir-.xml/inner.xml")), kFeedLike);
    QVERIFY(QFile::exists(run.out("-Empty-.xml")));
    // What is no longer ours is no longer listed either.
    QCOMPARE(run.listed(), Names{"-A-.xml"});
}

void TestPublishedFeeds::anUnchangedRunLeavesTheListAlone()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3"});
    QVERIFY(run.run().finished());
    const QByteArray text = fixture::readFile(run.list());
    const qint64 written = modifiedNs(run.list());
    QTest::qWait(20);  // a rewrite would show in the time
    const yf::RunOutcome again = run.run();
    QVERIFY(again.finished());
    QVERIFY(again.removedFeeds.empty());
    QCOMPARE(fixture::readFile(run.list()), text);
    QCOMPARE(modifiedNs(run.list()), written);

    // A new folder changes it.
    fixture::makeTree(run.request.inputDir, {"C/c.mp3"});
    QVERIFY(run.run().finished());
    QCOMPARE(run.listed(), (Names{"-A-.xml", "-B-.xml", "-C-.xml"}));
}

void TestPublishedFeeds::failedAndCancelledRunsRemoveNothing()
{
    Run run;
    run.request.helperThreads = 0;  // the cancel falls between the same two feeds each time
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3", "C/c.mp3"});
    QVERIFY(run.run().finished());
    const QByteArray list = fixture::readFile(run.list());
    QVERIFY(QDir(run.in("B")).removeRecursively());

    CancelAfterFirst cancel;
    const yf::RunOutcome cancelled = run.run(&cancel);
    QVERIFY(cancelled.cancelled());
    QVERIFY(cancelled.removedFeeds.empty());
    QVERIFY(QFile::exists(run.out("-B-.xml")));
    QCOMPARE(fixture::readFile(run.list()), list);

    // The last feed cannot be written: the disk is full.
    QVERIFY(QFile::remove(run.out("-C-.xml")));
    std::optional<fixture::FileSizeLimit> full(std::in_place, 100);
    const yf::RunOutcome failed = run.run();
    full.reset();
    QVERIFY(failed.error);
    QCOMPARE(failed.error->kind, yf::ErrorKind::WriteFeed);
    QVERIFY(failed.removedFeeds.empty());
    QVERIFY(QFile::exists(run.out("-B-.xml")));
    QCOMPARE(fixture::readFile(run.list()), list);

    // Once a run finishes, the feed goes.
    const yf::RunOutcome finished = run.run();
    QVERIFY(finished.finished());
    QCOMPARE(removedNames(finished, run), QStringList{"-B-.xml"});
}

void TestPublishedFeeds::aTamperedListNeverReachesBeyondTheFeeds()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3"});
    const QString feed = QString::fromLatin1(kFeedLike);
    // Feed-like files wherever a tampered list could point.
    fixture::makeTree(run.tmp.path(), {"outside.xml=" + feed, "absolute.xml=" + feed});
    fixture::makeTree(run.request.outputDir,
                      {"sub/inner.xml=" + feed, ".hidden.xml=" + feed, "-Feed-.txt=" + feed, "-Never-Listed-.xml=" + feed});
    const QStringList everyFile{run.tmp.path() + "/outside.xml", run.tmp.path() + "/absolute.xml",
                                run.out("sub/inner.xml"), run.out(".hidden.xml"), run.out("-Feed-.txt"),
                                run.out("-Never-Listed-.xml")};
    run.writeList({"../outside.xml", native(run.tmp.path() + "/absolute.xml"), "sub/inner.xml", "./sub/inner.xml",
                   ".hidden.xml", "-Feed-.txt", "..", ".", ""});

    const yf::RunOutcome outcome = run.run();
    QVERIFY(outcome.finished());
    QVERIFY(outcome.removedFeeds.empty());
    QVERIFY(outcome.cleanupProblems.empty());
    for (const QString &path : everyFile)
        QCOMPARE(fixture::readFile(path), kFeedLike);
    QCOMPARE(run.listed(), Names{"-A-.xml"});  // the tampered names are dropped
}

void TestPublishedFeeds::aListThatCannotBeReadOrStoredIsSaid()
{
    // Not ours: nothing removed, said, and written anew so the next run is back on track.
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3"});
    QVERIFY(run.run().finished());
    QVERIFY(QDir(run.in("B")).removeRecursively());
    fixture::makeTree(run.request.outputDir, {QString::fromLatin1(yf::kPublishedFeedsFile) + "=-B-.xml\n"});
    yf::RunOutcome outcome = run.run();
    QVERIFY(outcome.finished());
    QVERIFY(outcome.removedFeeds.empty());
    QCOMPARE(outcome.cleanupProblems.size(), std::size_t(1));
    QVERIFY2(outcome.cleanupProblems[0].message().contains("No old feed was removed"),
             qPrintable(outcome.cleanupProblems[0].message()));
    QVERIFY(QFile::exists(run.out("-B-.xml")));
    QCOMPARE(run.listed(), Names{"-A-.xml"});

    // A folder in its place can be neither read nor replaced: both said, every feed written.
    Run blocked;
    fixture::makeTree(blocked.request.inputDir, {"A/a.mp3"});
    QVERIFY(QDir().mkpath(blocked.list()));
    outcome = blocked.run();
    QVERIFY(outcome.finished());
    QCOMPARE(outcome.feedsWritten, 1);
    QCOMPARE(outcome.cleanupProblems.size(), std::size_t(2));
    QVERIFY2(outcome.cleanupProblems[1].message().contains("Cannot store the list of feeds"),
             qPrintable(outcome.cleanupProblems[1].message()));
    QVERIFY(QFileInfo(blocked.list()).isDir());
    QCOMPARE(blocked.feeds(), QStringList{"-A-.xml"});
}

QTEST_GUILESS_MAIN(TestPublishedFeeds)
#include "tst_published_feeds.moc"
