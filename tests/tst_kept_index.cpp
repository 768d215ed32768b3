// The index files and the list of feeds after an update: a full run's bytes, and left alone when their text stays.
#include "kept_run_fixture.h"

#include <sys/stat.h>

namespace {

using fixture::Library;

// What tells a file written again from one left alone.
QPair<qint64, qint64> inodeAndTime(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {-1, -1};
    return {qint64(st.st_ino), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// Changes a file of the kept run's output directory behind its back: "append FILE TEXT",
// "rewrite FILE" (the same bytes in a new file), "remove FILE".
void tamper(const Library &library, const QString &command)
{
    const QStringList words = command.split(' ');
    const QString path = library.tmp.path() + "/outA/" + words[1];
    if (words[0] == "append") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write(words.mid(2).join(' ').toUtf8() + '\n');
    } else if (words[0] == "rewrite") {
        const QByteArray bytes = fixture::readFile(path);
        QVERIFY(QFile::remove(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    } else {
        QVERIFY(words[0] == "remove" && QFile::remove(path));
    }
}

} // namespace

class TestKeptIndex : public QObject {
    Q_OBJECT
private slots:
    void updatesWriteWhatAFullRunWrites_data();
    void updatesWriteWhatAFullRunWrites();
    void filesWhoseTextStaysAreNotWritten_data();
    void filesWhoseTextStaysAreNotWritten();
};

void TestKeptIndex::updatesWriteWhatAFullRunWrites_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("tampering");
    QStringList nine;
    for (int k = 1; k <= 9; ++k)
        nine << QString("m/%1.mp3=%1").arg(k);
    const QStringList tree = QStringList{"a/1.mp3=1", "b/2.mp3=2", "b/c/3.mp3=3", "e/", "z/4.mp3=4"} + nine;
    QTest::newRow("an episode count gains a digit") << tree << QStringList{"add m/10.mp3=10"} << QStringList{};
    QTest::newRow("a title made longer") << tree << QStringList{"mv b/c b/a-much-longer-title"} << QStringList{};
    QTest::newRow("a new first entry") << tree << QStringList{"mkdir 0", "add 0/x.mp3=x"} << QStringList{};
    QTest::newRow("the first entry goes") << tree << QStringList{"rmdir a"} << QStringList{};
    QTest::newRow("the first and the last made again")
        << tree << QStringList{"add a/5.mp3=5", "add z/6.mp3=6"} << QStringList{};
    QTest::newRow("a new last entry after the empty ones") << tree << QStringList{"mkdir zz"} << QStringList{};
    QTest::newRow("the last with episodes becomes empty") << tree << QStringList{"rm z/4.mp3"} << QStringList{};
    QTest::newRow("an empty feed gets its first episode") << tree << QStringList{"add e/1.mp3=1"} << QStringList{};
    QTest::newRow("the only feed goes") << QStringList{"s/x.mp3"} << QStringList{"rmdir s"} << QStringList{};
    QTest::newRow("the first feed comes") << QStringList{"t/"} << QStringList{"rmdir t", "mkdir u", "add u/1.mp3"}
                                          << QStringList{};
    QTest::newRow("titles that need escaping")
        << QStringList{"a&b/<x>.mp3", QString::fromUtf8("é/y.mp3"), "q%20/1.mp3"}
        << QStringList{"add a&b/2.mp3", QString::fromUtf8("mkdir ü'q\""), QString::fromUtf8("add ü'q\"/1.mp3")}
        << QStringList{};
    QTest::newRow("a collision gives a feed's name to a new folder")
        << QStringList{"a-b/x.mp3", "a/"} << QStringList{"mkdir a/b", "add a/b/y.mp3"} << QStringList{};
    QTest::newRow("a collision goes") << QStringList{"a-b/x.mp3", "a/b/y.mp3"} << QStringList{"rmdir a/b"}
                                      << QStringList{};
    QTest::newRow("index page edited") << tree << QStringList{"add a/5.mp3"}
                                       << QStringList{"append index.html <!-- mine -->"};
    QTest::newRow("index page written anew, the same bytes")
        << tree << QStringList{"add a/5.mp3"} << QStringList{"rewrite index.html"};
    QTest::newRow("index page removed") << tree << QStringList{"rm b/2.mp3"} << QStringList{"remove index.html"};
    QTest::newRow("OPML file edited") << tree << QStringList{"mkdir y"} << QStringList{"append feeds.opml <x/>"};
    QTest::newRow("OPML file removed") << tree << QStringList{"add a/5.mp3"} << QStringList{"remove feeds.opml"};
    QTest::newRow("list written anew, then a feed goes")
        << tree << QStringList{"rmdir b/c"} << QStringList{"rewrite .yarrowfeed-feeds"};
    QTest::newRow("list edited, then a feed comes")
        << tree << QStringList{"mkdir n", "add n/1.mp3"} << QStringList{"append .yarrowfeed-feeds ghost.xml"};
    QTest::newRow("list removed, nothing else") << tree << QStringList{} << QStringList{"remove .yarrowfeed-feeds"};
}

void TestKeptIndex::updatesWriteWhatAFullRunWrites()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, changes);
    QFETCH(QStringList, tampering);
    Library library;
    fixture::makeTree(library.request.inputDir, tree);
    library.compare(library.kept->fullRun(), "first run");
    // One update first, so that the next starts from what an update left.
    library.compare(library.update(), "an update with nothing named");
    for (const QString &command : tampering)
        tamper(library, command);
    for (const QString &change : changes)
        library.change(change);
    library.compare(library.update(), "after the change");
    library.compare(library.update(), "one more");
    // And back again, the way an undo would come.
    library.change("mkdir zzz-undo");
    library.change("rmdir zzz-undo");
    library.compare(library.update(), "a folder that came and went");
}

void TestKeptIndex::filesWhoseTextStaysAreNotWritten_data()
{
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<QStringList>("written");
    const QString page = yf::kIndexPageFile;
    const QString opml = yf::kOpmlFile;
    const QString list = yf::kPublishedFeedsFile;
    QTest::newRow("nothing changed") << QStringList{} << QStringList{page, opml, list} << QStringList{};
    QTest::newRow("an episode added: its count and date only")
        << QStringList{"add b/3.mp3=3"} << QStringList{opml, list} << QStringList{page};
    QTest::newRow("an episode rewritten the same day")
        << QStringList{"write a/1.mp3=longer"} << QStringList{page, opml, list} << QStringList{};
    QTest::newRow("an empty folder gets an episode: it moves up")
        << QStringList{"add 0/1.mp3"} << QStringList{list} << QStringList{page, opml};
    QTest::newRow("a folder added") << QStringList{"mkdir n"} << QStringList{} << QStringList{page, opml, list};
}

void TestKeptIndex::filesWhoseTextStaysAreNotWritten()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, left);
    QFETCH(QStringList, written);
    Library library;
    fixture::makeTree(library.request.inputDir, {"a/1.mp3=1", "b/2.mp3=2", "0/"});
    library.compare(library.kept->fullRun(), "first run");
    const QString out = library.tmp.path() + "/outA/";
    // A file written now would show a new time even on a coarse clock.
    QMap<QString, QPair<qint64, qint64>> before;
    for (const QString &name : left + written) {
        const QString path = out + name;
        struct timespec old[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), old, AT_SYMLINK_NOFOLLOW) == 0);
        before[name] = inodeAndTime(path);
    }
    // The times just set are a change of their own: an update finds the files not as it left
    // them and takes the whole way once, which leaves them alone as their text is the same.
    library.compare(library.update(), "the whole way");
    for (const QString &name : left + written)
        QCOMPARE(inodeAndTime(out + name), before[name]);
    for (const QString &change : changes)
        library.change(change);
    library.compare(library.update(), "after the change");
    for (const QString &name : left)
        QVERIFY2(inodeAndTime(out + name) == before[name], qPrintable(name + " was written"));
    for (const QString &name : written)
        QVERIFY2(inodeAndTime(out + name) != before[name], qPrintable(name + " was not written"));
}

QTEST_GUILESS_MAIN(TestKeptIndex)
#include "tst_kept_index.moc"
