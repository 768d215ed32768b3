// A feed prepared ahead and committed later: what is on disk in between, and after each way it ends.
#include "feed_writer_setup.h"

#include <QRegularExpression>
#include <QScopeGuard>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
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

// The contents of each unnamed file this process holds open in `dir`: prepared feeds waiting
// where no listing shows them (they go when the last descriptor closes).
QList<QByteArray> heldIn(const QString &dir)
{
    QList<QByteArray> held;
    const QString prefix = QFileInfo(dir).canonicalFilePath() + "/#";
    for (const QString &fd : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget("/proc/self/fd/" + fd);
        if (target.startsWith(prefix) && target.endsWith(" (deleted)"))
            held << fixture::readFile("/proc/self/fd/" + fd);
    }
    return held;
}

// Prepared feeds waiting in `dir`, named or not.
qsizetype waitingIn(const QString &dir)
{
    return heldIn(dir).size() + entriesOf(dir).filter(QRegularExpression("^\\.yarrowfeed-")).size();
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
    void leavesWhatHoldsTheFeedsNameAlone_data();
    void leavesWhatHoldsTheFeedsNameAlone();
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
    // The old feed is still what readers get; the new one waits in an unnamed file beside it,
    // which no listing shows and which a killed process leaves nowhere.
    QCOMPARE(s.feed("-F-.xml"), QByteArray("old"));
    QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});
    const QList<QByteArray> waiting = heldIn(s.output);
    QCOMPARE(waiting.size(), 1);
    const QByteArray text = waiting.first();
    QVERIFY(text.contains("<title>a.mp3</title>"));

    QVERIFY(w.commit(feed).ok());
    QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});
    QCOMPARE(heldIn(s.output), QList<QByteArray>());
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
        QCOMPARE(waitingIn(s.output), 1);
    } else {
        yf::Result<yf::PreparedFeed> made = w.prepare(folder, "-F-", s.lister);
        QVERIFY(made.ok());
        yf::PreparedFeed feed = std::move(made).value();
        if (how == "move") {
            yf::PreparedFeed moved = std::move(feed);
            QCOMPARE(waitingIn(s.output), 1);  // the moved-from one removed nothing
            QCOMPARE(moved.fileName(), QByteArray("-F-.xml"));
        } else if (how == "assign") {
            yf::Result<yf::PreparedFeed> other = w.prepare(native(s.input + "/G/"), "-G-", s.lister);
            QVERIFY(other.ok());
            QCOMPARE(waitingIn(s.output), 2);
            feed = std::move(other).value();  // F's temporary file goes, G's stays with `feed`
            QCOMPARE(waitingIn(s.output), 1);
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
    QCOMPARE(waitingIn(s.output), 0);
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
    QCOMPARE(waitingIn(s.output), 3);  // three temporary files, no feed yet
    QCOMPARE(entriesOf(s.output), QStringList());
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
    QCOMPARE(waitingIn(s.output), 0);
    QCOMPARE(s.feed("-F-.xml"), first);
    QCOMPARE(modifiedOf(s.output + "/-F-.xml"), qint64(900000000));
    // Even with the output directory gone, committing does nothing and so meets no error.
    QVERIFY(QDir(s.output).removeRecursively());
    QVERIFY(w.commit(feed).ok());
    QVERIFY(!QFileInfo::exists(s.output));
}

// Something that is no file holding the feed's name, there when the feed is prepared or put
// there before it is committed: it is left as it is, and the error says what is in the way.
// Output gone before the commit: the rename fails, and so does writing the feed whole, which
// is the error reported. No temporary file is left either way.
void TestPreparedFeed::leavesWhatHoldsTheFeedsNameAlone_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<bool>("beforePrepare");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("osError");
    QTest::addColumn<QString>("reason");
    const int taken = int(yf::ErrorKind::NameTaken);
    QTest::newRow("folder there when prepared") << "folder" << true << taken << EISDIR << "a folder is in the way";
    QTest::newRow("folder made before the commit") << "folder" << false << taken << EISDIR << "a folder is in the way";
    QTest::newRow("named pipe") << "fifo" << true << taken << EEXIST << "a named pipe (FIFO) is in the way";
    QTest::newRow("socket") << "socket" << true << taken << EEXIST << "a socket is in the way";
    QTest::newRow("output directory gone before the commit")
        << "gone" << false << int(yf::ErrorKind::WriteFeed) << ENOENT << "No such file or directory";
}

void TestPreparedFeed::leavesWhatHoldsTheFeedsNameAlone()
{
    QFETCH(QString, what);
    QFETCH(bool, beforePrepare);
    Setup s;
    fixture::makeTree(s.input, {"F/a.mp3"});
    const QString target = s.output + "/-F-.xml";
    int socketFd = -1;
    const auto block = [&] {
        if (what == "folder") {
            fixture::makeTree(s.output, {"-F-.xml/inside.txt"});
        } else if (what == "fifo") {
            QVERIFY(::mkfifo(native(target).constData(), 0644) == 0);
        } else if (what == "socket") {
            socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const QByteArray path = native(target);
            QVERIFY(path.size() < qsizetype(sizeof address.sun_path));
            std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
            QVERIFY(::bind(socketFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
        } else {
            QVERIFY(QDir(s.output).removeRecursively());
        }
    };
    const auto closeSocket = qScopeGuard([&] {
        if (socketFd >= 0)
            ::close(socketFd);
    });
    if (beforePrepare)
        block();
    yf::FeedWriter w = s.writer();
    yf::Result<yf::PreparedFeed> made = w.prepare(native(s.input + "/F/"), "-F-", s.lister);
    QVERIFY(made.ok());
    yf::PreparedFeed feed = std::move(made).value();
    QVERIFY(!feed.unchanged());
    if (!beforePrepare)
        block();
    const yf::Status status = w.commit(feed);
    QVERIFY(!status.ok());
    QTEST(int(status.error().kind), "kind");
    QTEST(status.error().osError, "osError");
    QCOMPARE(status.error().path, target);
    QFETCH(QString, reason);
    QCOMPARE(status.error().reason, reason);
    QCOMPARE(waitingIn(s.output), 0);
    struct stat st;
    if (what == "gone") {
        QVERIFY(!QFileInfo::exists(s.output));
        return;
    }
    QCOMPARE(entriesOf(s.output), QStringList{"-F-.xml"});
    QVERIFY(::lstat(native(target).constData(), &st) == 0);
    if (what == "folder")
        QCOMPARE(fixture::filesIn(target), QStringList{"inside.txt"});
    else
        QVERIFY(what == "fifo" ? S_ISFIFO(st.st_mode) : S_ISSOCK(st.st_mode));
}

QTEST_GUILESS_MAIN(TestPreparedFeed)
#include "tst_prepared_feed.moc"
