// Runs with tags on: unchanged files come from the cache unopened, and a cache in any state costs no feed.
#include "media_fixture.h"
#include "run_fixture.h"
#include "tags/tag_cache.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <sys/stat.h>
#include <unistd.h>

using mediafixture::Tags;

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// Sets the modification time of `path` to the nanosecond.
void setModifiedNs(const QString &path, qint64 secs, long nanos)
{
    const struct timespec times[2] = {{static_cast<time_t>(secs), nanos}, {static_cast<time_t>(secs), nanos}};
    QVERIFY(::utimensat(AT_FDCWD, native(path).constData(), times, 0) == 0);
}

// An audiobook of two chapters with a cover, and a show with a tagged and a hostile episode.
struct TaggedRun : fixture::RunSetup {
    QString cacheFile;

    TaggedRun()
    {
        cacheFile = tmp.path() + "/cache/yarrowfeed/tags.sqlite";
        request.readTags = true;
        request.tagCacheFile = cacheFile;
        QDir().mkpath(in("Book"));
        QDir().mkpath(in("Talk"));
        [&] {
            QVERIFY(mediafixture::writeMp3(in("Book/1.mp3"), 3'000, Tags{"One", {}, "Book", {}, {}, 1, {}}));
            QVERIFY(mediafixture::writeMp3(in("Book/2.mp3"), 3'000, Tags{"Two", {}, "Book", {}, {}, 2, {}}));
            QVERIFY(mediafixture::writeFile(in("Book/cover.jpg"), "jpeg"));
            QVERIFY(mediafixture::writeMp3(in("Talk/ep.mp3"), 3'000, Tags{"Talk", "About", {}, {}, {}, 0, {}}));
            QVERIFY(mediafixture::writeFile(in("Talk/noise.mp3"), mediafixture::randomBytes(4096, 9)));
        }();
    }
    // The feeds a run gives with no cache at all, from a copy of the request.
    QMap<QString, QByteArray> feedsWithoutCache()
    {
        fixture::RunSetup plain;
        plain.request = request;
        plain.request.tagCacheFile.clear();
        plain.request.outputDir = tmp.path() + "/plain";
        QDir().mkpath(plain.request.outputDir);
        (void)plain.run();
        QMap<QString, QByteArray> texts;
        for (const QString &name : fixture::filesIn(plain.request.outputDir))
            texts[name] = fixture::readFile(plain.request.outputDir + '/' + name);
        return texts;
    }
    QMap<QString, QByteArray> feedTexts() const
    {
        QMap<QString, QByteArray> texts;
        for (const QString &name : feeds())
            texts[name] = fixture::readFile(request.outputDir + '/' + name);
        return texts;
    }
};

// What a run says about its tags, as lines that compare well across a process boundary.
QStringList summary(const yf::RunOutcome &outcome)
{
    return {QStringLiteral("finished %1").arg(outcome.finished()), QStringLiteral("read %1").arg(outcome.tagFiles.filesRead),
            QStringLiteral("cached %1").arg(outcome.tagFiles.fromCache),
            QStringLiteral("cache problem %1").arg(outcome.tagCacheProblem.has_value())};
}

} // namespace

class TestTagCache : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }
    void opensNoFileOfAnUnchangedRun();
    void readsAnEditedFileAgain();
    void costsNoFeedWhateverTheCache_data();
    void costsNoFeedWhateverTheCache();
    void forgetsWhatIsGone();
    void keepsEverythingWhenARunStopsEarly();
    void decodesOnlyWholeBlocks();
    void trustsNoPartOfADamagedBlock_data();
    void trustsNoPartOfADamagedBlock();
    void leavesEveryFeedAsItWasWithTagsOff();
};

void TestTagCache::opensNoFileOfAnUnchangedRun()
{
    TaggedRun run;
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 4", "cached 0", "cache problem 0"}));
    QVERIFY2(QFileInfo::exists(run.cacheFile), "the cache and its folders are made");
    const auto first = run.snapshot();
    QVERIFY(first.value("-Book-.xml").first.contains("<title>Book</title>"));
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 0", "cached 4", "cache problem 0"}));
    QCOMPARE(run.snapshot(), first);  // the same bytes, and no feed written again
    QCOMPARE(run.feedTexts(), run.feedsWithoutCache());
}

void TestTagCache::readsAnEditedFileAgain()
{
    TaggedRun run;
    setModifiedNs(run.in("Book/1.mp3"), 1767517507, 100);
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 4", "cached 0", "cache problem 0"}));
    // New tags of the same size within the same second: only the nanoseconds tell.
    QVERIFY(mediafixture::writeTags(run.in("Book/1.mp3"), Tags{"Uno", {}, "Book", {}, {}, 1, {}}));
    setModifiedNs(run.in("Book/1.mp3"), 1767517507, 200);
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 1", "cached 3", "cache problem 0"}));
    QVERIFY(run.feedTexts().value("-Book-.xml").contains("<title>Uno</title>"));
    // A new file is read, and only it.
    QVERIFY(mediafixture::writeMp3(run.in("Book/3.mp3"), 1'000, Tags{"Three", {}, "Book", {}, {}, 3, {}}));
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 1", "cached 4", "cache problem 0"}));
    QCOMPARE(run.feedTexts(), run.feedsWithoutCache());
}

void TestTagCache::costsNoFeedWhateverTheCache_data()
{
    QTest::addColumn<QString>("cache");
    QTest::addColumn<QStringList>("first");   // the run with the cache in that state
    QTest::addColumn<QStringList>("second");  // the run after it
    const QStringList rebuilt{"finished 1", "read 0", "cached 4", "cache problem 0"};
    QTest::newRow("missing") << "missing" << QStringList{"finished 1", "read 4", "cached 0", "cache problem 0"}
                             << rebuilt;
    // A cache started afresh is no problem left for anyone to mend.
    QTest::newRow("random bytes") << "random" << QStringList{"finished 1", "read 4", "cached 0", "cache problem 0"}
                                  << rebuilt;
    QTest::newRow("cut short") << "cut" << QStringList{"finished 1", "read 4", "cached 0", "cache problem 0"}
                               << rebuilt;
    QTest::newRow("a database of another layout")
        << "layout" << QStringList{"finished 1", "read 4", "cached 0", "cache problem 0"} << rebuilt;
    QTest::newRow("its folder cannot be made") << "blocked"
                                               << QStringList{"finished 1", "read 4", "cached 0", "cache problem 1"}
                                               << QStringList{"finished 1", "read 4", "cached 0", "cache problem 1"};
    QTest::newRow("read-only cache folder") << "read-only"
                                            << QStringList{"finished 1", "read 4", "cached 0", "cache problem 1"}
                                            << QStringList{"finished 1", "read 4", "cached 0", "cache problem 1"};
    QTest::newRow("unreadable cache file") << "unreadable"
                                           << QStringList{"finished 1", "read 4", "cached 0", "cache problem 1"}
                                           << QStringList{"finished 1", "read 4", "cached 0", "cache problem 1"};
}

void TestTagCache::costsNoFeedWhateverTheCache()
{
    QFETCH(QString, cache);
    TaggedRun run;
    const QMap<QString, QByteArray> expected = run.feedsWithoutCache();
    const QString folder = QFileInfo(run.cacheFile).path();
    QDir().mkpath(folder);
    if (cache == "random" || cache == "unreadable") {
        QVERIFY(mediafixture::writeFile(run.cacheFile, mediafixture::randomBytes(8192, 7)));
    } else if (cache == "cut" || cache == "layout" || cache == "read-only") {
        // A good cache first, from a run of its own.
        QCOMPARE(summary(run.run()).at(3), QString("cache problem 0"));
    }
    if (cache == "cut") {
        QVERIFY(mediafixture::writeFile(run.cacheFile, fixture::readFile(run.cacheFile).left(1500)));
    } else if (cache == "layout") {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "other-layout");
        db.setDatabaseName(run.cacheFile);
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec("PRAGMA user_version = 99"));
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("other-layout");
    } else if (cache == "blocked") {
        QDir(folder).removeRecursively();
        QVERIFY(mediafixture::writeFile(folder, "a file where the folder goes"));
    } else if (cache == "read-only") {
        QVERIFY(QFile::remove(run.cacheFile));
    }
    const auto restore = qScopeGuard([&] { QProcess::execute("chmod", {"-R", "u+rwx", run.tmp.path()}); });
    // Root writes and reads whatever the modes say: these runs go as another user.
    const bool unprivileged = cache == "read-only" || cache == "unreadable";
    if (unprivileged) {
        QProcess::execute("chmod", {"-R", "a+rwX", run.tmp.path()});
        QVERIFY(::chmod(native(folder).constData(), cache == "read-only" ? 0555 : 0777) == 0);
        if (cache == "unreadable")
            QVERIFY(::chmod(native(run.cacheFile).constData(), 0) == 0);
    }
    const auto twoRuns = [&] {
        QStringList lines = summary(run.run());
        lines << (run.feedTexts() == expected ? "feeds right" : "feeds wrong");
        lines << summary(run.run());
        lines << (run.feedTexts() == expected ? "feeds right" : "feeds wrong");
        return lines;
    };
    const QStringList lines = unprivileged ? fixture::asUnprivileged(twoRuns) : twoRuns();
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QCOMPARE(lines, first + QStringList{"feeds right"} + second + QStringList{"feeds right"});
}

void TestTagCache::forgetsWhatIsGone()
{
    TaggedRun run;
    // Another library's folder in the same cache stays whatever this tree loses.
    const yf::FolderTags elsewhere{{"a.mp3", 1, 2, yf::MediaDetails{"A", {}, {}, {}, {}, 1, 0, 5}}};
    QVERIFY(yf::storeTagCache(run.cacheFile, false, {{"/elsewhere/", yf::encodeFolderTags(elsewhere)}}, {}).ok());
    (void)run.run();
    QVERIFY(QFile::remove(run.in("Talk/ep.mp3")));
    QVERIFY(QDir(run.in("Book")).removeRecursively());
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 0", "cached 1", "cache problem 0"}));
    const yf::LoadedTagCache loaded = yf::loadTagCache(run.cacheFile);
    QVERIFY(!loaded.problem && !loaded.replace);
    QStringList folders;
    for (const auto &[folder, block] : loaded.folders)
        folders << QString::fromUtf8(folder);
    folders.sort();
    QCOMPARE(folders, QStringList({"/elsewhere/", run.in("Talk/")}));
    yf::FolderTags files;
    QVERIFY(yf::decodeFolderTags(loaded.folders.at("/elsewhere/"), files));
    QCOMPARE(files, elsewhere);
    // The hostile file is known too, as a file without details: it is not opened again.
    QVERIFY(yf::decodeFolderTags(loaded.folders.at(native(run.in("Talk/"))), files));
    QCOMPARE(files.size(), std::size_t(1));
    QCOMPARE(files[0].name, QByteArray("noise.mp3"));
    QCOMPARE(files[0].details, yf::MediaDetails());
}

void TestTagCache::keepsEverythingWhenARunStopsEarly()
{
    // Stops the run once `feeds` feeds are done.
    struct StopAfter : yf::RunObserver {
        qsizetype feeds = 0;
        qsizetype done = 0;
        void feedWritten(qsizetype written, qsizetype) override { done = written; }
        bool cancelRequested() const override { return done >= feeds; }
    };
    TaggedRun run;
    (void)run.run();
    QVERIFY(mediafixture::writeMp3(run.in("Talk/new.mp3"), 1'000, Tags{"New", {}, {}, {}, {}, 0, {}}));
    StopAfter stop;
    // Met no folder at all: what the cache knows of them is no less true.
    QCOMPARE(summary(run.run(&stop)).first(), QString("finished 0"));
    stop.feeds = 1;  // only the first folder's feed, though helpers may have read ahead
    QVERIFY(run.run(&stop).cancelled());
    const yf::RunOutcome after = run.run();
    QVERIFY(after.finished());
    QVERIFY2(after.tagFiles.filesRead <= 1, "only the new file, unless the stopped run stored it");
    QCOMPARE(after.tagFiles.filesRead + after.tagFiles.fromCache, 5);
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 0", "cached 5", "cache problem 0"}));
    // However many threads read them, the feeds are the same.
    run.request.helperThreads = 0;
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 0", "cached 5", "cache problem 0"}));
    QCOMPARE(run.feedTexts(), run.feedsWithoutCache());
}

void TestTagCache::decodesOnlyWholeBlocks()
{
    const yf::FolderTags files{{"1.mp3", 100, 1767517507000000001, yf::MediaDetails{"T\xc3\xaf", "C", "Al", "Ar", "AA", 3, 2, 61400}},
                               {"b\xff.mp3", 0, -5, yf::MediaDetails{}},
                               {"3.opus", 1LL << 40, 0, yf::MediaDetails{{}, {}, "Al", {}, {}, 0, 0, 1}}};
    const QByteArray block = yf::encodeFolderTags(files);
    yf::FolderTags decoded;
    QVERIFY(yf::decodeFolderTags(block, decoded));
    QCOMPARE(decoded, files);
    // Cut anywhere, a block gives no files or the whole files before the cut, never a wrong one.
    for (qsizetype cut = 0; cut < block.size(); ++cut) {
        const bool whole = yf::decodeFolderTags(QByteArrayView(block).first(cut), decoded);
        QVERIFY(decoded.size() < files.size());
        QVERIFY(whole || decoded.empty());
        QVERIFY(std::equal(decoded.begin(), decoded.end(), files.begin()));
    }
    // A length beyond the block's end.
    QByteArray lying = block;
    lying[0] = '\xff';
    lying[3] = '\x7f';
    QVERIFY(!yf::decodeFolderTags(lying, decoded));
    QVERIFY(decoded.empty());
}

void TestTagCache::trustsNoPartOfADamagedBlock_data()
{
    QTest::addColumn<int>("cut");  // bytes cut off the folder's block's end
    QTest::newRow("its last byte") << 1;
    QTest::newRow("its last number") << 4;
    QTest::newRow("into its last name") << 60;
}

// A block whose files before the damage are whole: none of them is taken from it, every file
// is read again, the feeds are those of a run without a cache, and the block is mended.
void TestTagCache::trustsNoPartOfADamagedBlock()
{
    QFETCH(int, cut);
    TaggedRun run;
    const QMap<QString, QByteArray> expected = run.feedsWithoutCache();
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 4", "cached 0", "cache problem 0"}));
    const QByteArray book = native(run.in("Book/"));
    QByteArray block = yf::loadTagCache(run.cacheFile).folders.at(book);
    block.chop(cut);
    QVERIFY(yf::storeTagCache(run.cacheFile, false, {{book, block}}, {}).ok());
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 2", "cached 2", "cache problem 0"}));
    QCOMPARE(run.feedTexts(), expected);
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 0", "cached 4", "cache problem 0"}));
}

void TestTagCache::leavesEveryFeedAsItWasWithTagsOff()
{
    TaggedRun run;
    run.request.readTags = false;
    QCOMPARE(summary(run.run()), QStringList({"finished 1", "read 0", "cached 0", "cache problem 0"}));
    const QByteArray book = run.feedTexts().value("-Book-.xml");
    QVERIFY(book.startsWith("<rss version=\"2.0\">\r\n<channel>\r\n<title>-Book-</title>"));
    QVERIFY(!book.contains("itunes"));
    QCOMPARE(book.count("<item>"), 3);  // the picture too, as ever
    QVERIFY(!QFileInfo::exists(run.cacheFile));
}

QTEST_GUILESS_MAIN(TestTagCache)
#include "tst_tag_cache.moc"
