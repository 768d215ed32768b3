// INI text rules: which line a key is, and that an edit changes no byte but its own.
#include "settings/ini_text.h"

#include <QtTest>

namespace ini = yf::ini;

class TestIniText : public QObject {
    Q_OBJECT
private slots:
    void editsOnlyItsOwnLine_data();
    void editsOnlyItsOwnLine();
    void readsFirstKeyOfFirstSection_data();
    void readsFirstKeyOfFirstSection();
    void removesOnlyTheKeysLines_data();
    void removesOnlyTheKeysLines();
    void tellsTextFromOtherBytes_data();
    void tellsTextFromOtherBytes();
};

void TestIniText::editsOnlyItsOwnLine_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("value only: spacing, case of the name and trailing blanks stay")
        << QByteArray("[restore]\r\ninputdir = /old  \r\n") << "InputDir" << "/new"
        << QByteArray("[restore]\r\ninputdir = /new  \r\n");
    QTest::newRow("byte-order mark, comments, duplicates, lines without '=', CR LF stay")
        << QByteArray("\xEF\xBB\xBF; settings\r\n[RESTORE]\r\nInputDir=/old\r\nInputDir=/dup\r\njust a line\r\n"
                      "# hash\r\nA = b\r\n\r\n[Other]\r\nInputDir=/other\r\n; trailing comment")
        << "InputDir" << "/new"
        << QByteArray("\xEF\xBB\xBF; settings\r\n[RESTORE]\r\nInputDir=/new\r\nInputDir=/dup\r\njust a line\r\n"
                      "# hash\r\nA = b\r\n\r\n[Other]\r\nInputDir=/other\r\n; trailing comment");
    QTest::newRow("new key after the section's last entry, with the file's CR LF")
        << QByteArray("[RESTORE]\r\nInputDir=/in\r\n\r\n; about Other\r\n[Other]\r\nX=1\r\n") << "OutputDir" << "/out"
        << QByteArray("[RESTORE]\r\nInputDir=/in\r\nOutputDir=/out\r\n\r\n; about Other\r\n[Other]\r\nX=1\r\n");
    QTest::newRow("new key after a last line without line end")
        << QByteArray("[RESTORE]\nInputDir=/in") << "OutputDir" << "/out"
        << QByteArray("[RESTORE]\nInputDir=/in\nOutputDir=/out");
    QTest::newRow("new key right after a header without entries")
        << QByteArray("[RESTORE]\n; a comment\n[Other]\n") << "OutputDir" << "/out"
        << QByteArray("[RESTORE]\nOutputDir=/out\n; a comment\n[Other]\n");
    QTest::newRow("new section at the end of a file without final line end")
        << QByteArray("[Other]\nX=1") << "OutputDir" << "/out"
        << QByteArray("[Other]\nX=1\n[RESTORE]\nOutputDir=/out\n");
    QTest::newRow("new section with the file's CR LF")
        << QByteArray("[Other]\r\nX=1\r\n") << "OutputDir" << "/out"
        << QByteArray("[Other]\r\nX=1\r\n[RESTORE]\r\nOutputDir=/out\r\n");
    QTest::newRow("empty file") << QByteArray() << "OutputDir" << "/out" << QByteArray("[RESTORE]\nOutputDir=/out\n");
    QTest::newRow("byte-order mark only")
        << QByteArray("\xEF\xBB\xBF") << "OutputDir" << "/out" << QByteArray("\xEF\xBB\xBF[RESTORE]\nOutputDir=/out\n");
    QTest::newRow("first of two sections of the name")
        << QByteArray("[RESTORE]\nX=1\n[RESTORE]\nOutputDir=/old\n") << "OutputDir" << "/out"
        << QByteArray("[RESTORE]\nX=1\nOutputDir=/out\n[RESTORE]\nOutputDir=/old\n");
    QTest::newRow("a key before any section is not the key")
        << QByteArray("OutputDir=/top\n[RESTORE]\n") << "OutputDir" << "/out"
        << QByteArray("OutputDir=/top\n[RESTORE]\nOutputDir=/out\n");
    QTest::newRow("a commented-out key is not the key")
        << QByteArray("[RESTORE]\n;OutputDir=/old\n") << "OutputDir" << "/out"
        << QByteArray("[RESTORE]\nOutputDir=/out\n;OutputDir=/old\n");
    QTest::newRow("empty value") << QByteArray("[RESTORE]\nOutputDir=\n") << "OutputDir" << "/out"
                                 << QByteArray("[RESTORE]\nOutputDir=/out\n");
    QTest::newRow("value with blanks at its ends is quoted")
        << QByteArray("[RESTORE]\nOutputDir=/old\n") << "OutputDir" << "  /x  "
        << QByteArray("[RESTORE]\nOutputDir=\"  /x  \"\n");
    QTest::newRow("a quoted value is replaced with its quotes")
        << QByteArray("[RESTORE]\nOutputDir=\"/old\" \n") << "OutputDir" << "/out"
        << QByteArray("[RESTORE]\nOutputDir=/out \n");
    QTest::newRow("header with blanks inside and around")
        << QByteArray("  [ Restore ]  \nOutputDir=/old\n") << "OutputDir" << "/out"
        << QByteArray("  [ Restore ]  \nOutputDir=/out\n");
}

void TestIniText::editsOnlyItsOwnLine()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    const QByteArray edited = ini::withValue(before, u"RESTORE", key, value);
    QCOMPARE(edited, after);
    // Reading follows the same rules, so what was written is what is read.
    QCOMPARE(ini::value(edited, u"RESTORE", key), std::optional<QString>(value));
    // Writing the same value again changes nothing.
    QCOMPARE(ini::withValue(edited, u"RESTORE", key, value), edited);
}

void TestIniText::readsFirstKeyOfFirstSection_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("value");

    QTest::newRow("first key of the first section")
        << QByteArray("[RESTORE]\nK=1\nK=2\n[RESTORE]\nK=3\n") << true << "1";
    QTest::newRow("a second section of the name is not read")
        << QByteArray("[RESTORE]\nA=1\n[RESTORE]\nK=3\n") << false << "";
    QTest::newRow("blanks around name and value") << QByteArray("[RESTORE]\n \tK  =  v a l \t\n") << true << "v a l";
    QTest::newRow("one pair of quotes comes off") << QByteArray("[RESTORE]\nK=\"  x  \"\n") << true << "  x  ";
    QTest::newRow("a lone quote stays") << QByteArray("[RESTORE]\nK=\"\n") << true << "\"";
    QTest::newRow("CR LF and byte-order mark") << QByteArray("\xEF\xBB\xBF[RESTORE]\r\nK=v\r\n") << true << "v";
    QTest::newRow("names in other case") << QByteArray("[rEsToRe]\nk=v\n") << true << "v";
    QTest::newRow("empty value is a value") << QByteArray("[RESTORE]\nK=\n") << true << "";
    QTest::newRow("'=' and ';' inside the value") << QByteArray("[RESTORE]\nK=a=b;c\n") << true << "a=b;c";
    QTest::newRow("commented keys") << QByteArray("[RESTORE]\n; K=v\n# K=w\n") << false << "";
    QTest::newRow("key before any section") << QByteArray("K=v\n[RESTORE]\n") << false << "";
    QTest::newRow("key in another section") << QByteArray("[Other]\nK=v\n[RESTORE]\n") << false << "";
    QTest::newRow("last line ends in a lone CR") << QByteArray("[RESTORE]\nK=v\r") << true << "v";
    QTest::newRow("header without ']' is no header") << QByteArray("[RESTORE\nK=v\n") << false << "";
    QTest::newRow("UTF-8 value") << QByteArray("[RESTORE]\nK=/H\xC3\xB6rb\xC3\xBC" "cher\n") << true
                                 << QString::fromUtf8("/H\xC3\xB6rb\xC3\xBC" "cher");
}

void TestIniText::readsFirstKeyOfFirstSection()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, found);
    QFETCH(QString, value);
    const std::optional<QString> read = ini::value(text, u"RESTORE", u"K");
    QCOMPARE(read.has_value(), found);
    if (found)
        QCOMPARE(*read, value);
}

void TestIniText::removesOnlyTheKeysLines_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("every line of the key in the first section, nothing else")
        << QByteArray("[RESTORE]\r\nBaseUrl=a\r\nX=1\r\nbaseurl = b\r\n[RESTORE]\r\nBaseUrl=c\r\n") << true
        << QByteArray("[RESTORE]\r\nX=1\r\n[RESTORE]\r\nBaseUrl=c\r\n");
    QTest::newRow("a last line without line end") << QByteArray("[RESTORE]\nX=1\nBaseUrl=a") << true
                                                   << QByteArray("[RESTORE]\nX=1\n");
    QTest::newRow("no such key") << QByteArray("[RESTORE]\nX=1\n") << false << QByteArray();
    QTest::newRow("only in another section") << QByteArray("[Other]\nBaseUrl=a\n") << false << QByteArray();
}

void TestIniText::removesOnlyTheKeysLines()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, changed);
    QFETCH(QByteArray, after);
    const std::optional<QByteArray> edited = ini::withoutKey(before, u"RESTORE", u"BaseUrl");
    QCOMPARE(edited.has_value(), changed);
    if (changed) {
        QCOMPARE(*edited, after);
        QVERIFY(!ini::value(*edited, u"RESTORE", u"BaseUrl").has_value());
    }
}

void TestIniText::tellsTextFromOtherBytes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("isText");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("byte-order mark and non-ASCII letters") << QByteArray("\xEF\xBB\xBF[R]\nK=\xE6\x97\xA5\n") << true;
    QTest::newRow("tabs, CR and form feed") << QByteArray("[R]\t\r\n\f") << true;
    QTest::newRow("a NUL byte") << QByteArray("[R]\nK=v\0rest", 12) << false;
    QTest::newRow("a byte that is never UTF-8") << QByteArray("[R]\nK=\xFF\n") << false;
    QTest::newRow("a cut-off sequence") << QByteArray("[R]\nK=\xE6\x97") << false;
    QTest::newRow("an overlong slash") << QByteArray("K=\xC0\xAF") << false;
    QTest::newRow("an encoded surrogate") << QByteArray("K=\xED\xA0\x80") << false;
}

void TestIniText::tellsTextFromOtherBytes()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, isText);
    QCOMPARE(ini::looksLikeIniText(text), isText);
}

QTEST_GUILESS_MAIN(TestIniText)
#include "tst_ini_text.moc"
