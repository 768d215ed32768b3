// One folder's feed: exact bytes, what the lister shows, hostile names, and safe replacement.
#include "feed_writer_setup.h"

#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>

using namespace feedsetup;

class TestFeedWriter : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void writesExactBytes();
    void takesDatesFromTheFiles();
    void leavesAnUnchangedFeedAlone();
    void writesHeadAndTailForEmptyFolder();
    void joinsBaseUrlWithoutFinalSlash();
    void guidIsTheLinkBelowTheBaseUrl_data();
    void guidIsTheLinkBelowTheBaseUrl();
    void staysWellFormedForHostileNames_data();
    void staysWellFormedForHostileNames();
    void keepsBytesOfNamesThatAreNotUtf8();
    void replacesOnlyTheLeadingLinkRoot_data();
    void replacesOnlyTheLeadingLinkRoot();
    void leavesPreviousFeedWhenWriteFails();
    void reportsMissingFolderAndOutput();
    void writesFortyThousandItems();
};

void TestFeedWriter::initTestCase()
{
    qputenv("TZ", "UTC");
    ::tzset();
}

void TestFeedWriter::writesExactBytes()
{
    Setup s;
    fixture::makeTree(s.input, {"Talk Show/Ep 1.mp3=abc", "Talk Show/Rock & Roll.MP3", "Talk Show/notes.pdf=12345",
                                "Talk Show/caf\u00e9.jpg=xy"});
    const QString dir = s.input + "/Talk Show";
    setModified(dir + "/Ep 1.mp3", 1767517507);          // Sun, 4 Jan 2026 09:05:07 UTC
    setModified(dir + "/notes.pdf", 1767600000);         // Mon, 5 Jan 2026 08:00:00 UTC, the newest
    setModified(dir + "/Rock & Roll.MP3", 1700000000);   // Tue, 14 Nov 2023 22:13:20 UTC
    setModified(dir + "/caf\u00e9.jpg", 1767517507);
    setModified(dir, 1767000000);
    yf::FeedWriter w = s.writer();
    QVERIFY(s.write(w, native(dir + '/')).ok());
    const QByteArray expected =
        "<rss version=\"2.0\">\r\n<channel>\r\n<title>-Talk Show-</title>\r\n"
        "<link>http://10.0.0.5/</link>\r\n<description>-Talk Show-</description>\r\n"
        "<language>en-US</language>\r\n<lastBuildDate>Mon, 5 Jan 2026 08:00:00 +0000</lastBuildDate>\r\n"
        "<item>\r\n<title>caf&#xE9;.jpg</title>\r\n<link>http://10.0.0.5/Audio/Talk%20Show/caf%C3%A9.jpg</link>\r\n"
        "<pubDate>Sun, 4 Jan 2026 09:05:07 +0000</pubDate>\r\n"
        "<enclosure url=\"http://10.0.0.5/Audio/Talk%20Show/caf%C3%A9.jpg\" length=\"2\" type=\"image/jpeg\"/>\r\n"
        "<description>caf&#xE9;.jpg</description>\r\n"
        "<guid isPermaLink=\"false\">Audio/Talk%20Show/caf%C3%A9.jpg</guid>\r\n</item>\r\n"
        "<item>\r\n<title>Ep 1.mp3</title>\r\n<link>http://10.0.0.5/Audio/Talk%20Show/Ep%201.mp3</link>\r\n"
        "<pubDate>Sun, 4 Jan 2026 09:05:07 +0000</pubDate>\r\n"
        "<enclosure url=\"http://10.0.0.5/Audio/Talk%20Show/Ep%201.mp3\" length=\"3\" type=\"audio/mpeg\"/>\r\n"
        "<description>Ep 1.mp3</description>\r\n"
        "<guid isPermaLink=\"false\">Audio/Talk%20Show/Ep%201.mp3</guid>\r\n</item>\r\n"
        "<item>\r\n<title>notes.pdf</title>\r\n<link>http://10.0.0.5/Audio/Talk%20Show/notes.pdf</link>\r\n"
        "<pubDate>Mon, 5 Jan 2026 08:00:00 +0000</pubDate>\r\n"
        "<enclosure url=\"http://10.0.0.5/Audio/Talk%20Show/notes.pdf\" length=\"5\" type=\"application/pdf\"/>\r\n"
        "<description>notes.pdf</description>\r\n"
        "<guid isPermaLink=\"false\">Audio/Talk%20Show/notes.pdf</guid>\r\n</item>\r\n"
        "<item>\r\n<title>Rock &amp; Roll.MP3</title>\r\n"
        "<link>http://10.0.0.5/Audio/Talk%20Show/Rock%20&amp;%20Roll.MP3</link>\r\n"
        "<pubDate>Tue, 14 Nov 2023 22:13:20 +0000</pubDate>\r\n"
        "<enclosure url=\"http://10.0.0.5/Audio/Talk%20Show/Rock%20&amp;%20Roll.MP3\" length=\"0\" type=\"audio/mpeg\"/>\r\n"
        "<description>Rock &amp; Roll.MP3</description>\r\n"
        "<guid isPermaLink=\"false\">Audio/Talk%20Show/Rock%20&amp;%20Roll.MP3</guid>\r\n</item>\r\n"
        "</channel></rss>\r\n";
    QCOMPARE(s.feed("-Talk Show-.xml"), expected);
    // Only the feed is left in the output directory: no temporary file survives.
    QCOMPARE(fixture::filesIn(s.output), QStringList{"-Talk Show-.xml"});
}

// pubDate is the file's own date (its target's, for a link); lastBuildDate is the newest of
// the folder and its files, so adding or removing a file moves it too.
void TestFeedWriter::takesDatesFromTheFiles()
{
    Setup s;
    fixture::makeTree(s.input, {"F/a.mp3", "F/target.bin", "F/link.mp3->target.bin"});
    const QString dir = s.input + "/F";
    setModified(dir + "/a.mp3", 1000000000);        // Sun, 9 Sep 2001 01:46:40 UTC
    setModified(dir + "/target.bin", 1100000000);   // Tue, 9 Nov 2004 11:33:20 UTC
    setModified(dir + "/link.mp3", 1200000000, true);
    setModified(dir, 1050000000);                   // Fri, 11 Apr 2003 18:40:00 UTC
    yf::FeedWriter w = s.writer();
    QVERIFY(s.write(w, native(dir + '/')).ok());
    QByteArray text = s.feed("-F-.xml");
    QVERIFY(text.contains("F/link.mp3</link>\r\n<pubDate>Tue, 9 Nov 2004 11:33:20 +0000</pubDate>"));
    QVERIFY(text.contains("F/a.mp3</link>\r\n<pubDate>Sun, 9 Sep 2001 01:46:40 +0000</pubDate>"));
    QVERIFY(text.contains("<lastBuildDate>Tue, 9 Nov 2004 11:33:20 +0000</lastBuildDate>"));

    // A file removed: the folder changed later than any file left.
    QVERIFY(QFile::remove(dir + "/link.mp3"));
    QVERIFY(QFile::remove(dir + "/target.bin"));
    setModified(dir, 1300000000);                   // Sun, 13 Mar 2011 07:06:40 UTC
    QVERIFY(s.write(w, native(dir + '/')).ok());
    text = s.feed("-F-.xml");
    QVERIFY2(text.contains("<lastBuildDate>Sun, 13 Mar 2011 07:06:40 +0000</lastBuildDate>"), text.constData());
    QCOMPARE(text.count("<pubDate>"), 1);
}

// A feed whose text has not changed is not written again: same bytes, same date, so a web
// server can keep answering conditional requests with "not modified".
void TestFeedWriter::leavesAnUnchangedFeedAlone()
{
    Setup s;
    fixture::makeTree(s.input, {"F/a.mp3=1", "F/b.mp3=22"});
    const QString dir = s.input + "/F";
    setModified(dir + "/a.mp3", 1000000000);
    setModified(dir + "/b.mp3", 1000000000);
    yf::FeedWriter w = s.writer();
    QVERIFY(s.write(w, native(dir + '/')).ok());
    QVERIFY(!s.lastUnchanged);
    const QString feed = s.output + "/-F-.xml";
    const QByteArray first = s.feed("-F-.xml");
    setModified(feed, 900000000);

    QVERIFY(s.write(w, native(dir + '/')).ok());
    QVERIFY(s.lastUnchanged);
    QCOMPARE(modifiedOf(feed), qint64(900000000));
    QCOMPARE(s.feed("-F-.xml"), first);

    // Same size, other bytes: written.
    fixture::makeTree(s.output, {"-F-.xml=" + QString(first.size(), 'x')});
    setModified(feed, 900000000);
    QVERIFY(s.write(w, native(dir + '/')).ok());
    QVERIFY(!s.lastUnchanged);
    QCOMPARE(s.feed("-F-.xml"), first);
    QVERIFY(modifiedOf(feed) != 900000000);

    // A file that changed in place changes its item's date, so the feed is written again.
    setModified(feed, 900000000);
    fixture::makeTree(s.input, {"F/b.mp3=33"});
    setModified(dir + "/b.mp3", 1000000001);
    QVERIFY(s.write(w, native(dir + '/')).ok());
    QVERIFY(!s.lastUnchanged);
    QVERIFY(s.feed("-F-.xml") != first);

    // A link in the feed's place is replaced, even when what it points at holds the feed.
    const QByteArray now = s.feed("-F-.xml");
    QVERIFY(QFile::rename(feed, s.output + "/target.xml"));
    QCOMPARE(fixture::readFile(s.output + "/target.xml"), now);
    fixture::makeTree(s.output, {"-F-.xml->target.xml"});
    QVERIFY(s.write(w, native(dir + '/')).ok());
    QVERIFY(!s.lastUnchanged);
    QVERIFY(!QFileInfo(feed).isSymLink());
}

void TestFeedWriter::writesHeadAndTailForEmptyFolder()
{
    Setup s;
    fixture::makeTree(s.input, {"A & B/Sub/"});
    yf::FeedWriter w = s.writer({}, "http://host/my files/");
    QVERIFY(s.write(w, native(s.input + "/A & B/")).ok());
    const QByteArray text = s.feed("-A & B-.xml");
    QCOMPARE(text.count("\r\n"), 8);
    QVERIFY(text.startsWith("<rss version=\"2.0\">\r\n<channel>\r\n<title>-A &amp; B-</title>\r\n"
                            "<link>http://host/my%20files/</link>\r\n<description>-A &amp; B-</description>\r\n"));
    QVERIFY(text.endsWith("</lastBuildDate>\r\n</channel></rss>\r\n"));
    verifyWellFormed(text);
}

void TestFeedWriter::joinsBaseUrlWithoutFinalSlash()
{
    Setup s;
    fixture::makeTree(s.input, {"Show/C++ ; A+B.flac"});
    yf::FeedWriter w = s.writer({}, "http://127.0.0.1:8123");
    QVERIFY(s.write(w, native(s.input + "/Show/")).ok());
    const QByteArray text = s.feed("-Show-.xml");
    QVERIFY(text.contains("<link>http://127.0.0.1:8123</link>"));
    QVERIFY2(text.contains("<link>http://127.0.0.1:8123/Audio/Show/C++%20%3B%20A+B.flac</link>"), text.constData());
    QVERIFY(text.contains("type=\"audio/flac\""));
    verifyWellFormed(text);
}

void TestFeedWriter::guidIsTheLinkBelowTheBaseUrl_data()
{
    QTest::addColumn<QString>("linkEntryBelowInput");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("guid");
    QTest::newRow("blanks") << QString() << "Book One/Chapter 1.mp3" << QByteArray("Audio/Book%20One/Chapter%201.mp3");
    QTest::newRow("ampersand escaped as in the link") << QString() << "A & B/x&y.mp3"
                                                      << QByteArray("Audio/A%20&amp;%20B/x&amp;y.mp3");
    QTest::newRow("non-ASCII and URI delimiters") << QString() << "caf\u00e9/what? #1.mp3"
                                                  << QByteArray("Audio/caf%C3%A9/what%3F%20%231.mp3");
    QTest::newRow("sub-folder as link entry") << "Talks" << "Talks/Weekly/e.mp3" << QByteArray("Talks/Weekly/e.mp3");
}

// The guid is the link with the base URL's part left out, so any base URL gives the same
// guids: a new address or host name makes no episode look new to a reader.
void TestFeedWriter::guidIsTheLinkBelowTheBaseUrl()
{
    QFETCH(QString, linkEntryBelowInput);
    QFETCH(QString, file);
    QFETCH(QByteArray, guid);
    Setup s;
    fixture::makeTree(s.input, {file});
    const QString linkEntry = linkEntryBelowInput.isEmpty() ? QString() : s.input + '/' + linkEntryBelowInput;
    const QString folder = file.section('/', 0, -2);
    const QString feedFile = '-' + QString(folder).replace('/', '-') + "-.xml";
    const QList<QPair<QString, QByteArray>> bases = {{"http://192.0.2.2/", "http://192.0.2.2/"},
                                                     {"http://10.0.0.7:8080", "http://10.0.0.7:8080/"},
                                                     {"https://user:pw@media.example/pod/", "https://user:pw@media.example/pod/"}};
    for (const auto &[base, prefix] : bases) {
        yf::FeedWriter w = s.writer(linkEntry, base);
        QVERIFY(s.write(w, native(s.input + '/' + folder + '/')).ok());
        const QByteArray text = s.feed(feedFile);
        QVERIFY2(text.contains("<guid isPermaLink=\"false\">" + guid + "</guid>"), text.constData());
        QVERIFY2(text.contains("<link>" + prefix + guid + "</link>"), text.constData());
        QVERIFY2(text.contains("<enclosure url=\"" + prefix + guid + '"'), text.constData());
        verifyWellFormed(text);
    }
}

void TestFeedWriter::staysWellFormedForHostileNames_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("linkTail");
    QTest::newRow("markup characters") << "<b> \"q\"" << "a&b<c>d\"e'f.mp3"
                                       << QByteArray("%3Cb%3E%20%22q%22/a&amp;b%3Cc%3Ed%22e'f.mp3");
    QTest::newRow("URI delimiters") << "100% #1" << "what?.mp3" << QByteArray("100%25%20%231/what%3F.mp3");
    QTest::newRow("non-ASCII and emoji") << "日本語" << "été 🎵.ogg"
                                         << QByteArray("%E6%97%A5%E6%9C%AC%E8%AA%9E/%C3%A9t%C3%A9%20%F0%9F%8E%B5.ogg");
    QTest::newRow("control characters") << "tab\there" << "bell\x07.mp3" << QByteArray("tab%09here/bell%07.mp3");
}

void TestFeedWriter::staysWellFormedForHostileNames()
{
    QFETCH(QString, folder);
    QFETCH(QString, file);
    QFETCH(QByteArray, linkTail);
    Setup s;
    fixture::makeTree(s.input, {folder + '/' + file});
    yf::FeedWriter w = s.writer();
    QVERIFY(s.write(w, native(s.input + '/' + folder + '/')).ok());
    const QByteArray text = s.feed('-' + folder + "-.xml");
    verifyWellFormed(text);
    QVERIFY2(text.contains("<link>http://10.0.0.5/Audio/" + linkTail + "</link>"), text.constData());
    QVERIFY2(std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }),
             "pure ASCII whatever the names");
}

void TestFeedWriter::keepsBytesOfNamesThatAreNotUtf8()
{
    Setup s;
    const QByteArray folder = native(s.input) + "/caf\xE9";
    QVERIFY(::mkdir(folder.constData(), 0755) == 0);
    const int fd = ::open((folder + "/\xFF\x01.mp3").constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    yf::FeedWriter w = s.writer();
    QVERIFY(s.write(w, folder + '/').ok());
    // The feed file keeps the folder's own bytes; the text inside shows U+FFFD instead.
    QFile raw;
    const int in = ::open((native(s.output) + "/-caf\xE9-.xml").constData(), O_RDONLY);
    QVERIFY(in >= 0);
    QVERIFY(raw.open(in, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    const QByteArray bytes = raw.readAll();
    verifyWellFormed(bytes);
    QVERIFY(bytes.contains("<title>-caf&#xFFFD;-</title>"));
    QVERIFY(bytes.contains("<title>&#xFFFD;&#xFFFD;.mp3</title>"));
    QVERIFY(bytes.contains("<link>http://10.0.0.5/Audio/caf%E9/%FF%01.mp3</link>"));
    // QDir cannot remove names it cannot decode; clean up by bytes.
    ::unlink((folder + "/\xFF\x01.mp3").constData());
    ::rmdir(folder.constData());
    ::unlink((native(s.output) + "/-caf\xE9-.xml").constData());
}

void TestFeedWriter::replacesOnlyTheLeadingLinkRoot_data()
{
    QTest::addColumn<QString>("linkEntryBelowInput");
    QTest::addColumn<QByteArray>("link");
    QTest::newRow("input directory as link entry") << QString() << QByteArray("http://h/Audio/in/Audio/x.mp3");
    QTest::newRow("sub-folder as link entry") << "in" << QByteArray("http://h/in/Audio/x.mp3");
}

void TestFeedWriter::replacesOnlyTheLeadingLinkRoot()
{
    // The folder's path repeats the link root ".../in/" further down: only the leading
    // occurrence stands for the base URL.
    QFETCH(QString, linkEntryBelowInput);
    QFETCH(QByteArray, link);
    Setup s;
    fixture::makeTree(s.input, {"in/Audio/x.mp3"});
    const QString linkEntry = linkEntryBelowInput.isEmpty() ? s.input : s.input + '/' + linkEntryBelowInput;
    yf::FeedWriter w = s.writer(linkEntry, "http://h/");
    QVERIFY(s.write(w, native(s.input + "/in/Audio/")).ok());
    const QByteArray text = s.feed("-in-Audio-.xml");
    QVERIFY2(text.contains("<link>" + link + "</link>"), text.constData());
}

void TestFeedWriter::leavesPreviousFeedWhenWriteFails()
{
    Setup s;
    QStringList many;
    for (int k = 0; k < 50; ++k)
        many << QStringLiteral("Show/episode %1.mp3").arg(k);
    fixture::makeTree(s.input, many);
    fixture::makeTree(s.output, {"-Show-.xml=previous feed"});

    // Let no file grow past 1 KiB, so writing the new feed fails half-way.
    struct rlimit old;
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    yf::FeedWriter w = s.writer();
    const yf::Status status = s.write(w, native(s.input + "/Show/"));
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &old) == 0);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::WriteFeed);
    QCOMPARE(status.error().path, s.output + "/-Show-.xml");
    QCOMPARE(status.error().reason, QString("File too large"));
    QCOMPARE(s.feed("-Show-.xml"), QByteArray("previous feed"));
    QCOMPARE(fixture::filesIn(s.output), QStringList{"-Show-.xml"});
}

void TestFeedWriter::reportsMissingFolderAndOutput()
{
    Setup s;
    fixture::makeTree(s.input, {"Here/a.mp3"});
    yf::FeedWriter w = s.writer();
    yf::Status status = s.write(w, native(s.input + "/Gone/"));
    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::ListFolder);
    QCOMPARE(status.error().path, s.input + "/Gone/");

    QDir(s.output).removeRecursively();
    status = s.write(w, native(s.input + "/Here/"));
    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::WriteFeed);
    QVERIFY(status.error().message().contains(s.output + "/-Here-.xml"));
    QCOMPARE(status.error().reason, QString("No such file or directory"));
}

void TestFeedWriter::writesFortyThousandItems()
{
    Setup s;
    const QByteArray folder = native(s.input) + "/Big";
    QVERIFY(::mkdir(folder.constData(), 0755) == 0);
    for (int k = 0; k < 40000; ++k) {
        const int fd = ::open((folder + "/t" + QByteArray::number(k) + ".mp3").constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    }
    yf::FeedWriter w = s.writer();
    QVERIFY(s.write(w, folder + '/').ok());
    const QByteArray feed = s.feed("-Big-.xml");
    QCOMPARE(feed.count("<item>"), 40000);
    // Compared a block at a time: equal through every block, then one byte off in the last.
    QVERIFY(s.write(w, folder + '/').ok());
    QVERIFY(s.lastUnchanged);
    QByteArray changed = feed;
    changed[changed.size() - 3] = 'X';
    QFile file(s.output + "/-Big-.xml");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(changed) == changed.size());
    file.close();
    QVERIFY(s.write(w, folder + '/').ok());
    QVERIFY(!s.lastUnchanged);
    QCOMPARE(s.feed("-Big-.xml"), feed);
}

QTEST_GUILESS_MAIN(TestFeedWriter)
#include "tst_feed_writer.moc"
