// A folder's feed with episode details from tags: exact text, titles, durations, chapter order, channel and art.
#include "feed_writer_setup.h"
#include "media_fixture.h"
#include "tags/media_details.h"

#include <QRegularExpression>

#include <ctime>

using namespace feedsetup;
using mediafixture::Tags;

namespace {

// A file of the folder: media names become MP3s of `ms` with `tags`, others a few bytes.
struct File {
    File() = default;
    File(const char *name, Tags tags = {}, qint64 modified = 1767517507, qint64 ms = 1000)
        : name(QString::fromUtf8(name)), tags(std::move(tags)), modified(modified), ms(ms)
    {
    }
    QString name;
    Tags tags;
    qint64 modified = 0;  // 1767517507 is Sun, 4 Jan 2026 09:05:07 UTC
    qint64 ms = 0;
};
using Files = QList<File>;

Tags titled(const QString &title, unsigned track = 0, const QString &disc = {})
{
    return Tags{title, {}, {}, {}, {}, track, disc};
}

// The text between every <tag> and </tag> in the feed, in order.
QStringList allOf(const QByteArray &feed, const QString &tag)
{
    QStringList found;
    const QRegularExpression element("<" + tag + ">([^<]*)</" + tag + ">");
    for (const QRegularExpressionMatch &m : element.globalMatch(QString::fromUtf8(feed)))
        found << m.captured(1);
    return found;
}

} // namespace

Q_DECLARE_METATYPE(File)

class TestTaggedFeed : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void writesExactTextOfASerial();
    void titlesAndDescribesFromTags_data();
    void titlesAndDescribesFromTags();
    void givesDurationInWholeSeconds_data();
    void givesDurationInWholeSeconds();
    void ordersChaptersByDiscTrackAndName_data();
    void ordersChaptersByDiscTrackAndName();
    void titlesChannelByAlbumAndAuthor_data();
    void titlesChannelByAlbumAndAuthor();
    void takesCoverArtByName_data();
    void takesCoverArtByName();

private:
    // The feed of <input>/Show made from `files`, with tags read; its index figures too.
    QByteArray feedOf(const Files &files, qsizetype *episodes = nullptr, qint64 *newest = nullptr);
};

void TestTaggedFeed::initTestCase()
{
    qputenv("TZ", "UTC");
    ::tzset();
}

QByteArray TestTaggedFeed::feedOf(const Files &files, qsizetype *episodes, qint64 *newest)
{
    Setup s;
    const QString dir = s.input + "/Show";
    QDir().mkpath(dir);
    for (const File &f : files) {
        const QString path = dir + '/' + f.name;
        if (yf::isMediaFileName(native(f.name)))
            [&] { QVERIFY(mediafixture::writeMp3(path, f.ms, f.tags)); }();
        else
            [&] { QVERIFY(mediafixture::writeFile(path, "picture")); }();
        setModified(path, f.modified);
    }
    setModified(dir, 1767000000);
    yf::TagSource tags({}, native(s.input));
    yf::FeedWriter w = s.writer({}, "http://10.0.0.5/", &tags);
    yf::Result<yf::PreparedFeed> made = w.prepare(native(dir + '/'), "-Show-", s.lister);
    if (!made.ok())
        return {};
    yf::PreparedFeed feed = std::move(made).value();
    if (episodes)
        *episodes = feed.episodeCount();
    if (newest)
        *newest = feed.newestEpisodeSecs();
    if (!w.commit(feed).ok())
        return {};
    const QByteArray text = s.feed("-Show-.xml");
    verifyWellFormed(text);
    return text;
}

void TestTaggedFeed::writesExactTextOfASerial()
{
    const Files files{
        {"Chapter 10.mp3", Tags{"Two & more", "The <second>", "Book", "Reader", "Writer", 2, {}}, 1767600000, 61'400},
        {"Chapter 2.mp3", Tags{"One", {}, "Book", "Reader", "Writer", 1, {}}, 1767517507, 2'000},
        {"Cover.JPG", {}, 1700000000},
        {"notes.pdf", {}, 1767000000},
    };
    qsizetype episodes = 0;
    qint64 newest = 0;
    const QByteArray expected =
        "<rss version=\"2.0\" xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\">\r\n<channel>\r\n"
        "<title>Book</title>\r\n<link>http://10.0.0.5/</link>\r\n<description>Book</description>\r\n"
        "<language>en-US</language>\r\n<itunes:type>serial</itunes:type>\r\n"
        "<image><url>http://10.0.0.5/Audio/Show/Cover.JPG</url><title>Book</title><link>http://10.0.0.5/</link></image>\r\n"
        "<itunes:image href=\"http://10.0.0.5/Audio/Show/Cover.JPG\"/>\r\n"
        "<itunes:author>Writer</itunes:author>\r\n"
        "<lastBuildDate>Mon, 5 Jan 2026 08:00:00 +0000</lastBuildDate>\r\n"
        "<item>\r\n<title>One</title>\r\n<link>http://10.0.0.5/Audio/Show/Chapter%202.mp3</link>\r\n"
        "<pubDate>Sun, 4 Jan 2026 09:05:07 +0000</pubDate>\r\n"
        "<enclosure url=\"http://10.0.0.5/Audio/Show/Chapter%202.mp3\" length=\"N\" type=\"audio/mpeg\"/>\r\n"
        "<description>One</description>\r\n<itunes:duration>2</itunes:duration>\r\n<itunes:episode>1</itunes:episode>\r\n"
        "<guid isPermaLink=\"false\">Audio/Show/Chapter%202.mp3</guid>\r\n</item>\r\n"
        "<item>\r\n<title>Two &amp; more</title>\r\n<link>http://10.0.0.5/Audio/Show/Chapter%2010.mp3</link>\r\n"
        "<pubDate>Sun, 4 Jan 2026 09:06:07 +0000</pubDate>\r\n"
        "<enclosure url=\"http://10.0.0.5/Audio/Show/Chapter%2010.mp3\" length=\"N\" type=\"audio/mpeg\"/>\r\n"
        "<description>The &lt;second&gt;</description>\r\n<itunes:duration>61</itunes:duration>\r\n"
        "<itunes:episode>2</itunes:episode>\r\n"
        "<guid isPermaLink=\"false\">Audio/Show/Chapter%2010.mp3</guid>\r\n</item>\r\n"
        "<item>\r\n<title>notes.pdf</title>\r\n<link>http://10.0.0.5/Audio/Show/notes.pdf</link>\r\n"
        "<pubDate>Mon, 29 Dec 2025 09:20:00 +0000</pubDate>\r\n"
        "<enclosure url=\"http://10.0.0.5/Audio/Show/notes.pdf\" length=\"7\" type=\"application/pdf\"/>\r\n"
        "<description>notes.pdf</description>\r\n<guid isPermaLink=\"false\">Audio/Show/notes.pdf</guid>\r\n</item>\r\n"
        "</channel></rss>\r\n";
    // The enclosure lengths of audio are those of the files as TagLib left them.
    const QByteArray text = QString::fromUtf8(feedOf(files, &episodes, &newest))
                                .replace(QRegularExpression("length=\"\\d+\" type=\"audio"), "length=\"N\" type=\"audio")
                                .toUtf8();
    QCOMPARE(text, expected);
    // The picture is no episode; the newest date is the newest one the feed gives.
    QCOMPARE(episodes, 3);
    QCOMPARE(newest, 1767517507 + 60);
}

void TestTaggedFeed::titlesAndDescribesFromTags_data()
{
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("description");
    QTest::newRow("title and comment") << Tags{"Episode", "About it", {}, {}, {}, 0, {}} << "Episode" << "About it";
    QTest::newRow("title alone describes") << titled("Episode") << "Episode" << "Episode";
    QTest::newRow("no tags: the file name") << Tags{} << "ep.mp3" << "ep.mp3";
    QTest::newRow("blank title: the file name") << Tags{"   ", "About it", {}, {}, {}, 0, {}} << "ep.mp3" << "About it";
    QTest::newRow("blank comment: the title") << Tags{"Episode", " \t ", {}, {}, {}, 0, {}} << "Episode" << "Episode";
    QTest::newRow("escaped and ASCII") << Tags{"Caf\u00e9 & <b>", "\u201cq\u201d", {}, {}, {}, 0, {}}
                                       << "Caf&#xE9; &amp; &lt;b&gt;" << "&#x201C;q&#x201D;";
}

void TestTaggedFeed::titlesAndDescribesFromTags()
{
    QFETCH(Tags, tags);
    QFETCH(QString, title);
    QFETCH(QString, description);
    const QByteArray text = feedOf({{"ep.mp3", tags}});
    QCOMPARE(allOf(text, "title"), QStringList({"-Show-", title}));
    QCOMPARE(allOf(text, "description"), QStringList({"-Show-", description}));
}

void TestTaggedFeed::givesDurationInWholeSeconds_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<QStringList>("duration");
    // A frame lasts 26.0625 ms.
    QTest::newRow("1.485 s rounds down") << 57 << QStringList{"1"};
    QTest::newRow("1.511 s rounds up") << 58 << QStringList{"2"};
    QTest::newRow("an hour") << 138'130 << QStringList{"3600"};
    QTest::newRow("no audio: no duration") << 0 << QStringList{};
}

void TestTaggedFeed::givesDurationInWholeSeconds()
{
    QFETCH(int, frames);
    const qint64 ms = mediafixture::lengthOf(frames);
    QTEST(allOf(feedOf({{"ep.mp3", titled("Ep"), 1767517507, ms}}), "itunes:duration"), "duration");
}

void TestTaggedFeed::ordersChaptersByDiscTrackAndName_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QStringList>("dates");
    QTest::addColumn<QStringList>("episodes");
    const qint64 t = 1767517507;
    QTest::newRow("track order, one date, a minute apart")
        << Files{{"a.mp3", titled("A", 3), t}, {"b.mp3", titled("B", 1), t}, {"c.mp3", titled("C", 2), t}}
        << QStringList{"B", "C", "A"}
        << QStringList{"Sun, 4 Jan 2026 09:05:07 +0000", "Sun, 4 Jan 2026 09:06:07 +0000", "Sun, 4 Jan 2026 09:07:07 +0000"}
        << QStringList{"1", "2", "3"};
    QTest::newRow("from the oldest date of them")
        << Files{{"a.mp3", titled("A", 1), t + 500}, {"b.mp3", titled("B", 2), t}}
        << QStringList{"A", "B"}
        << QStringList{"Sun, 4 Jan 2026 09:05:07 +0000", "Sun, 4 Jan 2026 09:06:07 +0000"} << QStringList{"1", "2"};
    QTest::newRow("disc before track, no disc first")
        << Files{{"a.mp3", titled("A", 1, "2/2"), t}, {"b.mp3", titled("B", 2, "1/2"), t}, {"c.mp3", titled("C", 5), t},
                 {"d.mp3", titled("D", 1, "1"), t}}
        << QStringList{"C", "D", "B", "A"} << QStringList{} << QStringList{"5", "1", "2", "1"};
    QTest::newRow("same track: by name, numbers by value")
        << Files{{"Side 10.mp3", titled("P10", 1), t}, {"Side 9.mp3", titled("P9", 1), t}}
        << QStringList{"P9", "P10"} << QStringList{} << QStringList{"1", "1"};
    QTest::newRow("other files after, with their own dates")
        << Files{{"a.txt", {}, t - 86400}, {"b.mp3", titled("B", 2), t}, {"c.mp3", titled("C", 1), t}}
        << QStringList{"C", "B", "a.txt"}
        << QStringList{"Sun, 4 Jan 2026 09:05:07 +0000", "Sun, 4 Jan 2026 09:06:07 +0000", "Sat, 3 Jan 2026 09:05:07 +0000"}
        << QStringList{"1", "2"};
    QTest::newRow("one without a track: no serial, the lister's order and dates")
        << Files{{"a.mp3", titled("A", 2), t}, {"b.mp3", titled("B"), t - 60}, {"c.mp3", titled("C", 1), t}}
        << QStringList{"A", "B", "C"}
        << QStringList{"Sun, 4 Jan 2026 09:05:07 +0000", "Sun, 4 Jan 2026 09:04:07 +0000", "Sun, 4 Jan 2026 09:05:07 +0000"}
        << QStringList{};
    QTest::newRow("a hostile file among them: no serial")
        << Files{{"a.mp3", titled("A", 2), t}, {"b.mp3", {}, t}} << QStringList{"A", "b.mp3"} << QStringList{}
        << QStringList{};
    QTest::newRow("no media at all: no serial") << Files{{"a.txt", {}, t}} << QStringList{"a.txt"} << QStringList{}
                                                << QStringList{};
}

void TestTaggedFeed::ordersChaptersByDiscTrackAndName()
{
    QFETCH(Files, files);
    QFETCH(QStringList, dates);
    QFETCH(QStringList, episodes);
    const QByteArray text = feedOf(files);
    QTEST(allOf(text, "title").mid(1), "titles");
    if (!dates.isEmpty())
        QCOMPARE(allOf(text, "pubDate"), dates);
    QCOMPARE(allOf(text, "itunes:episode"), episodes);
    QCOMPARE(text.count("<itunes:type>serial</itunes:type>\r\n"), episodes.isEmpty() ? 0 : 1);
}

void TestTaggedFeed::titlesChannelByAlbumAndAuthor_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("author");
    const auto by = [](const QString &album, const QString &artist, const QString &albumArtist) {
        return Tags{"T", {}, album, artist, albumArtist, 0, {}};
    };
    QTest::newRow("one album, one album artist")
        << Files{{"a.mp3", by("Book", "R1", "W")}, {"b.mp3", by("Book", "R2", "W")}, {"c.txt"}} << "Book"
        << QStringList{"W"};
    QTest::newRow("album artists differ: the shared artist")
        << Files{{"a.mp3", by("Book", "R", "W1")}, {"b.mp3", by("Book", "R", "W2")}} << "Book" << QStringList{"R"};
    QTest::newRow("one has no album artist: the shared artist")
        << Files{{"a.mp3", by("Book", "R", "W")}, {"b.mp3", by("Book", "R", "")}} << "Book" << QStringList{"R"};
    QTest::newRow("albums differ, nothing shared")
        << Files{{"a.mp3", by("One", "R1", "")}, {"b.mp3", by("Two", "R2", "")}} << "-Show-" << QStringList{};
    QTest::newRow("one without album") << Files{{"a.mp3", by("Book", "", "")}, {"b.mp3", by("", "", "")}} << "-Show-"
                                       << QStringList{};
    // The first two agree, the others do not; a picture between them has no album to spoil it.
    QTest::newRow("the last album differs")
        << Files{{"a.mp3", by("Book", "R", "")}, {"b.mp3", by("Book", "R", "")}, {"cover.jpg"}, {"c.mp3", by("Book", "R", "")},
                 {"d.mp3", by("Other", "R", "")}}
        << "-Show-" << QStringList{"R"};
    QTest::newRow("the first without album, the rest agree")
        << Files{{"a.mp3", by("", "R", "")}, {"b.mp3", by("Book", "R", "")}, {"c.mp3", by("Book", "R", "")}} << "-Show-"
        << QStringList{"R"};
    QTest::newRow("an album named with markup") << Files{{"a.mp3", by("A & B", "", "")}} << "A &amp; B" << QStringList{};
}

void TestTaggedFeed::titlesChannelByAlbumAndAuthor()
{
    QFETCH(Files, files);
    QFETCH(QString, title);
    const QByteArray text = feedOf(files);
    QCOMPARE(allOf(text, "title").first(), title);
    QCOMPARE(allOf(text, "description").first(), title);
    QTEST(allOf(text, "itunes:author"), "author");
    // The feed file keeps its name whatever the album.
    QVERIFY(!text.isEmpty());
}

void TestTaggedFeed::takesCoverArtByName_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("art");  // empty: none
    QTest::addColumn<QStringList>("items");
    const File ep{"ep.mp3", titled("Ep")};
    QTest::newRow("cover.jpg") << Files{ep, {"cover.jpg"}} << "cover.jpg" << QStringList{"Ep"};
    QTest::newRow("Folder.PNG") << Files{ep, {"Folder.PNG"}} << "Folder.PNG" << QStringList{"Ep"};
    QTest::newRow("FRONT.jpeg") << Files{ep, {"FRONT.jpeg"}} << "FRONT.jpeg" << QStringList{"Ep"};
    QTest::newRow("album.png") << Files{ep, {"album.png"}} << "album.png" << QStringList{"Ep"};
    QTest::newRow("first of two in the lister's order")
        << Files{ep, {"folder.jpg"}, {"Cover.png"}} << "Cover.png" << QStringList{"Ep", "folder.jpg"};
    QTest::newRow("other names are episodes")
        << Files{ep, {"back.jpg"}, {"cover.gif"}, {"my cover.jpg"}, {"cover.jpg.txt"}} << ""
        << QStringList{"back.jpg", "cover.gif", "cover.jpg.txt", "Ep", "my cover.jpg"};
    QTest::newRow("art without episodes") << Files{{"cover.jpg"}} << "cover.jpg" << QStringList{};
}

void TestTaggedFeed::takesCoverArtByName()
{
    QFETCH(Files, files);
    QFETCH(QString, art);
    qsizetype episodes = -1;
    const QByteArray text = feedOf(files, &episodes);
    QTEST(allOf(text, "title").mid(art.isEmpty() ? 1 : 2), "items");
    QCOMPARE(episodes, qsizetype(text.count("<item>")));
    const QString link = "http://10.0.0.5/Audio/Show/" + art;
    QCOMPARE(allOf(text, "url"), art.isEmpty() ? QStringList() : QStringList{link});
    QCOMPARE(text.count(QString("<itunes:image href=\"" + link + "\"/>").toUtf8()), art.isEmpty() ? 0 : 1);
}

QTEST_GUILESS_MAIN(TestTaggedFeed)
#include "tst_tagged_feed.moc"
