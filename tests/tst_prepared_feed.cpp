// A feed prepared ahead and committed later: what is on disk in between, and after each way it ends.
#include "feed_writer_setup.h"

#include <QRegularExpression>

#include <utility>

using namespace feedsetup;

namespace {

// Every entry of the output directory, hidden temporary files included.
QStringList entriesOf(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

} // namespace

class TestPreparedFeed : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void waitsBesideTheFeedUntilCommitted();
    void leavesNothingWhenDropped_data();
    void leavesNothingWhenDropped();
    void commitsFeedsPreparedTogetherInOrder();
    void touchesNothingToCommitAnUnchangedFeed();
    void reportsTheWholeWriteWhenTheRenameFails();
};

void TestPreparedFeed::initTestCase()
{
    qputenv("TZ", "UTC");
    ::tzset();
}

void TestPreparedFeed::waitsBesideTheFeedUntilCommitted()
{
    Setup s;
    fixture::makeTree(s.input, {"F/a.mp3"});
    fixture::makeTree(s.output, {"-F-.xml=old"});
    yf::FeedWriter w = s.writer();
    yf::Result<yf::PreparedFeed> made = w.prepare(native(s.input + "/F/"), "-F-", s.lister);
    QVERIFY(made.ok());
    yf::PreparedFeed feed = std::move(made).value();
    QVERIFY(!feed.unchanged());
    QCOMPARE(feed.fileName(), QByteArray("-F-.xml"));
    // The old feed is still what readers get; the new one waits in one hidden file beside it.
    QCOMPARE(s.feed("-F-.xml"), QByteArray("old"));
    const QStringList waiting = entriesOf(s.output);
    QCOMPARE(waiting.size(), 2);
    const QString temporary = waiting.first() == "-F-.xml" ? waiting.last() : waiting.first();
    QVERIFY2(temporary.startsWith('.'), qPrintable(temporary));
    const QByteArray text = fixture::readFile(s.output + '/' + temporary);
    QVERIFY(text.contains("<title>a.mp3</title>"));

    QVERIFY(w.commit(feed).ok());
    QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});
    QCOMPARE(s.feed("-F-.xml"), text);
    // Committing again puts nothing anywhere: the temporary file is gone, the feed stays.
    QVERIFY(w.commit(feed).ok());
    QCOMPARE(s.feed("-F-.xml"), text);
    QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});
}

void TestPreparedFeed::leavesNothingWhenDropped_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("dropped") << "drop";
    QTest::newRow("moved away, then dropped") << "move";
    QTest::newRow("assigned over") << "assign";
    QTest::newRow("kept in a result never taken") << "result";
    QTest::newRow("handed back to the writer") << "reuse";
}

// A run that stops before a prepared feed's turn drops it: no temporary file stays, and the
// feed file is as it was.
void TestPreparedFeed::leavesNothingWhenDropped()
{
    QFETCH(QString, how);
    Setup s;
    fixture::makeTree(s.input, {"F/a.mp3", "G/b.mp3"});
    fixture::makeTree(s.output, {"-F-.xml=old"});
    yf::FeedWriter w = s.writer();
    const QByteArray folder = native(s.input + "/F/");
    if (how == "result") {
        const yf::Result<yf::PreparedFeed> made = w.prepare(folder, "-F-", s.lister);
        QVERIFY(made.ok());
        QCOMPARE(entriesOf(s.output).size(), 2);
    } else {
        yf::Result<yf::PreparedFeed> made = w.prepare(folder, "-F-", s.lister);
        QVERIFY(made.ok());
        yf::PreparedFeed feed = std::move(made).value();
        if (how == "move") {
            yf::PreparedFeed moved = std::move(feed);
            QCOMPARE(entriesOf(s.output).size(), 2);  // the moved-from one removed nothing
            QCOMPARE(moved.fileName(), QByteArray("-F-.xml"));
        } else if (how == "assign") {
            yf::Result<yf::PreparedFeed> other = w.prepare(native(s.input + "/G/"), "-G-", s.lister);
            QVERIFY(other.ok());
            QCOMPARE(entriesOf(s.output).size(), 3);
            feed = std::move(other).value();  // F's temporary file goes, G's stays with `feed`
            QCOMPARE(entriesOf(s.output).size(), 2);
            QVERIFY(w.commit(feed).ok());
            QCOMPARE(entriesOf(s.output), (QStringList{"-F-.xml", "-G-.xml"}));
        } else if (how == "reuse") {
            w.reuse(std::move(feed));
            QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});
            // The next feed is made in the buffer handed back: its own bytes, nothing left over.
            QVERIFY(s.write(w, native(s.input + "/G/")).ok());
            yf::FeedWriter fresh = s.writer();
            yf::Result<yf::PreparedFeed> again = fresh.prepare(native(s.input + "/G/"), "-G-", s.lister);
            QVERIFY(again.ok() && again.value().unchanged());
        }
    }
    QCOMPARE(s.feed("-F-.xml"), QByteArray("old"));
    QVERIFY(entriesOf(s.output).filter(QRegularExpression("^\\.")).isEmpty());
}

void TestPreparedFeed::commitsFeedsPreparedTogetherInOrder()
{
    Setup s;
    fixture::makeTree(s.input, {"A/1.mp3", "B/2.mp3", "C/3.mp3"});
    yf::FeedWriter helper = s.writer();   // prepares, as on a helper thread
    const yf::FeedWriter placer = s.writer();  // commits, as the run's own thread does
    std::vector<yf::PreparedFeed> feeds;
    for (const char *name : {"A", "B", "C"}) {
        const QByteArray folder = native(s.input + '/' + name + '/');
        yf::Result<yf::PreparedFeed> made = helper.prepare(folder, s.feedNameOf(folder), s.lister);
        QVERIFY(made.ok());
        feeds.push_back(std::move(made).value());
    }
    QCOMPARE(entriesOf(s.output).size(), 3);  // three temporary files, no feed yet
    for (yf::PreparedFeed &feed : feeds)
        QVERIFY(placer.commit(feed).ok());
    QCOMPARE(entriesOf(s.output), (QStringList{"-A-.xml", "-B-.xml", "-C-.xml"}));
    QVERIFY(s.feed("-B-.xml").contains("<title>2.mp3</title>"));
    QVERIFY(s.feed("-C-.xml").contains("<title>3.mp3</title>"));
}

void TestPreparedFeed::touchesNothingToCommitAnUnchangedFeed()
{
    Setup s;
    fixture::makeTree(s.input, {"F/a.mp3"});
    yf::FeedWriter w = s.writer();
    const QByteArray folder = native(s.input + "/F/");
    QVERIFY(s.write(w, folder).ok());
    const QByteArray first = s.feed("-F-.xml");
    setModified(s.output + "/-F-.xml", 900000000);

    yf::Result<yf::PreparedFeed> made = w.prepare(folder, "-F-", s.lister);
    QVERIFY(made.ok());
    yf::PreparedFeed feed = std::move(made).value();
    QVERIFY(feed.unchanged());
    QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});  // nothing written beside it
    QCOMPARE(s.feed("-F-.xml"), first);
    QCOMPARE(modifiedOf(s.output + "/-F-.xml"), qint64(900000000));
    // Even with the output directory gone, committing does nothing and so meets no error.
    QVERIFY(QDir(s.output).removeRecursively());
    QVERIFY(w.commit(feed).ok());
    QVERIFY(!QFileInfo::exists(s.output));
}

// The rename fails when a folder holds the feed's name; writing the feed whole then fails
// too, and that is the error the run reports. No temporary file is left.
void TestPreparedFeed::reportsTheWholeWriteWhenTheRenameFails()
{
    Setup s;
    fixture::makeTree(s.input, {"F/a.mp3"});
    fixture::makeTree(s.output, {"-F-.xml/inside.txt"});
    yf::FeedWriter w = s.writer();
    yf::Result<yf::PreparedFeed> made = w.prepare(native(s.input + "/F/"), "-F-", s.lister);
    QVERIFY(made.ok());
    yf::PreparedFeed feed = std::move(made).value();
    QCOMPARE(entriesOf(s.output).size(), 2);
    const yf::Status status = w.commit(feed);
    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::WriteFeed);
    QCOMPARE(status.error().path, s.output + "/-F-.xml");
    QCOMPARE(status.error().osError, EISDIR);
    QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});
    QCOMPARE(fixture::filesIn(s.output + "/-F-.xml"), QStringList{"inside.txt"});
}

QTEST_GUILESS_MAIN(TestPreparedFeed)
#include "tst_prepared_feed.moc"
