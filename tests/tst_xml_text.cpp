// XML escaping, link encoding and the buffer a feed's text is written into.
#include "fast/xml_text.h"

#include <QtTest>

#include <limits>

using namespace yf::fast;

class TestXmlText : public QObject {
    Q_OBJECT
private slots:
    void escapesXml_data();
    void escapesXml();
    void encodesLinkPaths_data();
    void encodesLinkPaths();
    void writesPiecesThroughGrowth_data();
    void writesPiecesThroughGrowth();
    void writesNumbers_data();
    void writesNumbers();
    void keepsCapacityFromUseToUse();
};

void TestXmlText::escapesXml_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("attribute");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ampersand") << QByteArray("Rock & Roll.mp3") << false << QByteArray("Rock &amp; Roll.mp3");
    QTest::newRow("angle brackets") << QByteArray("<b>.mp3") << false << QByteArray("&lt;b&gt;.mp3");
    QTest::newRow("quote kept in text") << QByteArray("say \"hi\"") << false << QByteArray("say \"hi\"");
    QTest::newRow("quote escaped in attribute") << QByteArray("say \"hi\"") << true << QByteArray("say &quot;hi&quot;");
    QTest::newRow("apostrophe untouched") << QByteArray("it's") << true << QByteArray("it's");
    QTest::newRow("tab and LF kept, CR as a reference") << QByteArray("a\tb\nc\rd") << false
                                                        << QByteArray("a\tb\nc&#13;d");
    QTest::newRow("other controls replaced") << QByteArray("a\x01" "b\x1f" "c") << false
                                             << QByteArray("a&#xFFFD;b&#xFFFD;c");
    QTest::newRow("non-ASCII as references") << QByteArray("caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xB5") << false
                                             << QByteArray("caf&#xE9; &#x65E5; &#x1F3B5;");
    QTest::newRow("two-byte range ends") << QByteArray("\xC2\x80\xDF\xBF") << false << QByteArray("&#x80;&#x7FF;");
    QTest::newRow("references in attributes") << QByteArray("\xC3\xA9\"") << true << QByteArray("&#xE9;&quot;");
    QTest::newRow("DEL is plain ASCII") << QByteArray("a\x7F") << false << QByteArray("a\x7F");
    QTest::newRow("stray byte replaced") << QByteArray("a\xFF" "b") << false << QByteArray("a&#xFFFD;b");
    QTest::newRow("Latin-1 name replaced") << QByteArray("caf\xE9.mp3") << false << QByteArray("caf&#xFFFD;.mp3");
    QTest::newRow("cut sequence at end") << QByteArray("a\xE6\x97") << false << QByteArray("a&#xFFFD;&#xFFFD;");
    QTest::newRow("overlong form") << QByteArray("\xC0\xAF") << false << QByteArray("&#xFFFD;&#xFFFD;");
    QTest::newRow("encoded surrogate") << QByteArray("\xED\xA0\x80") << false
                                       << QByteArray("&#xFFFD;&#xFFFD;&#xFFFD;");
    QTest::newRow("noncharacter U+FFFF") << QByteArray("\xEF\xBF\xBF") << false
                                         << QByteArray("&#xFFFD;&#xFFFD;&#xFFFD;");
    QTest::newRow("four-byte range ends") << QByteArray("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF") << false
                                          << QByteArray("&#x10000;&#x10FFFF;");
    QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false
                                   << QByteArray("&#xFFFD;").repeated(4);
    QTest::newRow("empty") << QByteArray() << true << QByteArray();
    QTest::newRow("all markup") << QByteArray("&<>\"") << true << QByteArray("&amp;&lt;&gt;&quot;");
    QTest::newRow("worst growth: every byte stray") << QByteArray(64, '\x80') << true
                                                    << QByteArray("&#xFFFD;").repeated(64);
}

void TestXmlText::escapesXml()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, attribute);
    QFETCH(QByteArray, expected);
    const QByteArray written = xml(input, attribute);
    QCOMPARE(written, expected);
    for (const char c : written)
        QVERIFY2(static_cast<unsigned char>(c) < 0x80, "every feed byte is ASCII");
    QByteArray buffered;
    {
        XmlOut out(buffered);
        const XmlOut::Piece piece = out.putXml(input, attribute);
        QCOMPARE(piece.at, qsizetype(0));
        QCOMPARE(piece.length, expected.size());
    }
    QCOMPARE(buffered, expected);
}

void TestXmlText::encodesLinkPaths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("blanks") << QByteArray("Audio/Talk Show/Ep 1.mp3") << QByteArray("Audio/Talk%20Show/Ep%201.mp3");
    QTest::newRow("sub-delimiters kept but ;") << QByteArray("Rock & Roll;+,=!$'()*:@.mp3")
                                               << QByteArray("Rock%20&%20Roll%3B+,=!$'()*:@.mp3");
    QTest::newRow("name a client would cut at ;") << QByteArray("C++ ; A+B=C.flac")
                                                  << QByteArray("C++%20%3B%20A+B=C.flac");
    QTest::newRow("percent, hash, question") << QByteArray("100% #1?.mp3") << QByteArray("100%25%20%231%3F.mp3");
    QTest::newRow("quote and angles") << QByteArray("\"<>\".mp3") << QByteArray("%22%3C%3E%22.mp3");
    QTest::newRow("non-ASCII as UTF-8 bytes") << QByteArray("\xC3\xA9t\xC3\xA9") << QByteArray("%C3%A9t%C3%A9");
    QTest::newRow("invalid bytes kept as bytes") << QByteArray("caf\xE9") << QByteArray("caf%E9");
    QTest::newRow("controls") << QByteArray("a\nb\x7f") << QByteArray("a%0Ab%7F");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("every byte encoded at worst") << QByteArray(40, ' ') << QByteArray("%20").repeated(40);
    QTest::newRow("high bytes") << QByteArray("\x80\xFF") << QByteArray("%80%FF");
    QTest::newRow("unreserved kept") << QByteArray("Az09-._~/") << QByteArray("Az09-._~/");
}

void TestXmlText::encodesLinkPaths()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, expected);
    QCOMPARE(encodeLinkPath(path), expected);
    // In a feed the same link has its "&" escaped, and nothing else changes.
    QByteArray buffered;
    {
        XmlOut out(buffered);
        out.putLinkPath(path);
    }
    QCOMPARE(buffered, QByteArray(expected).replace("&", "&amp;"));
}

// A feed is one buffer written piece by piece; a piece written once (a title, a link) is
// repeated later. Whatever the buffer had to grow by in between, the bytes must come out
// as if each piece were appended to a plain array.
void TestXmlText::writesPiecesThroughGrowth_data()
{
    QTest::addColumn<qsizetype>("startCapacity");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("from nothing, short name") << qsizetype(0) << QByteArray("Ep 1.mp3");
    QTest::newRow("from nothing, name that grows eightfold") << qsizetype(0) << QByteArray(300, '\x80');
    QTest::newRow("little room, markup name") << qsizetype(16) << QByteArray("Rock & Roll <live>.mp3");
    QTest::newRow("room to spare") << qsizetype(1 << 16) << QByteArray("caf\xC3\xA9 \xF0\x9F\x8E\xB5.ogg");
    QTest::newRow("long name of blanks") << qsizetype(64) << QByteArray(1000, ' ');
}

void TestXmlText::writesPiecesThroughGrowth()
{
    QFETCH(qsizetype, startCapacity);
    QFETCH(QByteArray, name);
    QByteArray bytes;
    bytes.reserve(startCapacity);
    QByteArray expected;
    {
        XmlOut out(bytes);
        for (int round = 0; round < 50; ++round) {
            out.put("<title>");
            const XmlOut::Piece title = out.putXml(name, round % 2 == 1);
            out.put("</title><link>");
            const qsizetype linkAt = out.size();
            out.put(QByteArray("http://h/a&b/"));
            out.putLinkPath(name);
            const XmlOut::Piece link = out.since(linkAt);
            out.put("</link>");
            out.put(link);
            out.putNumber(round);
            out.put(title);

            const QByteArray titleText = xml(name, round % 2 == 1);
            const QByteArray linkText = "http://h/a&b/" + encodeLinkPath(name).replace("&", "&amp;");
            expected += "<title>" + titleText + "</title><link>" + linkText + "</link>" + linkText
                      + QByteArray::number(round) + titleText;
            QCOMPARE(title.length, titleText.size());
            QCOMPARE(link.length, linkText.size());
        }
    }
    QCOMPARE(bytes, expected);
}

void TestXmlText::writesNumbers_data()
{
    QTest::addColumn<qint64>("value");
    QTest::newRow("zero") << qint64(0);
    QTest::newRow("a file's size") << qint64(123456789);
    QTest::newRow("largest") << std::numeric_limits<qint64>::max();
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min();
}

void TestXmlText::writesNumbers()
{
    QFETCH(qint64, value);
    QByteArray bytes;
    {
        XmlOut out(bytes);
        out.put("length=\"");
        out.putNumber(value);
        out.put("\"");
    }
    QCOMPARE(bytes, "length=\"" + QByteArray::number(value) + "\"");
}

// One buffer serves feed after feed: a shorter text after a longer one leaves nothing of
// the longer behind, and the room already had is used again.
void TestXmlText::keepsCapacityFromUseToUse()
{
    QByteArray bytes;
    {
        XmlOut out(bytes);
        out.putXml(QByteArray(5000, 'x'));
    }
    QCOMPARE(bytes.size(), qsizetype(5000));
    const qsizetype capacity = bytes.capacity();
    const char *storage = bytes.constData();
    {
        XmlOut out(bytes);
        out.put("<a>");
        out.putXml("b&c");
        out.finish();
        QCOMPARE(bytes, QByteArray("<a>b&amp;c"));
    }
    QCOMPARE(bytes, QByteArray("<a>b&amp;c"));  // finishing twice changes nothing
    QCOMPARE(bytes.capacity(), capacity);
    QCOMPARE(bytes.constData(), storage);
}

QTEST_GUILESS_MAIN(TestXmlText)
#include "tst_xml_text.moc"
