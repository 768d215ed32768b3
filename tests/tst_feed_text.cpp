// What a feed says about its folder: base URLs, names, link roots, types, dates.
#include "feed/base_url.h"
#include "feed/feed_text.h"
#include "feed/media_types.h"
#include "runtime/clock.h"

#include <QLocale>
#include <QtTest>

#include <cstdio>
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
    void encodesBaseUrl_data();
    void encodesBaseUrl();
    void refusesBaseUrlThatGivesNoPlayableLink_data();
    void refusesBaseUrlThatGivesNoPlayableLink();
    void namesFeedsAfterFolders_data();
    void namesFeedsAfterFolders();
    void findsLinkRoot_data();
    void findsLinkRoot();
    void choosesTypeByExtension_data();
    void choosesTypeByExtension();
    void writesEnglishDatesWithRealZone_data();
    void writesEnglishDatesWithRealZone();
    void agreesWithTheLibraryAroundZoneChanges_data();
    void agreesWithTheLibraryAroundZoneChanges();
    void cleanupTestCase();
};

void TestFeedText::encodesBaseUrl_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("prefix");
    QTest::newRow("plain") << "http://10.0.0.5/" << QByteArray("http://10.0.0.5/") << QByteArray("http://10.0.0.5/");
    QTest::newRow("no final slash") << "http://127.0.0.1:8123" << QByteArray("http://127.0.0.1:8123")
                                    << QByteArray("http://127.0.0.1:8123/");
    QTest::newRow("path without slash") << "http://h/pod" << QByteArray("http://h/pod") << QByteArray("http://h/pod/");
    QTest::newRow("blank and non-ASCII") << QString::fromUtf8("http://host/my files/\u00e9t\u00e9/")
                                         << QByteArray("http://host/my%20files/%C3%A9t%C3%A9/")
                                         << QByteArray("http://host/my%20files/%C3%A9t%C3%A9/");
    QTest::newRow("quote and angle") << "http://h/a\"<b/" << QByteArray("http://h/a%22%3Cb/") << QByteArray("http://h/a%22%3Cb/");
    QTest::newRow("surrounding blanks dropped") << "  https://h/ " << QByteArray("https://h/") << QByteArray("https://h/");
    QTest::newRow("scheme in capitals") << "HTTPS://h/pod/" << QByteArray("https://h/pod/") << QByteArray("https://h/pod/");
    QTest::newRow("user information kept") << "http://user:pw@host/" << QByteArray("http://user:pw@host/")
                                           << QByteArray("http://user:pw@host/");
}

void TestFeedText::encodesBaseUrl()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, prefix);
    const yf::Result<yf::BaseUrl> base = yf::parseBaseUrl(typed);
    QVERIFY(base.ok());
    QCOMPARE(base.value().encoded, encoded);
    QCOMPARE(base.value().linkPrefix, prefix);
}

void TestFeedText::refusesBaseUrlThatGivesNoPlayableLink_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reason");
    const QString noAddress = "full address such as \"http://192.168.1.10/\"";
    const QString notWeb = "must start with \"http://\" or \"https://\"";
    const QString query = "must not have a query";
    const QString fragment = "must not have a fragment";
    QTest::newRow("empty") << QString() << noAddress;
    QTest::newRow("blanks") << "   " << noAddress;
    QTest::newRow("no scheme") << "192.168.1.10/" << noAddress;
    QTest::newRow("words") << "my server" << noAddress;
    QTest::newRow("http without host") << "http://" << noAddress;
    QTest::newRow("https without host") << "https:///x/" << noAddress;
    QTest::newRow("ftp") << "ftp://x" << notWeb;
    QTest::newRow("javascript") << "javascript:alert(1)" << notWeb;
    QTest::newRow("file") << "file:///srv/" << notWeb;
    QTest::newRow("mailto") << "mailto:me@example.org" << notWeb;
    QTest::newRow("query") << "http://h/x?a=1" << query;
    QTest::newRow("bare question mark") << "http://h/x?" << query;
    QTest::newRow("query before a fragment") << "https://h/?a#b" << query;
    QTest::newRow("fragment") << "http://h/x#frag" << fragment;
    QTest::newRow("bare hash") << "http://h/x/#" << fragment;
    QTest::newRow("fragment after user information") << "http://user:pw@host/#top" << fragment;
    // Checked before trimming, which would hide them at either end; each of these is otherwise
    // a full address.
    const QString control = "contains a control character";
    QTest::newRow("newline at the end") << "http://h/pod/\n" << control;
    QTest::newRow("carriage return at the end") << "http://h/pod/\r" << control;
    QTest::newRow("newline at the start") << "\nhttp://h/pod/" << control;
    QTest::newRow("line break inside") << "http://h/pod/\r\nInputDir=/etc" << control;
    QTest::newRow("tab inside") << "http://h/po\td/" << control;
    QTest::newRow("tab at the end") << "http://h/pod/\t" << control;
    QTest::newRow("delete character") << "http://h/pod\x7f/" << control;
    QTest::newRow("start of heading") << "http://h/\x01pod/" << control;
    QTest::newRow("control character beside a query") << "http://h/x?\x1f" << control;
}

void TestFeedText::refusesBaseUrlThatGivesNoPlayableLink()
{
    QFETCH(QString, typed);
    QFETCH(QString, reason);
    const yf::Result<yf::BaseUrl> base = yf::parseBaseUrl(typed);
    QVERIFY(!base.ok());
    QCOMPARE(base.error().kind, yf::ErrorKind::BadInput);
    QCOMPARE(base.error().path, typed);
    const QString said = base.error().message();
    QVERIFY2(said.startsWith("Cannot use the base URL"), qPrintable(said));
    QVERIFY2(said.contains(reason), qPrintable(said));
    // One reason per case: no other rule's words.
    for (const QString &other : {QStringLiteral("full address"), QStringLiteral("must start with"),
                                 QStringLiteral("query"), QStringLiteral("fragment"), QStringLiteral("control")}) {
        if (!reason.contains(other))
            QVERIFY2(!base.error().reason.contains(other), qPrintable(said));
    }
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
    QTest::addColumn<QByteArray>("linkEntry");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("input directory") << QByteArray("/srv/Audio") << QByteArray("/srv/");
    QTest::newRow("top-level folder") << QByteArray("/srv") << QByteArray("/");
    QTest::newRow("root") << QByteArray("/") << QByteArray("/");
    QTest::newRow("sub-folder as link entry") << QByteArray("/srv/Audio/Talks") << QByteArray("/srv/Audio/");
}

void TestFeedText::findsLinkRoot()
{
    QFETCH(QByteArray, linkEntry);
    QFETCH(QByteArray, expected);
    QCOMPARE(linkRoot(linkEntry), expected);
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
        {"a.MoV", "video/quicktime"}, {"a.pdf", "application/pdf"}, {"notes.txt", "text/plain"},
        {"cover.jpg", "image/jpeg"}, {"COVER.JPG", "image/jpeg"}, {"cover.png", "image/png"},
        {"no extension", "audio/mpeg"}, {"trailing.", "audio/mpeg"}, {"mp3", "audio/mpeg"},
        {"x.mp3.txt", "text/plain"},  {"x.txt.ogg", "audio/ogg"}, {"unknown.zzqx", "audio/mpeg"},
        {"Makefile", "audio/mpeg"},
    };
    for (const auto &[name, type] : table)
        QTest::newRow(name) << QByteArray(name) << QByteArray(type);
}

void TestFeedText::choosesTypeByExtension()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, type);
    yf::MediaTypes types;
    QCOMPARE(types.typeOf(name).toByteArray(), type);
    QCOMPARE(types.typeOf(name).toByteArray(), type);  // the second time from what was kept
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
    QTest::newRow("before the epoch") << QByteArray("UTC") << qint64(-31536000 + 3723)
                                      << QByteArray("Wed, 1 Jan 1969 01:02:03 +0000");
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

void TestFeedText::agreesWithTheLibraryAroundZoneChanges_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("around");
    QTest::newRow("New York, clocks forward") << QByteArray("America/New_York") << qint64(1772953200);
    QTest::newRow("New York, clocks back") << QByteArray("America/New_York") << qint64(1793512800);
    QTest::newRow("Lord Howe, half an hour back") << QByteArray("Australia/Lord_Howe") << qint64(1775314800);
    QTest::newRow("Adelaide, a change in the middle of an hour") << QByteArray("Australia/Adelaide")
                                                                 << qint64(1775320200);
    QTest::newRow("Dublin, winter time below standard") << QByteArray("Europe/Dublin") << qint64(1792890000);
    QTest::newRow("Kathmandu, a quarter-hour zone") << QByteArray("Asia/Kathmandu") << qint64(1772953200);
    QTest::newRow("a zone counting leap seconds") << QByteArray("right/UTC") << qint64(1483225200);
    QTest::newRow("the epoch's eve") << QByteArray("America/New_York") << qint64(-43200);
    QTest::newRow("2100, no leap day") << QByteArray("Asia/Kolkata") << qint64(4107499200);
    QTest::newRow("2400, a leap day") << QByteArray("UTC") << qint64(13574606400);
}

// Every date over two days around a moment, one a minute and a second apart, against the C
// library's own local time: the hours that change offset, and those that do not.
void TestFeedText::agreesWithTheLibraryAroundZoneChanges()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, around);
    setZone(zone.constData());
    static constexpr char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    yf::DateText dates;
    for (qint64 secs = around - 86400; secs <= around + 86400; secs += 61) {
        const auto t = static_cast<std::time_t>(secs);
        std::tm local{};
        QVERIFY(::localtime_r(&t, &local));
        const long minutes = local.tm_gmtoff / 60;
        char expected[64];
        std::snprintf(expected, sizeof expected,
            "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[local.tm_wday], local.tm_mday,
            months[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
            minutes < 0 ? '-' : '+', std::labs(minutes) / 60, std::labs(minutes) % 60);
        QCOMPARE(dates.format(secs), QByteArray(expected));
    }
    // Backwards too, with the seconds in the hour falling.
    for (qint64 secs = around + 7200; secs >= around - 7200; secs -= 59) {
        const auto t = static_cast<std::time_t>(secs);
        std::tm local{};
        QVERIFY(::localtime_r(&t, &local));
        char expected[16];
        std::snprintf(expected, sizeof expected, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
        QCOMPARE(dates.format(secs).right(14).left(8), QByteArray(expected));
    }
}

void TestFeedText::cleanupTestCase()
{
    qunsetenv("TZ");
    ::tzset();
}

QTEST_GUILESS_MAIN(TestFeedText)
#include "tst_feed_text.moc"
