// Folder scan: breadth-first order, path form, which folders count, and failures.
#include "fast/ordered_work.h"
#include "fixture.h"
#include "scan/folder_scan.h"

#include <QMap>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <atomic>
#include <thread>
#include <utility>
#include <unistd.h>

using yf::FolderArray;

namespace {

// Runs the scan; what it found goes to `found` (nothing on failure), for the checks that follow.
template <typename... Rest>
yf::Status scanInto(yf::FolderArray &found, const QByteArray &root, Rest... rest)
{
    yf::Result<yf::FolderArray> scanned = yf::scanFolders(root, rest...);
    found = scanned.ok() ? std::move(scanned).value() : yf::FolderArray{};
    return scanned.ok() ? yf::Status() : yf::Status(scanned.error());
}

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// Paths below `start`, in scan order, with the start folder itself as "".
QStringList relative(const FolderArray &folders, const QByteArray &start)
{
    QStringList out;
    for (const QByteArray &f : folders)
        out << QString::fromUtf8(f.mid(start.size()));
    return out;
}

class RemoveOnFind : public yf::RunObserver {
public:
    QString victim;
    qsizetype when = 2;  // folders found
    void foldersFound(qsizetype count) override
    {
        if (count >= when && !victim.isEmpty()) {
            QDir(victim).removeRecursively();
            victim.clear();
        }
    }
};

// Cancels once `limit` folders are found, and counts calls from any thread but the one
// that made it: the observer is the caller's alone.
class CancelAfter : public yf::RunObserver {
public:
    qsizetype limit = 0;
    qsizetype seen = 0;
    const std::thread::id caller = std::this_thread::get_id();
    mutable std::atomic<int> otherThreads{0};
    void foldersFound(qsizetype count) override
    {
        noteThread();
        seen = count;
    }
    bool cancelRequested() const override
    {
        noteThread();
        return seen >= limit;
    }
    void noteThread() const
    {
        if (std::this_thread::get_id() != caller)
            ++otherThreads;
    }
};

} // namespace

class TestFolderScan : public QObject {
    Q_OBJECT
private slots:
    void listsFoldersBreadthFirst();
    void keepsPathsAsGiven();
    void skipsFoldersThatAreNotPlain_data();
    void skipsFoldersThatAreNotPlain();
    void reportsFoldersItCannotList_data();
    void reportsFoldersItCannotList();
    void skipsFolderThatVanishes();
    void leavesOutTheGivenFolder_data();
    void leavesOutTheGivenFolder();
    void survivesLinkLoopsAndDeepNesting();
    void handlesFortyThousandFolders();
    void stopsWhenCancelled_data();
    void stopsWhenCancelled();
    void listsWideLevelsAlikeOnSeveralThreads();
    void tellsEveryFolderMetInOrder();
};

void TestFolderScan::listsFoldersBreadthFirst()
{
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"a/x/deep/", "a/y/", "b/z/", "c/", "a/file.mp3", "c/song.mp3"});
    const QByteArray start = native(tmp.path()) + '/';
    FolderArray found;
    QVERIFY(scanInto(found, start).ok());

    const QStringList rel = relative(found, start);
    QCOMPARE(rel.size(), 8);
    QCOMPARE(rel.first(), QString());
    QStringList sorted = rel;
    sorted.sort();
    QCOMPARE(sorted, (QStringList{"", "a/", "a/x/", "a/x/deep/", "a/y/", "b/", "b/z/", "c/"}));

    // Breadth first: every folder comes after its parent, children are grouped in the
    // order of their parents, and no folder comes before one of a shallower level.
    qsizetype lastParent = -1;
    int lastDepth = 0;
    for (qsizetype k = 1; k < rel.size(); ++k) {
        const QString parent = rel[k].left(rel[k].lastIndexOf('/', -2) + 1);
        const qsizetype parentIndex = rel.indexOf(parent);
        QVERIFY2(parentIndex >= 0 && parentIndex < k, qPrintable(rel[k]));
        QVERIFY2(parentIndex >= lastParent, qPrintable(rel[k]));
        lastParent = parentIndex;
        const int depth = int(rel[k].count('/'));
        QVERIFY2(depth >= lastDepth, qPrintable(rel[k]));
        lastDepth = depth;
    }
}

void TestFolderScan::keepsPathsAsGiven()
{
    // A start folder that already ends in "/" (the root case) keeps its doubled separator
    // in every path below it; nothing is normalised.
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"Music/Live/"});
    const QByteArray start = native(tmp.path()) + "//";
    FolderArray found;
    QVERIFY(scanInto(found, start).ok());
    QCOMPARE(found.size(), std::size_t(3));
    QCOMPARE(found[0], start);
    QCOMPARE(found[1], start + "Music/");
    QCOMPARE(found[2], start + "Music/Live/");
}

void TestFolderScan::skipsFoldersThatAreNotPlain_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("hidden folder and all below it")
        << QStringList{"Shown/", ".hidden/inner/", "Shown/.also/"} << QStringList{"", "Shown/"};
    QTest::newRow("read-only folder and all below it")
        << QStringList{"Open/", "Locked/inner/", "Locked/!555"} << QStringList{"", "Open/"};
    QTest::newRow("linked folder is never entered")
        << QStringList{"Real/inner/", "Linked->Real", "Dangling->nowhere"}
        << QStringList{"", "Real/", "Real/inner/"};
    QTest::newRow("files are never listed")
        << QStringList{"Dir/", "file.mp3", "Dir/noext"} << QStringList{"", "Dir/"};
    QTest::newRow("names with blanks, symbols and accents")
        << QStringList{"caf\xc3\xa9/", "A & B/", "sp ace/#?%/"}
        << QStringList{"", "A & B/", "caf\xc3\xa9/", "sp ace/", "sp ace/#?%/"};
}

void TestFolderScan::skipsFoldersThatAreNotPlain()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, expected);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), tree);
    // Give write permission back afterwards so the temporary directory can be removed.
    const auto restore = qScopeGuard([&] { QProcess::execute("chmod", {"-R", "u+w", tmp.path()}); });
    const QByteArray start = native(tmp.path()) + '/';
    FolderArray found;
    const yf::Status status = scanInto(found, start);
    QVERIFY(status.ok());
    QStringList rel = relative(found, start);
    rel.sort();
    QCOMPARE(rel, expected);
}

void TestFolderScan::reportsFoldersItCannotList_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing/" << "No such file or directory";
    QTest::newRow("a file") << "file.mp3/" << "Not a directory";
}

void TestFolderScan::reportsFoldersItCannotList()
{
    QFETCH(QString, start);
    QFETCH(QString, reason);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"file.mp3"});
    FolderArray found;
    const yf::Status status = scanInto(found, native(tmp.path() + '/' + start));
    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::ListFolder);
    QVERIFY(status.error().path.endsWith(start));
    QCOMPARE(status.error().reason, reason);
    QVERIFY(status.error().message().contains(tmp.path() + '/' + start));
}

void TestFolderScan::skipsFolderThatVanishes()
{
    // "gone" is found, then removed before the scan gets to list it.
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"gone/inner/"});
    RemoveOnFind observer;
    observer.victim = tmp.path() + "/gone";
    FolderArray found;
    yf::SkippedFolders skipped;
    QVERIFY(scanInto(found, native(tmp.path()) + '/', &observer, &skipped).ok());
    // Left out of the list, so no feed is due for it, and reported.
    QCOMPARE(found.size(), std::size_t(1));
    QCOMPARE(skipped.size(), std::size_t(1));
    QCOMPARE(skipped[0].path, tmp.path() + "/gone/");
    QCOMPARE(skipped[0].osError, ENOENT);
}

// The feeds' own folder, wherever it lies and by whatever path it was named.
void TestFolderScan::leavesOutTheGivenFolder_data()
{
    QTest::addColumn<QString>("leaveOut");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("at the top") << "feeds" << QStringList{"", "a/", "a/b/"};
    QTest::newRow("deeper, with what is below it") << "a" << QStringList{"", "feeds/", "feeds/x/"};
    QTest::newRow("named through a link") << "linked" << QStringList{"", "a/", "a/b/"};
    QTest::newRow("outside the tree") << "../elsewhere" << QStringList{"", "a/", "feeds/", "a/b/", "feeds/x/"};
}

void TestFolderScan::leavesOutTheGivenFolder()
{
    QFETCH(QString, leaveOut);
    QFETCH(QStringList, expected);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"in/a/b/", "in/feeds/x/", "in/linked->feeds", "elsewhere/"});
    const QByteArray start = native(tmp.path() + "/in") + '/';
    const std::optional<yf::fs::FolderId> id = yf::fs::folderId(start + native(leaveOut));
    QVERIFY(id.has_value());
    FolderArray found;
    QVERIFY(scanInto(found, start, nullptr, nullptr, id).ok());
    QStringList got = relative(found, start);
    std::sort(got.begin() + 1, got.end());
    std::sort(expected.begin() + 1, expected.end());
    QCOMPARE(got, expected);
}

void TestFolderScan::survivesLinkLoopsAndDeepNesting()
{
    QTemporaryDir tmp;
    QString deep = "d";
    for (int level = 1; level < 500; ++level)
        deep += "/d";
    fixture::makeTree(tmp.path(), {deep + "/", "loop->.", "d/up->..", "d/self->../d"});
    FolderArray found;
    QVERIFY(scanInto(found, native(tmp.path()) + '/').ok());
    QCOMPARE(found.size(), std::size_t(501));
    QVERIFY(found.back().endsWith(native(deep) + '/'));
}

void TestFolderScan::handlesFortyThousandFolders()
{
    // Far past what a 16-bit counter can hold; the list grows as needed.
    QTemporaryDir tmp;
    const QByteArray root = native(tmp.path());
    for (int a = 0; a < 200; ++a) {
        const QByteArray top = root + "/t" + QByteArray::number(a);
        QVERIFY(::mkdir(top.constData(), 0755) == 0);
        for (int b = 0; b < 200; ++b)
            QVERIFY(::mkdir((top + "/s" + QByteArray::number(b)).constData(), 0755) == 0);
    }
    FolderArray found;
    QVERIFY(scanInto(found, root + '/').ok());
    QCOMPARE(found.size(), std::size_t(1 + 200 + 200 * 200));
}

void TestFolderScan::stopsWhenCancelled_data()
{
    QTest::addColumn<int>("helpers");
    QTest::addColumn<int>("wide");   // folders at the first level besides a/ and d/
    QTest::addColumn<int>("limit");  // cancelled once this many are found
    // The root finds 2 + wide folders; each of those then finds one more.
    QTest::newRow("one thread, a narrow tree") << 0 << 0 << 2;
    QTest::newRow("one thread, cancelled inside a wide level") << 0 << 200 << 250;
    QTest::newRow("two helpers, cancelled before they start") << 2 << 200 << 203;
    QTest::newRow("two helpers, cancelled inside a level they share") << 2 << 200 << 250;
}

void TestFolderScan::stopsWhenCancelled()
{
    QFETCH(int, helpers);
    QFETCH(int, wide);
    QFETCH(int, limit);
    QTemporaryDir tmp;
    QStringList tree{"a/b/c/", "d/e/"};
    for (int i = 0; i < wide; ++i)
        tree << QStringLiteral("w%1/x/").arg(i);
    fixture::makeTree(tmp.path(), tree);
    yf::fast::HelperThreads threads(helpers);
    CancelAfter observer;
    observer.limit = limit;
    FolderArray found;
    const yf::Status status = scanInto(found, native(tmp.path()) + '/', &observer, nullptr, std::nullopt,
                                              &threads);
    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::Cancelled);
    QCOMPARE(observer.otherThreads.load(), 0);
    // Cancelled as soon as asked: after the folder that crossed the limit, no other is taken.
    QVERIFY2(observer.seen >= limit && observer.seen < limit + 3, qPrintable(QString::number(observer.seen)));
}

void TestFolderScan::listsWideLevelsAlikeOnSeveralThreads()
{
    // Levels wide enough to be shared between threads, and one wider than what is listed at a
    // time, with folders left out on the way: hidden, linked, the feeds' folder, and one that
    // goes before it is listed.
    QTemporaryDir tmp;
    QStringList tree{"feeds/", ".hidden/x/", "link->t007"};
    for (int t = 0; t < 600; ++t) {
        const QString top = QStringLiteral("t%1").arg(t, 3, 10, QLatin1Char('0'));
        tree << top + "/a/deep/" << top + "/b/" << top + "/song.mp3" << top + "/.dot/";
    }
    fixture::makeTree(tmp.path(), tree);
    const QByteArray start = native(tmp.path()) + '/';
    const std::optional<yf::fs::FolderId> feeds = yf::fs::folderId(start + "feeds");
    QStringList ends[2];
    yf::fast::HelperThreads none(0);
    yf::fast::HelperThreads two(2);  // one set of helpers for several scans, as a run uses them
    for (int round = 0; round < 3; ++round) {
        const int helpers = round == 0 ? 0 : 2;
        QVERIFY(QDir().mkpath(tmp.path() + "/t033/gone/inner"));
        RemoveOnFind observer;
        observer.victim = tmp.path() + "/t033/gone";
        observer.when = 1 + 600 + 600 * 2 + 1;  // all of the second level is listed, "gone" with it
        FolderArray found;
        yf::SkippedFolders skipped;
        QVERIFY(scanInto(found, start, &observer, &skipped, feeds, helpers == 0 ? &none : &two).ok());
        QCOMPARE(found.size(), std::size_t(1 + 600 * 4));
        QStringList &end = ends[helpers == 0 ? 0 : 1];
        end = relative(found, start);
        for (const yf::Error &e : skipped)
            end << "skipped " + e.path + ": " + e.reason;
        if (round == 2)
            QCOMPARE(end, ends[0]);
    }
    QCOMPARE(ends[1], ends[0]);
    QVERIFY2(ends[0].last().endsWith("/t033/gone/: No such file or directory"), qPrintable(ends[0].last()));
}

void TestFolderScan::tellsEveryFolderMetInOrder()
{
    // Wide enough to be shared between threads; one folder write-protected (a note), one gone
    // before it is listed (met, but not listed).
    QTemporaryDir tmp;
    QStringList tree{"locked/inner/"};
    for (int t = 0; t < 100; ++t)
        tree << QStringLiteral("t%1/a/").arg(t, 3, 10, QLatin1Char('0'));
    fixture::makeTree(tmp.path(), tree);
    QVERIFY(QFile::setPermissions(tmp.path() + "/locked", QFile::ReadOwner | QFile::ExeOwner));
    const auto unlock = qScopeGuard([&] { QFile::setPermissions(tmp.path() + "/locked", QFile::WriteOwner | QFile::ReadOwner | QFile::ExeOwner); });
    const QByteArray start = native(tmp.path()) + '/';
    QStringList told[2];
    yf::fast::HelperThreads none(0);
    yf::fast::HelperThreads two(2);
    for (int round = 0; round < 2; ++round) {
        QVERIFY(QDir().mkpath(tmp.path() + "/t050/gone"));
        RemoveOnFind observer;
        observer.victim = tmp.path() + "/t050/gone";
        observer.when = 1 + 100 + 101;  // the second level is listed, "gone" with it
        std::size_t expected = 0;
        qsizetype children = 0;
        FolderArray listed;
        const yf::FolderMet onFolder = [&](std::size_t met, const QByteArray &folder, yf::FolderListing &listing) {
            QCOMPARE(met, expected++);
            children += static_cast<qsizetype>(listing.children.size());
            if (!listing.unlisted)
                listed.push_back(folder);
            QString line = QString::fromUtf8(folder.mid(start.size())) + ' ' + QString::number(listing.children.size());
            for (const yf::Error &e : std::exchange(listing.skipped, {}))
                line += " noted " + e.path.mid(tmp.path().size()) + ": " + e.reason;
            told[round] << line + (listing.unlisted ? " unlisted" : "");
        };
        FolderArray found;
        yf::SkippedFolders skipped;
        QVERIFY(scanInto(found, start, &observer, &skipped, std::nullopt, round == 0 ? &none : &two, onFolder).ok());
        QCOMPARE(listed, found);  // the met folders that listed are the scan's list, in order
        QCOMPARE(children + 1, qsizetype(expected));  // every folder met was some folder's child
        QVERIFY(skipped.empty());  // the notes went to the one who took them
    }
    QCOMPARE(told[1], told[0]);
    QVERIFY2(told[0].filter(" unlisted").size() == 1 && told[0].filter(" unlisted")[0].startsWith("t050/gone/ 0"),
             qPrintable(told[0].join('\n')));
    QVERIFY2(!told[0].filter("noted /locked").isEmpty(), qPrintable(told[0].join('\n')));
}

QTEST_GUILESS_MAIN(TestFolderScan)
#include "tst_folder_scan.moc"
