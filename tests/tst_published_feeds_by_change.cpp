// The list of feeds brought up to date by the names that came and went: the whole list's text, the same removals.
#include "generate/list_lines.h"
#include "generate/published_feeds.h"
#include "fixture.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>

#include <unistd.h>

namespace {

using Names = std::vector<QByteArray>;

const QByteArray kFeedLike = "<rss version=\"2.0\">\r\n<channel>\r\n</channel>\r\n</rss>\r\n";

QString shown(const Names &names)
{
    QStringList lines;
    for (const QByteArray &name : names)
        lines << QString::fromUtf8(name.toPercentEncoding());
    return lines.join(' ');
}

// An output directory whose list names `listed`, each a feed of ours there, as a run left it.
struct Output {
    QTemporaryDir tmp;
    QByteArray path = QFile::encodeName(tmp.path());
    std::optional<yf::FileIdentity> list;

    explicit Output(const Names &listed)
    {
        for (const QByteArray &name : listed)
            write(name, kFeedLike);
        const yf::FeedCleanup cleanup = yf::updatePublishedFeeds(path, listed);
        list = cleanup.listFile;
    }
    void write(const QByteArray &name, const QByteArray &bytes) const
    {
        QFile file(QFile::decodeName(path + '/' + name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    QByteArray listText() const { return fixture::readFile(QFile::decodeName(path + '/' + yf::kPublishedFeedsFile)); }
    bool has(const QByteArray &name) const { return QFileInfo::exists(QFile::decodeName(path + '/' + name)); }
};

// `count` names of feeds, sorted, some with bytes their lines escape; long enough that a few
// thousand make a list that is searched rather than read.
Names manyNames(int count, bool escaped)
{
    Names names;
    for (int k = 0; k < count; ++k) {
        QByteArray name = "-Folder " + QByteArray::number(k * 7) + " of a library of many feeds";
        if (escaped && k % 5 == 0)
            name += k % 10 == 0 ? "%41" : "\x01\t";
        names.push_back(name + "-.xml");
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Where each line of a list's text starts, and where the text ends.
std::vector<qint64> lineStarts(const QByteArray &text)
{
    std::vector<qint64> starts;
    for (qsizetype at = static_cast<qsizetype>(yf::kListMarkLine.size()); at < text.size(); at = text.indexOf('\n', at) + 1)
        starts.push_back(at);
    starts.push_back(text.size());
    return starts;
}

} // namespace

class TestPublishedFeedsByChange : public QObject {
    Q_OBJECT
private slots:
    void mergedListIsTheWholeList_data();
    void mergedListIsTheWholeList();
    void aListNotAsLeftIsNotTouched_data();
    void aListNotAsLeftIsNotTouched();
    void linesAreReadAsTheWholeListReadsThem_data();
    void linesAreReadAsTheWholeListReadsThem();
    void aListThatStaysIsNotWritten();
    void searchFindsWhereEveryNameGoes_data();
    void searchFindsWhereEveryNameGoes();
    void aLargeListChangesAsTheWholeListReadsIt_data();
    void aLargeListChangesAsTheWholeListReadsIt();
};

void TestPublishedFeedsByChange::mergedListIsTheWholeList_data()
{
    QTest::addColumn<Names>("listed");
    QTest::addColumn<Names>("came");
    QTest::addColumn<Names>("gone");
    QTest::addColumn<Names>("notOurs");  // of `gone`: a user's text or a link in its place
    const Names some{"-b-.xml", "-d-.xml", "-f-.xml", "feeds.opml", "index.html"};
    QTest::newRow("names come between others") << some << Names{"-c-.xml", "-e-.xml"} << Names{} << Names{};
    QTest::newRow("before the first and after the last")
        << some << Names{"-a-.xml", "zz.xml"} << Names{} << Names{};
    QTest::newRow("the first and the last go") << Names{"-a-.xml", "-m-.xml", "-z-.xml"} << Names{}
                                                << Names{"-a-.xml", "-z-.xml"} << Names{};
    QTest::newRow("every feed goes") << some << Names{} << Names{"-b-.xml", "-d-.xml", "-f-.xml"} << Names{};
    QTest::newRow("into an empty list") << Names{} << Names{"-x-.xml", "-y-.xml"} << Names{} << Names{};
    QTest::newRow("escaped names sort by their own bytes, not their lines'")
        << Names{"-%-.xml", "-\x01-.xml", "-a\nb-.xml", "-~-.xml"} << Names{"-\t-.xml", "-%25-.xml", "- -.xml"}
        << Names{"-\x01-.xml"} << Names{};
    QTest::newRow("a name taken by a user's file or a link goes from the list, the file stays")
        << some << Names{"-e-.xml"} << Names{"-b-.xml", "-d-.xml", "-f-.xml"} << Names{"-b-.xml", "-f-.xml"};
}

void TestPublishedFeedsByChange::mergedListIsTheWholeList()
{
    QFETCH(Names, listed);
    QFETCH(Names, came);
    QFETCH(Names, gone);
    QFETCH(Names, notOurs);
    Output out(listed);
    QVERIFY(out.list);
    for (const QByteArray &name : came)
        out.write(name, kFeedLike);
    for (const QByteArray &name : notOurs) {
        QVERIFY(QFile::remove(QFile::decodeName(out.path + '/' + name)));
        if (name == notOurs.front())
            out.write(name, "my own notes");
        else
            QVERIFY(::symlink("/etc/hostname", (out.path + '/' + name).constData()) == 0);
    }
    std::sort(came.begin(), came.end());
    std::sort(gone.begin(), gone.end());
    const std::optional<yf::FeedCleanup> cleanup = yf::updatePublishedFeedsBy(out.path, *out.list, came, gone);
    QVERIFY(cleanup);
    QVERIFY(cleanup->problems.empty());
    Names expected = listed;
    std::erase_if(expected, [&](const QByteArray &name) { return std::binary_search(gone.begin(), gone.end(), name); });
    expected.insert(expected.end(), came.begin(), came.end());
    QCOMPARE(out.listText(), yf::publishedFeedsText(expected));
    QCOMPARE(cleanup->listFile, yf::fileIdentity(out.path + '/' + yf::kPublishedFeedsFile));
    QCOMPARE(cleanup->removed.size() + notOurs.size(), gone.size());
    for (const QByteArray &name : gone) {
        const bool stays = std::find(notOurs.begin(), notOurs.end(), name) != notOurs.end();
        QVERIFY2(out.has(name) == stays, qPrintable(shown({name})));
    }
}

void TestPublishedFeedsByChange::aListNotAsLeftIsNotTouched_data()
{
    QTest::addColumn<QByteArray>("edit");
    QTest::newRow("a line added") << QByteArray("append");
    QTest::newRow("the same text in a new file") << QByteArray("rewrite");
    QTest::newRow("removed") << QByteArray("remove");
    QTest::newRow("a folder in its place") << QByteArray("folder");
}

void TestPublishedFeedsByChange::aListNotAsLeftIsNotTouched()
{
    QFETCH(QByteArray, edit);
    Output out({"-a-.xml", "-b-.xml"});
    const QString list = QFile::decodeName(out.path + '/' + yf::kPublishedFeedsFile);
    const QByteArray text = out.listText();
    if (edit == "append") {
        out.write(yf::kPublishedFeedsFile, text + "-c-.xml\n");
    } else {
        QVERIFY(QFile::remove(list));
        if (edit == "rewrite")
            out.write(yf::kPublishedFeedsFile, text);
        else if (edit == "folder")
            QVERIFY(QDir().mkdir(list));
    }
    const std::optional<yf::FileIdentity> before = yf::fileIdentity(QFile::encodeName(list));
    QVERIFY(!yf::updatePublishedFeedsBy(out.path, *out.list, {"-n-.xml"}, {"-a-.xml"}));
    QVERIFY(out.has("-a-.xml"));
    QCOMPARE(yf::fileIdentity(QFile::encodeName(list)), before);
}

void TestPublishedFeedsByChange::linesAreReadAsTheWholeListReadsThem_data()
{
    // Lines after the mark line of a list edited by hand, or cut short by a full disk.
    QTest::addColumn<QByteArray>("lines");
    QTest::newRow("a control byte left unescaped") << QByteArray("-a-.xml\n-\x01-.xml\n-c-.xml\n");
    QTest::newRow("an escape of no hex digits") << QByteArray("-a-.xml\n-%G1-.xml\n-c-.xml\n");
    QTest::newRow("an escape cut short at the end") << QByteArray("-a-.xml\n-c-.xml\n-%4");
    QTest::newRow("the last line not ended, and going") << QByteArray("-a-.xml\n-c-.xml");
    QTest::newRow("the last line not ended, and staying") << QByteArray("-a-.xml\n-c-.xml\n-d-.xml");
}

void TestPublishedFeedsByChange::linesAreReadAsTheWholeListReadsThem()
{
    QFETCH(QByteArray, lines);
    Output out({});
    const QByteArray text = "# yarrowfeed feeds, version 1\n" + lines;
    out.write(yf::kPublishedFeedsFile, text);
    const std::optional<yf::FileIdentity> left = yf::fileIdentity(out.path + '/' + yf::kPublishedFeedsFile);
    QVERIFY(left);
    const Names came{"-b-.xml", "-z-.xml"};
    const Names gone{"-c-.xml"};
    const std::optional<yf::FeedCleanup> cleanup = yf::updatePublishedFeedsBy(out.path, *left, came, gone);
    QVERIFY(cleanup);
    std::optional<Names> expected = yf::readPublishedFeedsText(text);
    QVERIFY(expected);
    std::erase(*expected, gone.front());
    expected->insert(expected->end(), came.begin(), came.end());
    QCOMPARE(out.listText(), yf::publishedFeedsText(*expected));
}

void TestPublishedFeedsByChange::aListThatStaysIsNotWritten()
{
    // Nothing came or went, or what came is listed already: the file is left as it is.
    Output out({"-a-.xml", "-b-.xml"});
    for (const Names &came : {Names{}, Names{"-a-.xml"}, Names{"-a-.xml", "-b-.xml"}}) {
        const std::optional<yf::FeedCleanup> cleanup = yf::updatePublishedFeedsBy(out.path, *out.list, came, {});
        QVERIFY(cleanup);
        QCOMPARE(cleanup->listFile, out.list);
        QCOMPARE(yf::fileIdentity(out.path + '/' + yf::kPublishedFeedsFile), out.list);
    }
}

void TestPublishedFeedsByChange::searchFindsWhereEveryNameGoes_data()
{
    QTest::addColumn<Names>("listed");
    QTest::newRow("one line") << Names{"-a-.xml"};
    QTest::newRow("a list searched, not read") << manyNames(6000, false);
    QTest::newRow("escaped names sort by their own bytes, not their lines'") << manyNames(6000, true);
    Names withLong = manyNames(6000, false);
    withLong.push_back("-" + QByteArray(250, '\x7f') + ".xml");  // a line three times its name
    std::sort(withLong.begin(), withLong.end());
    QTest::newRow("the longest line a name makes") << withLong;
}

void TestPublishedFeedsByChange::searchFindsWhereEveryNameGoes()
{
    QFETCH(Names, listed);
    Output out({});
    const QByteArray text = yf::publishedFeedsText(listed);
    out.write(yf::kPublishedFeedsFile, text);
    if (listed.size() > 1)
        QVERIFY(text.size() >= yf::kListSearchedFrom);
    const std::vector<qint64> starts = lineStarts(text);
    const int fd = ::open((out.path + '/' + yf::kPublishedFeedsFile).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    yf::ListFileSearch search(fd, text.size());
    QVERIFY(search.looksStored());
    // Names listed, a name just above each of them, and names before and after all.
    Names asked{"", "\xff\xff"};
    for (std::size_t k = 0; k < listed.size(); ++k) {
        if (k < 20 || k % 7 == 0 || k + 20 > listed.size())
            asked.insert(asked.end(), {listed[k], listed[k] + '\x01'});
    }
    for (const QByteArray &name : asked) {
        const auto at = static_cast<std::size_t>(std::lower_bound(listed.begin(), listed.end(), name) - listed.begin());
        const std::optional<yf::ListPlace> place = search.find(name);
        QVERIFY2(place, qPrintable(shown({name})));
        QCOMPARE(place->start, starts[at]);
        QCOMPARE(place->end, starts[std::min(at + 1, starts.size() - 1)]);
        QCOMPARE(place->holds, at < listed.size() && listed[at] == name);
    }
    ::close(fd);
}

void TestPublishedFeedsByChange::aLargeListChangesAsTheWholeListReadsIt_data()
{
    // A list as a run stored it, or (`edit`) one changed by hand afterwards, whose identity
    // is then the one given: a line looked at that holds no name sends the change the whole way.
    QTest::addColumn<Names>("listed");
    QTest::addColumn<QByteArray>("edit");
    QTest::newRow("names come and go all over it") << manyNames(6000, false) << QByteArray();
    QTest::newRow("escaped names come and go") << manyNames(6000, true) << QByteArray();
    QTest::newRow("a line that holds no name where a name comes")
        << manyNames(6000, false) << QByteArray("raw control byte");
    QTest::newRow("the last line not ended") << manyNames(6000, false) << QByteArray("last line cut");
}

void TestPublishedFeedsByChange::aLargeListChangesAsTheWholeListReadsIt()
{
    QFETCH(Names, listed);
    QFETCH(QByteArray, edit);
    Output out({});
    QByteArray text = yf::publishedFeedsText(listed);
    // Names that come: before the first, after the last, between, one listed already.
    Names came{"-", "~~.xml", listed[10] + "!", listed[11], listed[3000] + "!", listed[3000] + "!!"};
    if (edit == "raw control byte")
        text.insert(lineStarts(text)[3001], "-\x02 left by hand-.xml\n");
    else if (edit == "last line cut")
        text.chop(1);
    out.write(yf::kPublishedFeedsFile, text);
    const std::optional<yf::FileIdentity> left = yf::fileIdentity(out.path + '/' + yf::kPublishedFeedsFile);
    QVERIFY(left);
    Names gone;
    QRandomGenerator random(23);
    for (int k = 0; k < 40; ++k)
        gone.push_back(listed[static_cast<std::size_t>(random.bounded(12, static_cast<int>(listed.size())))]);
    gone.push_back(listed.front());
    gone.push_back(listed.back());
    std::sort(came.begin(), came.end());
    std::sort(gone.begin(), gone.end());
    gone.erase(std::unique(gone.begin(), gone.end()), gone.end());
    for (const QByteArray &name : gone)
        out.write(name, kFeedLike);
    out.write(gone[1], "my own notes");  // a user's file where a feed was: it stays, the line goes

    const std::optional<yf::FeedCleanup> cleanup = yf::updatePublishedFeedsBy(out.path, *left, came, gone);
    QVERIFY(cleanup);
    QVERIFY(cleanup->problems.empty());
    std::optional<Names> expected = yf::readPublishedFeedsText(text);
    QVERIFY(expected);
    std::erase_if(*expected, [&](const QByteArray &name) { return std::binary_search(gone.begin(), gone.end(), name); });
    expected->insert(expected->end(), came.begin(), came.end());
    QCOMPARE(out.listText(), yf::publishedFeedsText(*expected));
    QCOMPARE(cleanup->listFile, yf::fileIdentity(out.path + '/' + yf::kPublishedFeedsFile));
    QCOMPARE(cleanup->removed.size(), gone.size() - 1);
    QVERIFY(out.has(gone[1]) && !out.has(gone[0]));
}

QTEST_GUILESS_MAIN(TestPublishedFeedsByChange)
#include "tst_published_feeds_by_change.moc"
