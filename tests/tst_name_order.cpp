// The order of names in a listing: numbers by value, case-blind, ties by bytes, word-at-a-time and byte by byte alike.
#include "fast/name_order.h"
#include "name_order_model.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>

using nameorder::modelLess;
using yf::fast::NameOrder;
using yf::fast::nameLess;

namespace {

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
    void ordersNumbersByValue_data();
    void ordersNumbersByValue();
    void staysAStrictWeakOrder();
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
            const int kind = random.bounded(5);
            name += kind == 0 ? static_cast<char>(random.bounded(1, 256))
                  : kind == 1 ? static_cast<char>(random.bounded('A', 'Z' + 1))
                  : kind == 2 ? static_cast<char>(random.bounded('a', 'z' + 1))
                  : kind == 3 ? "0019"[random.bounded(4)]
                              : "@[`{/:"[random.bounded(6)];
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

void TestNameOrder::ordersNumbersByValue_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    // `first` goes strictly before `second`.
    QTest::newRow("one digit before two") << QByteArray("Chapter 2.mp3") << QByteArray("Chapter 10.mp3");
    QTest::newRow("two digits before three") << QByteArray("Chapter 99.mp3") << QByteArray("Chapter 100.mp3");
    QTest::newRow("same length by digits") << QByteArray("Chapter 12.mp3") << QByteArray("Chapter 21.mp3");
    QTest::newRow("run found again after an equal word") << QByteArray("Episode 9 b") << QByteArray("Episode 10 a");
    QTest::newRow("equal start of a run, then longer") << QByteArray("Episode 1234567 x") << QByteArray("Episode 12345670");
    QTest::newRow("run against a letter: as characters") << QByteArray("Disc 1") << QByteArray("Disc A");
    QTest::newRow("run against a blank: as characters") << QByteArray("Disc .mp3") << QByteArray("Disc 1.mp3");
    QTest::newRow("a run that goes on is larger") << QByteArray("Disc 1a") << QByteArray("Disc 12");
    QTest::newRow("leading zeros: value first") << QByteArray("Track 002") << QByteArray("Track 10");
    QTest::newRow("leading zeros: same value, shorter first") << QByteArray("Track 1") << QByteArray("Track 01");
    QTest::newRow("leading zeros decide before what follows") << QByteArray("Track 1z") << QByteArray("Track 01a");
    QTest::newRow("zero against zeros") << QByteArray("0") << QByteArray("00");
    QTest::newRow("zeros against one") << QByteArray("0000") << QByteArray("1");
    QTest::newRow("equal runs, then the letters") << QByteArray("7 a") << QByteArray("07 a") ;
    QTest::newRow("digits at the start") << QByteArray("9 lives.mp3") << QByteArray("10 lives.mp3");
    QTest::newRow("digits at the start against a letter") << QByteArray("100.mp3") << QByteArray("a.mp3");
    QTest::newRow("digits at the end") << QByteArray("Chapter 9") << QByteArray("Chapter 10");
    QTest::newRow("digits at the end, prefix first") << QByteArray("Chapter") << QByteArray("Chapter 1");
    QTest::newRow("two runs: the second decides") << QByteArray("S1E9.mp3") << QByteArray("S1E10.mp3");
    QTest::newRow("two runs: the first decides") << QByteArray("S2E10.mp3") << QByteArray("S10E1.mp3");
    QTest::newRow("case around digits does not decide") << QByteArray("CHAPTER 2 END") << QByteArray("chapter 10 end");
    QTest::newRow("case around digits, then the bytes") << QByteArray("Vol 3A") << QByteArray("vol 3a");
    QTest::newRow("non-ASCII before the digits") << QByteArray("\xC3\xA9pisode 2") << QByteArray("\xC3\x89pisode 10");
    QTest::newRow("non-ASCII after the digits") << QByteArray("Teil 9 \xC3\xBC") << QByteArray("Teil 10 a");
    QTest::newRow("non-ASCII right after a run") << QByteArray("9\xC3\xA9") << QByteArray("10\xC3\xA9");
    QTest::newRow("folded accent before digits") << QByteArray("\xC3\x89T\xC3\x89 9") << QByteArray("\xC3\xA9t\xC3\xA9 10");
    QTest::newRow("fullwidth digit is no digit") << QByteArray("x 10") << QByteArray("x \xEF\xBC\x99");
    QTest::newRow("run longer than any integer")
        << QByteArray("n 99999999999999999999999999999999999999") << QByteArray("n 100000000000000000000000000000000000000");
    QTest::newRow("long runs equal but the last digit")
        << QByteArray("n 123456789012345678901234567890") << QByteArray("n 123456789012345678901234567891");
    QTest::newRow("long runs, many leading zeros")
        << QByteArray("n 0000000000000000000000000000000000000000000000000007")
        << QByteArray("n 8");
}

// The same checks as for the other pairs, over this table.
void TestNameOrder::ordersNumbersByValue() { ordersPairs(); }

// A sort given an order that is not a strict weak one may lose or repeat names. Names made
// of digits, zeros, case and non-ASCII pieces, each in many variants, so that equal runs,
// runs across the word boundary and the folded path all meet; every triple is checked.
void TestNameOrder::staysAStrictWeakOrder()
{
    QRandomGenerator random(19);
    const QList<QByteArray> pieces = {"0", "00", "1", "01", "9", "10", "a", "A", "b", " ", ".", "Chapter ",
                                      "\xC3\xA9", "\xC3\x89", "\xE2\x84\xAA", "\xFF", "12345678", "k"};
    QList<QByteArray> names;
    while (names.size() < 70) {
        QByteArray name;
        for (int n = random.bounded(1, 5); n > 0; --n)
            name += pieces[random.bounded(pieces.size())];
        if (!names.contains(name))
            names << name;
    }
    const qsizetype n = names.size();
    std::vector<char> less(static_cast<std::size_t>(n * n));
    const auto at = [&](qsizetype i, qsizetype j) -> char & { return less[static_cast<std::size_t>(i * n + j)]; };
    NameOrder order;
    std::vector<NameOrder::KeySlot> keys(static_cast<std::size_t>(n), NameOrder::kNoKey);
    for (qsizetype i = 0; i < n; ++i) {
        for (qsizetype j = 0; j < n; ++j) {
            at(i, j) = order.less(names[i], keys[static_cast<std::size_t>(i)], names[j], keys[static_cast<std::size_t>(j)]);
            QVERIFY2(at(i, j) == nameLess(names[i], names[j]), describe(names[i], names[j]).constData());
        }
    }
    for (qsizetype i = 0; i < n; ++i) {
        QVERIFY2(!at(i, i), names[i].toHex(' ').constData());
        for (qsizetype j = 0; j < n; ++j) {
            // Distinct names are never equivalent: the bytes break every tie.
            if (i != j)
                QVERIFY2(at(i, j) != at(j, i), describe(names[i], names[j]).constData());
            for (qsizetype k = 0; k < n; ++k) {
                if (at(i, j) && at(j, k))
                    QVERIFY2(at(i, k), (describe(names[i], names[j]) + " vs " + names[k].toHex(' ')).constData());
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestNameOrder)
#include "tst_name_order.moc"
