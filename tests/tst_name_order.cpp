// The order of names in a listing: case-blind, ties by bytes, word-at-a-time and byte by byte alike.
#include "fast/name_order.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>

using yf::fast::NameOrder;
using yf::fast::nameLess;

namespace {

// The order spelled out the slow way: the folded text decides, then the bytes.
bool modelLess(const QByteArray &a, const QByteArray &b)
{
    const int c = QString::fromUtf8(a).toCaseFolded().compare(QString::fromUtf8(b).toCaseFolded());
    return c != 0 ? c < 0 : a < b;
}

QByteArray describe(const QByteArray &a, const QByteArray &b)
{
    return a.toHex(' ') + " vs " + b.toHex(' ');
}

} // namespace

class TestNameOrder : public QObject {
    Q_OBJECT
private slots:
    void ordersPairs_data();
    void ordersPairs();
    void caseAloneNeverDecidesBeforeTheBytes_data();
    void caseAloneNeverDecidesBeforeTheBytes();
    void agreesWithFoldedTextNextToTheLetters();
    void sortsBinaryNamesAsTheFoldedText();
};

void TestNameOrder::ordersPairs_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    // `first` goes strictly before `second`.
    QTest::newRow("letters without regard to case") << QByteArray("apple") << QByteArray("Banana");
    QTest::newRow("same letters: upper case first by bytes") << QByteArray("Ep") << QByteArray("ep");
    QTest::newRow("prefix first") << QByteArray("Ep") << QByteArray("ep 1");
    QTest::newRow("'[' before a letter, though after 'Z' as a byte") << QByteArray("[x]") << QByteArray("Abc");
    QTest::newRow("'@' before 'A'") << QByteArray("@home") << QByteArray("Ahome");
    QTest::newRow("'`' before 'a'") << QByteArray("`tick") << QByteArray("Atick");
    QTest::newRow("'{' after 'z' and 'Z'") << QByteArray("Zulu") << QByteArray("{brace}");
    QTest::newRow("long names: case ahead, letter behind")
        << QByteArray("abcdefghijklmnoa") << QByteArray("ABCDEFGHIJKLMNOZ");
    QTest::newRow("long names: '[' against 'Z' in the second word")
        << QByteArray("Episode [1] ab") << QByteArray("episode Z1] ab");
    QTest::newRow("long names: '@' against 'a' in the first word")
        << QByteArray("Episode@Twelve") << QByteArray("EPISODEaTwelve");
    QTest::newRow("long names: equal words, shorter first")
        << QByteArray("EPISODE NUMBER 1") << QByteArray("episode number 10");
    QTest::newRow("long names: only the last byte differs by case")
        << QByteArray("episode number 1X") << QByteArray("episode number 1x");
    QTest::newRow("ASCII before accented letter") << QByteArray("episode number f") << QByteArray("Episode number \xC3\xA9");
    QTest::newRow("accent folded: lower and upper meet") << QByteArray("Episode Number \xC3\x89t\xC3\xA9")
                                                          << QByteArray("episode number \xC3\xA9t\xC3\xA9s");
    QTest::newRow("Kelvin sign folds to k, ties by bytes") << QByteArray("weekly episode k") << QByteArray("weekly episode \xE2\x84\xAA");
    QTest::newRow("Kelvin sign before l") << QByteArray("weekly episode \xE2\x84\xAA") << QByteArray("weekly episode l");
    QTest::newRow("sharp s as ss") << QByteArray("strasse 1") << QByteArray("stra\xC3\x9F" "e 2");
    QTest::newRow("stray byte after the letters") << QByteArray("show notes zzzzz") << QByteArray("show notes \xFF");
    QTest::newRow("stray byte against U+FFFD itself, ties by bytes")
        << QByteArray("show notes \xEF\xBF\xBD") << QByteArray("show notes \xFF");
    QTest::newRow("control bytes by value") << QByteArray("a\x01" "bcdefghij") << QByteArray("A\x02" "bcdefghij");
}

void TestNameOrder::ordersPairs()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QVERIFY2(modelLess(first, second), "the table row itself is in order");
    QVERIFY(nameLess(first, second));
    QVERIFY(!nameLess(second, first));
    QVERIFY(!nameLess(first, first));
    // The same with the folded forms kept, made in either order.
    NameOrder order;
    NameOrder::KeySlot a = NameOrder::kNoKey, b = NameOrder::kNoKey;
    QVERIFY(!order.less(second, b, first, a));
    QVERIFY(order.less(first, a, second, b));
}

// Names of 8 bytes and more that differ only in case at one position: equal when folded, so
// the bytes decide (upper case first), however far the next difference lies.
void TestNameOrder::caseAloneNeverDecidesBeforeTheBytes_data()
{
    QTest::addColumn<int>("length");
    for (const int length : {8, 9, 15, 16, 17, 24, 31})
        QTest::addRow("%d bytes", length) << length;
}

void TestNameOrder::caseAloneNeverDecidesBeforeTheBytes()
{
    QFETCH(int, length);
    const QByteArray lower = QByteArray("abcdefghijklmnopqrstuvwxyzabcdefgh").left(length);
    for (int at = 0; at < length; ++at) {
        QByteArray upper = lower;
        upper[at] = static_cast<char>(upper[at] - ('a' - 'A'));
        QVERIFY2(nameLess(upper, lower), describe(upper, lower).constData());
        QVERIFY2(!nameLess(lower, upper), describe(lower, upper).constData());
        // A real difference after the case difference wins: "...Cd...y" after "...cd...x".
        QByteArray later = upper;
        later[length - 1] = 'z';
        QByteArray earlier = lower;
        earlier[length - 1] = 'a';
        if (at != length - 1) {
            QVERIFY2(nameLess(earlier, later), describe(earlier, later).constData());
            QVERIFY2(!nameLess(later, earlier), describe(later, earlier).constData());
        }
    }
}

// The bytes just outside the letter ranges fold to themselves; a word-at-a-time fold that is
// off by one there puts them on the wrong side of the letters.
void TestNameOrder::agreesWithFoldedTextNextToTheLetters()
{
    const QByteArray edges("@AZ[`az{_^\x7F ");
    for (const int at : {0, 3, 7, 8, 13, 16, 20}) {
        for (const char x : edges) {
            for (const char y : edges) {
                QByteArray a = QByteArray("Episode Twelve Part Two").left(at + 4);
                QByteArray b = a;
                a[at] = x;
                b[at] = y;
                QVERIFY2(nameLess(a, b) == modelLess(a, b), describe(a, b).constData());
            }
        }
    }
}

// Random names of any bytes but NUL (as a file system allows), many sharing a long start
// in mixed case so that both the word loop and the byte loop decide some comparisons.
void TestNameOrder::sortsBinaryNamesAsTheFoldedText()
{
    QRandomGenerator random(18);
    const QList<QByteArray> starts = {"", "Episode 0", "EPISODE 0", "episode 00", "\xC3\xA9pisode", "Ep\xFF"};
    QList<QByteArray> names;
    for (int k = 0; k < 600; ++k) {
        QByteArray name = starts[random.bounded(starts.size())];
        for (int n = random.bounded(1, 14); n > 0; --n) {
            const int kind = random.bounded(4);
            name += kind == 0 ? static_cast<char>(random.bounded(1, 256))
                  : kind == 1 ? static_cast<char>(random.bounded('A', 'Z' + 1))
                  : kind == 2 ? static_cast<char>(random.bounded('a', 'z' + 1))
                              : "@[`{"[random.bounded(4)];
        }
        if (!names.contains(name))
            names << name;
    }
    QList<QByteArray> expected = names;
    std::sort(expected.begin(), expected.end(), modelLess);

    NameOrder order;
    std::vector<NameOrder::KeySlot> keys(static_cast<std::size_t>(names.size()), NameOrder::kNoKey);
    std::vector<qsizetype> at(keys.size());
    for (std::size_t i = 0; i < at.size(); ++i)
        at[i] = static_cast<qsizetype>(i);
    std::sort(at.begin(), at.end(), [&](qsizetype a, qsizetype b) {
        return order.less(names[a], keys[static_cast<std::size_t>(a)], names[b], keys[static_cast<std::size_t>(b)]);
    });
    QList<QByteArray> sorted;
    for (const qsizetype i : at)
        sorted << names[i];
    QCOMPARE(sorted, expected);
}

QTEST_GUILESS_MAIN(TestNameOrder)
#include "tst_name_order.moc"
