#include "feed/feed_names.h"

#include <QSet>
#include <QtTest>

#include <cstdint>

namespace {

std::vector<QByteArray> namesOf(const yf::FeedNames &names, std::size_t count)
{
    std::vector<QByteArray> all;
    for (std::size_t i = 0; i < count; ++i)
        all.push_back(names.name(i));
    return all;
}

// Hashes that put names together that differ, so the grouping must still tell them apart.
std::uint64_t sameForAll(QByteArrayView) { return 7; }
std::uint64_t bySize(QByteArrayView name) { return static_cast<std::uint64_t>(name.size() % 3); }

// Every name worked out in the plainest way, all of them kept in one set.
std::vector<QByteArray> plainly(const std::vector<QByteArray> &folders, qsizetype inputLength, qsizetype nameMax)
{
    std::vector<QByteArray> names(folders.size());
    std::vector<std::size_t> ending;
    QSet<QByteArray> taken;
    for (std::size_t i = folders.size(); i-- > 1;) {
        names[i] = folders[i].mid(inputLength).replace('/', '-');
        if (names[i].size() + 4 > nameMax || taken.contains(names[i]))
            ending.push_back(i);
        else
            taken.insert(names[i]);
    }
    for (std::size_t i : ending) {
        qsizetype cut = std::min(nameMax - 13, names[i].size());
        while (cut > 0 && cut < names[i].size() && (static_cast<unsigned char>(names[i][cut]) & 0xC0) == 0x80)
            --cut;
        const QByteArray below = folders[i].mid(inputLength);
        for (int attempt = 0;; ++attempt) {
            const QByteArray key = attempt == 0 ? below : below + '#' + QByteArray::number(attempt);
            const QByteArray candidate = names[i].left(cut) + '~' + yf::stableHash(key);
            if (!taken.contains(candidate)) {
                taken.insert(candidate);
                names[i] = candidate;
                break;
            }
        }
    }
    return names;
}

} // namespace

class TestFeedNames : public QObject {
    Q_OBJECT
private slots:
    void namesEveryFolderDistinctly_data();
    void namesEveryFolderDistinctly();
    void cutsNamesTooLongForAFile();
    void hashesAgainWhenTwoEndingsMeet();
    void agreesWithThePlainWayOnCollidingTrees_data();
    void agreesWithThePlainWayOnCollidingTrees();
    void hashesAreStable();
};

void TestFeedNames::namesEveryFolderDistinctly_data()
{
    QTest::addColumn<QList<QByteArray>>("folders");  // below "/in", the first is the input itself
    QTest::addColumn<QList<QByteArray>>("expected"); // "#" stands for the hash of the folder's path
    using L = QList<QByteArray>;
    QTest::newRow("no collision") << L{"/in/", "/in/A/", "/in/B/"} << L{"", "-A-", "-B-"};
    QTest::newRow("later folder keeps the plain name") << L{"/in/", "/in/A-B/", "/in/A/", "/in/A/B/"}
                                                       << L{"", "-A-B-~#", "-A-", "-A-B-"};
    QTest::newRow("three the same") << L{"/in/", "/in/A-B-C/", "/in/A-B/C/", "/in/A/B-C/"}
                                    << L{"", "-A-B-C-~#", "-A-B-C-~#", "-A-B-C-"};
    QTest::newRow("only the input") << L{"/in/"} << L{""};
}

void TestFeedNames::namesEveryFolderDistinctly()
{
    QFETCH(QList<QByteArray>, folders);
    QFETCH(QList<QByteArray>, expected);
    const std::vector<QByteArray> input(folders.begin(), folders.end());
    std::vector<QByteArray> want;
    for (qsizetype i = 0; i < folders.size(); ++i)
        want.push_back(QByteArray(expected[i]).replace("#", yf::stableHash(folders[i].mid(3))));
    for (yf::FeedNames::Hash hash : {yf::FeedNames::Hash(nullptr), &sameForAll}) {
        const yf::FeedNames names(input, 3, 255, hash);
        QCOMPARE(namesOf(names, input.size()), want);
        QCOMPARE(names.suffixedCount(), std::size_t(expected.join().count('#')));
    }
}

void TestFeedNames::cutsNamesTooLongForAFile()
{
    // 100 two-byte letters per folder: two levels give a 400-byte name.
    const QByteArray letters = QByteArray("\xC3\xA9").repeated(100);
    const std::vector<QByteArray> folders{"/in/", "/in/" + letters + "/", "/in/" + letters + "/" + letters + "/",
                                          "/in/" + letters + "/" + letters + "x/"};
    const yf::FeedNames names(folders, 3, 255);
    QCOMPARE(names.name(1), "-" + letters + "-");  // fits: left as it is
    for (std::size_t i : {std::size_t(2), std::size_t(3)}) {
        const QByteArray name = names.name(i);
        QVERIFY(name.size() + 4 <= 255);
        QVERIFY(name.size() + 4 >= 254);  // cut no more than a character needs
        QCOMPARE(name.right(9), "~" + yf::stableHash(folders[i].mid(3)));
        QVERIFY(QString::fromUtf8(name).toUtf8() == name);  // no character cut in half
    }
    QVERIFY(names.name(2) != names.name(3));
}

void TestFeedNames::hashesAgainWhenTwoEndingsMeet()
{
    // Two paths whose 32-bit hashes are equal, both too long for a name of 13 bytes: the
    // ending alone is left, and the earlier folder's must be hashed again.
    const QByteArray first = "/aaaaaaaa1022382/";
    const QByteArray second = "/aaaaaaaa1239599/";
    QCOMPARE(yf::stableHash(first), yf::stableHash(second));
    const std::vector<QByteArray> folders{"/in/", "/in" + first, "/in" + second};
    const yf::FeedNames names(folders, 3, 13);
    QCOMPARE(names.name(2), "~" + yf::stableHash(second));
    QCOMPARE(names.name(1), "~" + yf::stableHash(first + "#1"));
}

void TestFeedNames::agreesWithThePlainWayOnCollidingTrees_data()
{
    QTest::addColumn<qsizetype>("nameMax");
    QTest::addColumn<int>("hashKind");
    for (qsizetype nameMax : {qsizetype(255), qsizetype(22), qsizetype(13)}) {
        QTest::addRow("names up to %lld, grouped by the real hash", qlonglong(nameMax)) << nameMax << 0;
        QTest::addRow("names up to %lld, all in one group", qlonglong(nameMax)) << nameMax << 1;
        QTest::addRow("names up to %lld, grouped by size", qlonglong(nameMax)) << nameMax << 2;
    }
}

void TestFeedNames::agreesWithThePlainWayOnCollidingTrees()
{
    QFETCH(qsizetype, nameMax);
    QFETCH(int, hashKind);
    // Paths from parts that join into the same names ("A-B" and "A/B"), in a scrambled order.
    const QList<QByteArray> parts{"A", "B", "A-B", "-", "\xC3\xA9\xC3\xA9"};
    QSet<QByteArray> paths;
    std::uint32_t state = 12345;
    const auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 16; };
    while (paths.size() < 400) {
        QByteArray path = "/in/";
        for (std::uint32_t depth = 1 + next() % 4; depth > 0; --depth)
            path += parts[next() % parts.size()] + '/';
        paths.insert(path);
    }
    std::vector<QByteArray> folders{"/in/"};
    for (const QByteArray &path : paths)
        folders.push_back(path);
    const yf::FeedNames::Hash hashes[] = {nullptr, &sameForAll, &bySize};
    const yf::FeedNames names(folders, 3, nameMax, hashes[hashKind]);
    const std::vector<QByteArray> got = namesOf(names, folders.size());
    QVERIFY(names.suffixedCount() > 10);  // the tree does make names meet
    QCOMPARE(got, plainly(folders, 3, nameMax));
    QCOMPARE(QSet<QByteArray>(got.begin(), got.end()).size(), qsizetype(folders.size()));
}

void TestFeedNames::hashesAreStable()
{
    // FNV-1a, 32 bits: fixed values, so names survive a rebuild.
    QCOMPARE(yf::stableHash(""), QByteArray("811c9dc5"));
    QCOMPARE(yf::stableHash("a"), QByteArray("e40c292c"));
    QCOMPARE(yf::stableHash("foobar"), QByteArray("bf9cf968"));
}

QTEST_GUILESS_MAIN(TestFeedNames)
#include "tst_feed_names.moc"
