// The watched folders' tree of names: paths of folders moved with what lies below them,
// watches that outlive their parent's, folders asked for by path, names packed again.
#include "cli/watched_folders.h"

#include <QTest>

using yf::cli::WatchedFolders;

namespace {

// Runs a script of "place WD PARENT NAME" and "erase WD" lines; false at a place refused.
bool run(WatchedFolders &folders, const QStringList &script)
{
    bool allPlaced = true;
    for (const QString &line : script) {
        const QStringList word = line.split(' ');
        if (word[0] == "erase")
            folders.erase(word[1].toInt());
        else
            allPlaced = folders.place(word[1].toInt(), word[2].toInt(), word.value(3).toUtf8()) && allPlaced;
    }
    return allPlaced;
}

QStringList pathsOf(const WatchedFolders &folders, const std::vector<int> &wds)
{
    QStringList paths;
    for (const int wd : wds)
        paths << QString::number(wd) + "=" + QString::fromUtf8(folders.path(wd));
    paths.sort();
    return paths;
}

const QStringList kTree{"place 1 -1 /r/", "place 2 1 A", "place 3 2 Sub", "place 4 3 Deep", "place 5 1 B"};

} // namespace

class TestWatchedFolders : public QObject {
    Q_OBJECT

private slots:
    void pathsFollowTheTree_data()
    {
        QTest::addColumn<QStringList>("script");  // run after kTree
        QTest::addColumn<bool>("placed");
        QTest::addColumn<QStringList>("paths");   // every watch's path
        QTest::addColumn<QString>("asked");       // a path asked for with at() and below()
        QTest::addColumn<QStringList>("at");
        QTest::addColumn<QStringList>("below");
        const QStringList whole{"1=/r/", "2=/r/A/", "3=/r/A/Sub/", "4=/r/A/Sub/Deep/", "5=/r/B/"};
        QTest::newRow("as placed") << QStringList{} << true << whole << "/r/A/" << QStringList{"2=/r/A/"}
                                   << QStringList{"2=/r/A/", "3=/r/A/Sub/", "4=/r/A/Sub/Deep/"};
        QTest::newRow("placed again the same") << QStringList{"place 3 2 Sub", "place 1 -1 /r/"} << true << whole
                                               << "/r/A/Sub/" << QStringList{"3=/r/A/Sub/"}
                                               << QStringList{"3=/r/A/Sub/", "4=/r/A/Sub/Deep/"};
        QTest::newRow("a folder moved takes what is below it")
            << QStringList{"place 3 5 Moved"} << true
            << QStringList{"1=/r/", "2=/r/A/", "3=/r/B/Moved/", "4=/r/B/Moved/Deep/", "5=/r/B/"} << "/r/A/"
            << QStringList{"2=/r/A/"} << QStringList{"2=/r/A/"};
        QTest::newRow("a folder renamed in place")
            << QStringList{"place 2 1 Aa"} << true
            << QStringList{"1=/r/", "2=/r/Aa/", "3=/r/Aa/Sub/", "4=/r/Aa/Sub/Deep/", "5=/r/B/"} << "/r/A/"
            << QStringList{} << QStringList{};
        QTest::newRow("a folder put inside itself is refused")
            << QStringList{"place 2 4 Loop", "place 2 2 Self", "place 6 99 Orphan"} << false << whole << "/r/A/Sub/Deep/"
            << QStringList{"4=/r/A/Sub/Deep/"} << QStringList{"4=/r/A/Sub/Deep/"};
        QTest::newRow("a moved-away folder not forgotten meets the one in its place")
            << QStringList{"place 6 2 Sub", "place 7 6 Other"} << true
            << whole + QStringList{"6=/r/A/Sub/", "7=/r/A/Sub/Other/"} << "/r/A/Sub/"
            << QStringList{"3=/r/A/Sub/", "6=/r/A/Sub/"}
            << QStringList{"3=/r/A/Sub/", "4=/r/A/Sub/Deep/", "6=/r/A/Sub/", "7=/r/A/Sub/Other/"};
        QTest::newRow("a parent forgotten: those below keep their paths")
            << QStringList{"erase 2"} << true << QStringList{"1=/r/", "3=/r/A/Sub/", "4=/r/A/Sub/Deep/", "5=/r/B/"}
            << "/r/A/" << QStringList{} << QStringList{"3=/r/A/Sub/", "4=/r/A/Sub/Deep/"};
        QTest::newRow("one named whole found below its path")
            << QStringList{"erase 2"} << true << QStringList{"1=/r/", "3=/r/A/Sub/", "4=/r/A/Sub/Deep/", "5=/r/B/"}
            << "/r/A/Sub/Deep/" << QStringList{"4=/r/A/Sub/Deep/"} << QStringList{"4=/r/A/Sub/Deep/"};
        QTest::newRow("one named whole placed again under a parent")
            << QStringList{"erase 2", "place 8 1 A", "place 3 8 Sub"} << true
            << QStringList{"1=/r/", "3=/r/A/Sub/", "4=/r/A/Sub/Deep/", "5=/r/B/", "8=/r/A/"} << "/r/A/"
            << QStringList{"8=/r/A/"} << QStringList{"3=/r/A/Sub/", "4=/r/A/Sub/Deep/", "8=/r/A/"};
        QTest::newRow("first and last of a folder's list forgotten")
            << QStringList{"place 6 1 C", "erase 6", "erase 2", "erase 3", "erase 4"} << true
            << QStringList{"1=/r/", "5=/r/B/"} << "/r/" << QStringList{"1=/r/"} << QStringList{"1=/r/", "5=/r/B/"};
        QTest::newRow("a path that is no folder's") << QStringList{} << true << whole << "/r/A" << QStringList{}
                                                    << QStringList{};
    }
    void pathsFollowTheTree()
    {
        QFETCH(QStringList, script);
        QFETCH(QString, asked);
        WatchedFolders folders;
        QVERIFY(run(folders, kTree));
        QTEST(run(folders, script), "placed");
        QTEST(pathsOf(folders, folders.all()), "paths");
        QCOMPARE(folders.size(), qsizetype(folders.all().size()));
        QTEST(pathsOf(folders, folders.at(asked.toUtf8())), "at");
        const std::vector<int> below = folders.below(asked.toUtf8());
        QTEST(pathsOf(folders, below), "below");
        // Those above come first, so that forgetting from the end never names one whole
        // (told by path where no two watches share one).
        QStringList belowPaths;
        for (const int wd : below)
            belowPaths << QString::fromUtf8(folders.path(wd));
        if (belowPaths.removeDuplicates() == 0) {
            for (qsizetype k = 0; k < belowPaths.size(); ++k) {
                for (qsizetype later = k + 1; later < belowPaths.size(); ++later)
                    QVERIFY(!belowPaths[k].startsWith(belowPaths[later]));
            }
        }
    }

    // Renamed again and again, the names are packed once they take up twice their room:
    // every path must come out the same afterwards.
    void manyRenamesKeepEveryPath()
    {
        WatchedFolders folders;
        QVERIFY(run(folders, kTree));
        for (int round = 0; round < 3000; ++round)
            QVERIFY(folders.place(5, 1, QByteArray("B name ") + QByteArray::number(round)));
        QVERIFY(folders.place(2, 1, "A"));
        QCOMPARE(pathsOf(folders, folders.all()), (QStringList{"1=/r/", "2=/r/A/", "3=/r/A/Sub/", "4=/r/A/Sub/Deep/",
                                                              "5=/r/B name 2999/"}));
    }
};

QTEST_GUILESS_MAIN(TestWatchedFolders)
#include "tst_watched_folders.moc"
