// The pieces of a feed's text: escaping, link encoding, names, link roots, types, dates.
#include "feed/feed_text.h"
#include "runtime/clock.h"

#include <QLocale>
#include <QtTest>

#include <cstdlib>
#include <ctime>

using namespace yf::feedtext;

namespace {

void setZone(const char *zone)
{
    qputenv("TZ", zone);
    ::tzset();
}

} // namespace

class TestFeedText : public QObject {
    Q_OBJECT
private slots:
    void escapesXml_data();
    void escapesXml();
    void encodesLinkPaths_data();
    void encodesLinkPaths();
    void encodesBaseUrl();
    void namesFeedsAfterFolders_data();
    void namesFeedsAfterFolders();
    void findsLinkRoot_data();
    void findsLinkRoot();
    void choosesTypeByExtension_data();
    void choosesTypeByExtension();
    void writesEnglishDatesWithRealZone_data();
    void writesEnglishDatesWithRealZone();
    void cleanupTestCase();
};

void TestFeedText::escapesXml_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("attribute");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ampersand") << QByteArray("Rock & Roll.mp3") << false << QByteArray("Rock &amp; Roll.mp3");
    QTest::newRow("angle brackets") << QByteArray("<b>.mp3") << false << QByteArray("&lt;b&gt;.mp3");
    QTest::newRow("quote kept in text") << QByteArray("say \"hi\"") << false << QByteArray("say \"hi\"");
    QTest::newRow("quote escaped in attribute") << QByteArray("say \"hi\"") << true << QByteArray("say &quot;hi&quot;");
    QTest::newRow("apostrophe untouched") << QByteArray("it's") << true << QByteArray("it's");
    QTest::newRow("tab, LF and CR allowed") << QByteArray("a\tb\nc\rd") << false << QByteArray("a\tb\nc\rd");
    QTest::newRow("other controls replaced") << QByteArray("a\x01" "b\x1f" "c") << false
                                             << QByteArray("a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c");
    QTest::newRow("non-ASCII kept") << QByteArray("caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xB5") << false
                                    << QByteArray("caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xB5");
    QTest::newRow("stray byte replaced") << QByteArray("a\xFF" "b") << false << QByteArray("a\xEF\xBF\xBD" "b");
    QTest::newRow("Latin-1 name replaced") << QByteArray("caf\xE9.mp3") << false
                                           << QByteArray("caf\xEF\xBF\xBD.mp3");
    QTest::newRow("cut sequence at end") << QByteArray("a\xE6\x97") << false
                                         << QByteArray("a\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("overlong form") << QByteArray("\xC0\xAF") << false
                                   << QByteArray("\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("encoded surrogate") << QByteArray("\xED\xA0\x80") << false
                                       << QByteArray("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("noncharacter U+FFFF") << QByteArray("\xEF\xBF\xBF") << false
                                         << QByteArray("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

void TestFeedText::escapesXml()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, attribute);
    QFETCH(QByteArray, expected);
    QCOMPARE(xml(input, attribute), expected);
}

void TestFeedText::encodesLinkPaths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("blanks") << QByteArray("Audio/Talk Show/Ep 1.mp3") << QByteArray("Audio/Talk%20Show/Ep%201.mp3");
    QTest::newRow("sub-delimiters kept") << QByteArray("Rock & Roll;+,=!$'()*:@.mp3")
                                         << QByteArray("Rock%20&%20Roll;+,=!$'()*:@.mp3");
    QTest::newRow("percent, hash, question") << QByteArray("100% #1?.mp3") << QByteArray("100%25%20%231%3F.mp3");
    QTest::newRow("quote and angles") << QByteArray("\"<>\".mp3") << QByteArray("%22%3C%3E%22.mp3");
    QTest::newRow("non-ASCII as UTF-8 bytes") << QByteArray("\xC3\xA9t\xC3\xA9") << QByteArray("%C3%A9t%C3%A9");
    QTest::newRow("invalid bytes kept as bytes") << QByteArray("caf\xE9") << QByteArray("caf%E9");
    QTest::newRow("controls") << QByteArray("a\nb\x7f") << QByteArray("a%0Ab%7F");
    QTest::newRow("unreserved kept") << QByteArray("Az09-._~/") << QByteArray("Az09-._~/");
}

void TestFeedText::encodesLinkPaths()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, expected);
    QCOMPARE(encodeLinkPath(path), expected);
}

void TestFeedText::encodesBaseUrl()
{
    QCOMPARE(encodeBaseUrl("http://10.0.0.5/"), QByteArray("http://10.0.0.5/"));
    QCOMPARE(encodeBaseUrl("http://host/my files/"), QByteArray("http://host/my%20files/"));
    QCOMPARE(encodeBaseUrl("http://host/?a=1&b=2"), QByteArray("http://host/?a=1&b=2"));
    QCOMPARE(encodeBaseUrl(QString("http://h/\t")), QByteArray("http://h/%09"));
}

void TestFeedText::namesFeedsAfterFolders_data()
{
    QTest::addColumn<QByteArray>("dirPath");
    QTest::addColumn<QByteArray>("inputPath");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("nested") << QByteArray("/srv/Audio/Talks/Weekly/") << QByteArray("/srv/Audio")
                            << QByteArray("-Talks-Weekly-");
    QTest::newRow("root input keeps its doubled separator") << QByteArray("//Music/") << QByteArray("/")
                                                            << QByteArray("-Music-");
    QTest::newRow("dash and slash collide") << QByteArray("/in/A/B/") << QByteArray("/in")
                                            << QByteArray("-A-B-");
}

void TestFeedText::namesFeedsAfterFolders()
{
    QFETCH(QByteArray, dirPath);
    QFETCH(QByteArray, inputPath);
    QFETCH(QByteArray, expected);
    QCOMPARE(feedName(dirPath, inputPath.size()), expected);
}

void TestFeedText::findsLinkRoot_data()
{
    QTest::addColumn<QByteArray>("highlighted");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("input directory") << QByteArray("/srv/Audio") << QByteArray("/srv/");
    QTest::newRow("top-level folder") << QByteArray("/srv") << QByteArray("/");
    QTest::newRow("root") << QByteArray("/") << QByteArray("/");
    QTest::newRow("highlighted sub-folder") << QByteArray("/srv/Audio/Talks") << QByteArray("/srv/Audio/");
}

void TestFeedText::findsLinkRoot()
{
    QFETCH(QByteArray, highlighted);
    QFETCH(QByteArray, expected);
    QCOMPARE(linkRoot(highlighted), expected);
}

void TestFeedText::choosesTypeByExtension_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("type");
    const QList<QPair<const char *, const char *>> table{
        {"a.mp3", "audio/mpeg"},     {"a.MP3", "audio/mpeg"},      {"a.m4a", "audio/x-m4a"},
        {"book.M4B", "audio/x-m4a"}, {"a.aac", "audio/aac"},       {"a.ogg", "audio/ogg"},
        {"a.oga", "audio/ogg"},      {"a.opus", "audio/ogg"},      {"a.flac", "audio/flac"},
        {"a.wav", "audio/wav"},      {"a.mp4", "video/mp4"},       {"a.m4v", "video/x-m4v"},
        {"a.MoV", "video/quicktime"}, {"a.pdf", "application/pdf"}, {"notes.txt", "audio/mpeg"},
        {"no extension", "audio/mpeg"}, {"trailing.", "audio/mpeg"}, {"mp3", "audio/mpeg"},
        {"x.mp3.txt", "audio/mpeg"},  {"x.txt.ogg", "audio/ogg"},
    };
    for (const auto &[name, type] : table)
        QTest::newRow(name) << QByteArray(name) << QByteArray(type);
}

void TestFeedText::choosesTypeByExtension()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, type);
    QCOMPARE(QByteArray(mimeType(name)), type);
}

void TestFeedText::writesEnglishDatesWithRealZone_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("secs");
    QTest::addColumn<QByteArray>("expected");
    // 2026-01-04 09:05:07 UTC, a Sunday; 2026-07-01 12:00:00 UTC, a Wednesday.
    QTest::newRow("UTC") << QByteArray("UTC") << qint64(1767517507) << QByteArray("Sun, 4 Jan 2026 09:05:07 +0000");
    QTest::newRow("east of UTC") << QByteArray("Asia/Kolkata") << qint64(1767517507)
                                 << QByteArray("Sun, 4 Jan 2026 14:35:07 +0530");
    QTest::newRow("west of UTC") << QByteArray("America/New_York") << qint64(1767517507)
                                 << QByteArray("Sun, 4 Jan 2026 04:05:07 -0500");
    QTest::newRow("summer time at that instant") << QByteArray("America/New_York") << qint64(1782907200)
                                                 << QByteArray("Wed, 1 Jul 2026 08:00:00 -0400");
    QTest::newRow("Honolulu") << QByteArray("Pacific/Honolulu") << qint64(1782907200)
                              << QByteArray("Wed, 1 Jul 2026 02:00:00 -1000");
}

void TestFeedText::writesEnglishDatesWithRealZone()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, secs);
    QFETCH(QByteArray, expected);
    // A German user still gets English names: RFC 822 has no other.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    qputenv("LC_ALL", "de_DE.UTF-8");
    setZone(zone.constData());
    yf::DateText dates;
    QCOMPARE(dates.format(secs), expected);
    QCOMPARE(dates.format(secs), expected);  // served from the remembered second
    QVERIFY(dates.format(secs + 1) != expected);
}

void TestFeedText::cleanupTestCase()
{
    qunsetenv("TZ");
    ::tzset();
}

QTEST_GUILESS_MAIN(TestFeedText)
#include "tst_feed_text.moc"
