// The kept tree's paths in blocks: each one whole and ended for the system, however long,
// and every path right after folders are renamed often enough for the blocks to be packed.
#include "generate/kept_tree.h"
#include "generate/path_blocks.h"

#include "fixture.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

class TestKeptTree : public QObject {
    Q_OBJECT
private slots:
    void keepsEachPathWhole_data()
    {
        QTest::addColumn<QList<qsizetype>>("sizes");
        QTest::newRow("short ones") << QList<qsizetype>{1, 20, 0, 300};
        QTest::newRow("one larger than a block") << QList<qsizetype>{10, 300 * 1024, 10};
        QTest::newRow("enough to fill several blocks") << QList<qsizetype>(3000, 200);
    }
    void keepsEachPathWhole()
    {
        QFETCH(QList<qsizetype>, sizes);
        yf::PathBlocks blocks;
        std::vector<QByteArray> wanted, kept;
        for (qsizetype k = 0; k < sizes.size(); ++k) {
            wanted.push_back(QByteArray(sizes[k], char('a' + k % 26)));
            kept.push_back(blocks.keep(wanted.back()));
        }
        for (std::size_t k = 0; k < kept.size(); ++k) {
            QCOMPARE(kept[k], wanted[k]);  // nothing written over by a later one
            QCOMPARE(std::strlen(kept[k].constData()), std::size_t(kept[k].size()));
        }
        QVERIFY(blocks.bytes() >= blocks.usedBytes());
    }

    // A folder renamed again and again leaves its old paths in the blocks until they are
    // packed: the tree and every path it hands out must come out the same throughout.
    void renamesUntilPackedKeepEveryPath()
    {
        QTemporaryDir tmp;
        const QByteArray root = QFile::encodeName(tmp.path()) + "/in/";
        const QByteArray longName = QByteArray(200, 'n');
        fixture::makeTree(tmp.path(), {"in/A/Sub/", "in/B/", "in/" + QString::fromLatin1(longName) + "0/Deep/"});
        yf::KeptTree tree;
        QVERIFY(tree.scanAll(root, std::nullopt, nullptr).ok());
        const std::size_t bytesAtFirst = tree.bytes();
        for (int round = 1; round <= 1200; ++round) {
            const QByteArray from = root + longName + QByteArray::number(round - 1) + '/';
            const QByteArray to = root + longName + QByteArray::number(round) + '/';
            QVERIFY(QDir().rename(QFile::decodeName(from), QFile::decodeName(to)));
            QVERIFY(tree.relist({from, to}, std::nullopt, nullptr).ok());
            QCOMPARE(tree.listed().size(), std::size_t(6));
            QVERIFY(tree.find(to + "Deep/") >= 0);
            QCOMPARE(tree.find(from), -1);
            QVERIFY(tree.find(root + "A/Sub/") >= 0);
        }
        yf::KeptTree fresh;
        QVERIFY(fresh.scanAll(root, std::nullopt, nullptr).ok());
        QCOMPARE(tree.listed(), fresh.listed());
        // The renames put some 600 kB of paths in the blocks: packed, they stay within a block more.
        QVERIFY2(tree.bytes() <= bytesAtFirst + 256 * 1024, qPrintable(QString::number(tree.bytes())));
    }
};

QTEST_GUILESS_MAIN(TestKeptTree)
#include "tst_kept_tree.moc"
