// The index page's and OPML file's text: names stay text, the order, the empty feeds, the addresses.
#include "generate/feed_index.h"

#include <QRegularExpression>
#include <QXmlStreamReader>
#include <QtTest>

using yf::IndexEntry;

namespace {

using Entries = std::vector<IndexEntry>;

constexpr qint64 kMay2024 = 1714564800;  // 2024-05-01 12:00 UTC

IndexEntry entry(const QByteArray &title, qsizetype episodes = 1)
{
    return IndexEntry{title + ".xml", title, episodes, episodes > 0 ? kMay2024 : 0};
}

// The titles in the order the page lists them, as the page writes them.
QList<QByteArray> listedTitles(const QByteArray &page)
{
    static const QRegularExpression link(R"re(<li[^>]*><a href="[^"]*">([^<]*)</a>)re");
    QList<QByteArray> titles;
    for (const QRegularExpressionMatch &m : link.globalMatch(QString::fromLatin1(page)))
        titles << m.captured(1).toLatin1();
    return titles;
}

// What an HTML writer must hold to: ASCII only, no markup character, every "&" an entity
// the page means, and no character that is no character or a control.
bool isSafeHtmlText(const QByteArray &text)
{
    static const QRegularExpression entity(R"re(^&(amp|lt|gt|quot|#39|#x[0-9A-F]+);)re");
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x7F || (c < 0x20 && c != '\t' && c != '\n') || c == '<' || c == '>' || c == '"' || c == '\'')
            return false;
        if (c == '&' && !entity.match(QString::fromLatin1(text.mid(i, 12))).hasMatch())
            return false;
    }
    return true;
}

struct Outline {
    QString text;
    QString xmlUrl;
};

// The outlines of an OPML text; empty with `wellFormed` false when the XML is not.
QList<Outline> outlines(const QByteArray &opml, bool &wellFormed)
{
    QXmlStreamReader reader(opml);
    QList<Outline> found;
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == QLatin1String("outline"))
            found << Outline{reader.attributes().value("text").toString(), reader.attributes().value("xmlUrl").toString()};
    }
    wellFormed = !reader.hasError();
    return found;
}

} // namespace

class TestFeedIndex : public QObject {
    Q_OBJECT

private slots:
    void namesAreText_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("plain") << QByteArray("-Talks-") << QByteArray("-Talks-");
        QTest::newRow("markup") << QByteArray("<img src=x onerror=alert(1)>")
                                << QByteArray("&lt;img src=x onerror=alert(1)&gt;");
        QTest::newRow("ampersand and both quotes") << QByteArray("A & B \"quoted\" 'single'")
                                                   << QByteArray("A &amp; B &quot;quoted&quot; &#39;single&#39;");
        QTest::newRow("an entity stays its letters") << QByteArray("&amp;") << QByteArray("&amp;amp;");
        QTest::newRow("accented") << QByteArray("Caf\xC3\xA9") << QByteArray("Caf&#xE9;");
        QTest::newRow("beyond the basic plane") << QByteArray("\xF0\x9F\x8E\xA7") << QByteArray("&#x1F3A7;");
        QTest::newRow("not UTF-8") << QByteArray("a\xFFz") << QByteArray("a&#xFFFD;z");
        QTest::newRow("cut short sequence") << QByteArray("a\xC3") << QByteArray("a&#xFFFD;");
        QTest::newRow("tab and line feed stay") << QByteArray("a\tb\nc") << QByteArray("a\tb\nc");
        QTest::newRow("carriage return and other controls") << QByteArray("a\rb\x01" "c\x7F") << QByteArray("a&#xFFFD;b&#xFFFD;c&#xFFFD;");
        QTest::newRow("C1 control, which HTML would read as another character")
            << QByteArray("\xC2\x85") << QByteArray("&#xFFFD;");
        QTest::newRow("non-characters") << QByteArray("\xEF\xB7\x90\xEF\xBF\xBE") << QByteArray("&#xFFFD;&#xFFFD;");
    }
    void namesAreText()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, expected);
        QCOMPARE(yf::htmlText(name), expected);
    }

    // Every byte, and every pair of bytes, in a name comes out as text that cannot open markup.
    void everyByteStaysText()
    {
        for (int first = 1; first < 256; ++first) {
            for (int second = 0; second < 256; ++second) {
                const char pair[] = {static_cast<char>(first), static_cast<char>(second)};
                const QByteArray text = yf::htmlText(QByteArrayView(pair, second == 0 ? 1 : 2));
                QVERIFY2(isSafeHtmlText(text), qPrintable(QString("%1 %2 -> %3").arg(first).arg(second)
                                                              .arg(QString::fromLatin1(text))));
            }
        }
    }

    void pageOrder_data()
    {
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::newRow("numbers by value, letters without case")
            << Entries{entry("Chapter 10"), entry("chapter 2"), entry("Chapter 1"), entry("beta"), entry("Alpha")}
            << QList<QByteArray>{"Alpha", "beta", "Chapter 1", "chapter 2", "Chapter 10"};
        QTest::newRow("empty feeds after the others, in order among themselves")
            << Entries{entry("Zed"), entry("B", 0), entry("Anchor", 0), entry("Middle")}
            << QList<QByteArray>{"Middle", "Zed", "Anchor", "B"};
        QTest::newRow("escaped titles order by their own bytes")
            << Entries{entry("<b>"), entry("A & B"), entry("\xC3\xA9t\xC3\xA9")}
            << QList<QByteArray>{"&lt;b&gt;", "A &amp; B", "&#xE9;t&#xE9;"};
        QTest::newRow("none") << Entries{} << QList<QByteArray>{};
    }
    void pageOrder()
    {
        QFETCH(Entries, entries);
        QFETCH(QList<QByteArray>, expected);
        const QByteArray page = yf::indexPageText(entries, true);
        QCOMPARE(listedTitles(page), expected);
        // The run's order of making feeds does not matter: the same bytes either way.
        std::reverse(entries.begin(), entries.end());
        QCOMPARE(yf::indexPageText(entries, true), page);
    }

    void entriesSayWhatTheFeedHolds()
    {
        const QByteArray page = yf::indexPageText(
            {entry("One"), IndexEntry{"-Many-.xml", "-Many-", 12, kMay2024 + 86400 * 40}, entry("Nothing", 0),
             IndexEntry{"-Guns N' Roses-.xml", "-Guns N' Roses-", 2, kMay2024}},
            true);
        QVERIFY(page.contains("<li><a href=\"./-Many-.xml\">-Many-</a> <span class=\"facts\">12 episodes, newest 2024-06-10"));
        QVERIFY(page.contains("<li><a href=\"./One.xml\">One</a> <span class=\"facts\">1 episode, newest 2024-05-01"));
        QVERIFY(page.contains("<li class=\"empty\"><a href=\"./Nothing.xml\">Nothing</a> <span class=\"facts\">Empty: no episodes yet"));
        // The link is percent-encoded as the feeds' links are, the apostrophe then made text.
        QVERIFY(page.contains("<a href=\"./-Guns%20N&#39;%20Roses-.xml\">-Guns N&#39; Roses-</a>"));
        QCOMPARE(page.count("class=\"empty\""), 1);
    }

    // The newest episode's day in UTC, whatever side of midnight, century or leap day it is on.
    void newestDateIsTheUtcDay_data()
    {
        QTest::addColumn<qint64>("secs");
        QTest::newRow("the epoch") << qint64(0);
        QTest::newRow("a second before the epoch") << qint64(-1);
        QTest::newRow("a day and a second before the epoch") << qint64(-86401);
        QTest::newRow("leap day 2000, last second") << qint64(951868799);
        QTest::newRow("1 March 2100, no leap year") << qint64(4107542400);
        QTest::newRow("31 December 1969 noon") << qint64(-43200);
        QTest::newRow("year 1601") << qint64(-11644473600);
        QTest::newRow("year 9999, last day") << qint64(253402300799);
        QTest::newRow("beyond four-digit years") << qint64(253402300800);
    }
    void newestDateIsTheUtcDay()
    {
        QFETCH(qint64, secs);
        const QByteArray page = yf::indexPageText({IndexEntry{"A.xml", "A", 3, secs}}, true);
        const QByteArray day =
            QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc()).toString("yyyy-MM-dd").toLatin1();
        QVERIFY2(page.contains("3 episodes, newest " + day + "</span>"), day.constData());
    }

    // A page for phones that needs nothing from elsewhere, is ASCII, and knows itself again.
    void pageStandsAlone_data()
    {
        QTest::addColumn<bool>("opmlWritten");
        QTest::newRow("beside an OPML file") << true;
        QTest::newRow("no OPML file: built in the browser") << false;
    }
    void pageStandsAlone()
    {
        QFETCH(bool, opmlWritten);
        const QByteArray page = yf::indexPageText({entry("\xC3\xA9<x>"), entry("B", 0)}, opmlWritten);
        QVERIFY(page.startsWith("<!DOCTYPE html>\n"));
        QVERIFY(page.contains("<html lang=\"en\">"));
        QVERIFY(page.contains("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"));
        QVERIFY(page.contains("<meta charset=\"utf-8\">"));
        for (const char *outside : {"src=", "<link", "@import", "url(", "http:", "https:", "\"//"})
            QVERIFY2(!page.contains(outside), outside);
        for (const char c : page)
            QVERIFY(static_cast<unsigned char>(c) < 0x80);
        QCOMPARE(page.contains("<a href=\"feeds.opml\" download>"), opmlWritten);
        QCOMPARE(page.contains("<p id=\"opml\"></p>"), !opmlWritten);
        QVERIFY(page.contains("Copy address"));
        QVERIFY(yf::isOwnIndexText(page));
        QVERIFY(!yf::isOwnIndexText("<!DOCTYPE html>\n<html lang=\"en\"><title>My own</title>"));
    }

    void opmlAddresses_data()
    {
        QTest::addColumn<QByteArray>("fileName");
        QTest::addColumn<QByteArray>("feedsAddress");
        QTest::addColumn<QString>("xmlUrl");
        QTest::newRow("plain") << QByteArray("-Talks-.xml") << QByteArray("http://h/media/feeds/")
                               << "http://h/media/feeds/-Talks-.xml";
        QTest::newRow("blanks and apostrophe")
            << QByteArray("-Guns N' Roses-Appetite for Destruction-.xml") << QByteArray("http://127.0.0.1:8087/media/feeds/")
            << "http://127.0.0.1:8087/media/feeds/-Guns%20N'%20Roses-Appetite%20for%20Destruction-.xml";
        QTest::newRow("ampersand, quote, markup, accents")
            << QByteArray("-A & B \"q\" <i> \xC3\xA9-.xml") << QByteArray("http://h/")
            << "http://h/-A%20&%20B%20%22q%22%20%3Ci%3E%20%C3%A9-.xml";
        QTest::newRow("percent and hash") << QByteArray("-100% #1?-.xml") << QByteArray("http://h/f/")
                                          << "http://h/f/-100%25%20%231%3F-.xml";
    }
    void opmlAddresses()
    {
        QFETCH(QByteArray, fileName);
        QFETCH(QByteArray, feedsAddress);
        QFETCH(QString, xmlUrl);
        const QByteArray title = fileName.chopped(4);
        const QByteArray opml = yf::opmlText({IndexEntry{fileName, title, 1, kMay2024}, entry("Second", 0)}, feedsAddress);
        QVERIFY(opml.contains("<opml version=\"2.0\">\n<head>\n<title>"));
        QVERIFY(yf::isOwnIndexText(opml));
        bool wellFormed = false;
        const QList<Outline> found = outlines(opml, wellFormed);
        QVERIFY(wellFormed);
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[0].text, QString::fromUtf8(title));
        QCOMPARE(found[0].xmlUrl, xmlUrl);
        QCOMPARE(found[1].xmlUrl, QString::fromLatin1(feedsAddress + "Second.xml"));  // empty feeds too, last
        QVERIFY(opml.contains("type=\"rss\""));
    }

    void feedsAddress_data()
    {
        QTest::addColumn<QByteArray>("linkEntry");
        QTest::addColumn<QByteArray>("outputPath");
        QTest::addColumn<QByteArray>("expected");  // "none" when no address is known
        QTest::newRow("beside the input") << QByteArray("/srv/media/in") << QByteArray("/srv/media/feeds")
                                          << QByteArray("http://h/pub/feeds/");
        QTest::newRow("deeper, blanks and accents encoded")
            << QByteArray("/srv/media/in") << QByteArray("/srv/media/in/my feeds/\xC3\xA9t\xC3\xA9/")
            << QByteArray("http://h/pub/in/my%20feeds/%C3%A9t%C3%A9/");
        QTest::newRow("the link root itself") << QByteArray("/srv/media/in") << QByteArray("/srv/media")
                                              << QByteArray("http://h/pub/");
        QTest::newRow("elsewhere") << QByteArray("/srv/media/in") << QByteArray("/var/www/feeds") << QByteArray("none");
        QTest::newRow("a name that only starts the same")
            << QByteArray("/srv/media/in") << QByteArray("/srv/mediafeeds") << QByteArray("none");
        QTest::newRow("link root is the file system's root") << QByteArray("/in") << QByteArray("/out")
                                                             << QByteArray("http://h/pub/out/");
    }
    void feedsAddress()
    {
        QFETCH(QByteArray, linkEntry);
        QFETCH(QByteArray, outputPath);
        QFETCH(QByteArray, expected);
        const yf::BaseUrl base{"http://h/pub", "http://h/pub/"};
        const std::optional<QByteArray> address = yf::feedsAddress(base, linkEntry, outputPath);
        QCOMPARE(address.value_or("none"), expected);
    }
};

QTEST_GUILESS_MAIN(TestFeedIndex)
#include "tst_feed_index.moc"
