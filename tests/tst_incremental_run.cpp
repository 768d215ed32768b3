// Runs that redo only what changed: after every change their output and outcome are a full run's.
#include "kept_run_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kRandomChanges = 60;
#else
constexpr int kRandomChanges = 240;
#endif

using fixture::ChangePicker;
using fixture::Library;

} // namespace

class TestIncrementalRun : public QObject {
    Q_OBJECT
private slots:
    void eachKindOfChangeGivesAFullRunsOutput_data();
    void eachKindOfChangeGivesAFullRunsOutput();
    void randomChangesGiveAFullRunsOutput();
    void namesThatAreNoFolderOfTheTreeJustWork();
    void failedUpdateForgetsWhatWasKept();
    void keptMemoryGrowsWithFoldersNotFiles();
};

void TestIncrementalRun::eachKindOfChangeGivesAFullRunsOutput_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<bool>("needsNonRoot");
    const QStringList tree{"a/one.mp3=1", "a/two.mp3=22", "a/sub/deep.mp3=3", "b/x.ogg=4", "b/y/z.mp3=5", "c/"};
    QTest::newRow("file added") << tree << QStringList{"add a/three.mp3=333"} << false;
    QTest::newRow("file removed") << tree << QStringList{"rm a/two.mp3"} << false;
    QTest::newRow("file renamed") << tree << QStringList{"mvfile a/one.mp3 a/uno.mp3"} << false;
    QTest::newRow("file moved to another folder") << tree << QStringList{"mvfile a/one.mp3 b/one.mp3"} << false;
    QTest::newRow("file rewritten") << tree << QStringList{"write b/x.ogg=longer now"} << false;
    QTest::newRow("folder created") << tree << QStringList{"mkdir c/new", "add c/new/n.mp3=n"} << false;
    QTest::newRow("folder removed") << tree << QStringList{"rmdir a/sub"} << false;
    QTest::newRow("folder with subfolders removed") << tree << QStringList{"rmdir b"} << false;
    QTest::newRow("folder renamed") << tree << QStringList{"mv a aa"} << false;
    QTest::newRow("folder moved within the tree") << tree << QStringList{"mv a/sub b/y/sub"} << false;
    QTest::newRow("folder moved above its old parent") << tree << QStringList{"mv b/y y"} << false;
    QTest::newRow("folder moved in from outside")
        << tree << QStringList{"mkdir c/tmp", "add c/tmp/o.mp3=o", "mv c/tmp @o", "mv @o c/o"} << false;
    QTest::newRow("folder moved out") << tree << QStringList{"mv b @b"} << false;
    QTest::newRow("folder made hidden") << tree << QStringList{"mv a .a"} << false;
    QTest::newRow("hidden folder shown") << QStringList{".h/s.mp3", "k/"} << QStringList{"mv .h h"} << false;
    QTest::newRow("folder write-protected") << tree << QStringList{"chmod 555 b"} << false;
    QTest::newRow("write-protected folder writable again")
        << QStringList{"p/q/r.mp3", "p/!555"} << QStringList{"chmod 755 p"} << false;
    QTest::newRow("folder made unreadable") << tree << QStringList{"chmod 000 a/sub"} << true;
    QTest::newRow("unreadable folder readable again")
        << QStringList{"u/v/w.mp3", "u/v/!000"} << QStringList{"chmod 755 u/v"} << true;
    QTest::newRow("a collision appears") << QStringList{"a-b/x.mp3", "a/"} << QStringList{"mkdir a/b"} << false;
    QTest::newRow("a collision goes") << QStringList{"a-b/x.mp3", "a/b/y.mp3"} << QStringList{"rmdir a/b"} << false;
    QTest::newRow("a collision elsewhere, renamed in")
        << QStringList{"a-b/x.mp3", "c/b/y.mp3", "a/"} << QStringList{"mv c/b a/b"} << false;
    QTest::newRow("a name made longer than a file name")
        << QStringList{"s/x.mp3", "t/"} << QStringList{"mv s " + QString(250, 'L')} << false;
    QTest::newRow("a long name made short")
        << QStringList{QString(250, 'L') + "/x.mp3", "t/"} << QStringList{"mv " + QString(250, 'L') + " s"} << false;
    QTest::newRow("a blocker in the output directory goes")
        << QStringList{"a/x.mp3", "b/"} << QStringList{"block a.xml", "unblock a.xml"} << false;
    QTest::newRow("nothing changed") << tree << QStringList{} << false;
    QTest::newRow("several changes at once")
        << tree << QStringList{"mv a/sub c/sub", "rmdir b/y", "mkdir b/y", "add b/y/again.mp3=a", "add a/n.mp3=n"} << false;
}

void TestIncrementalRun::eachKindOfChangeGivesAFullRunsOutput()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, changes);
    QFETCH(bool, needsNonRoot);
    if (needsNonRoot && ::geteuid() == 0)
        QSKIP("root reads every folder");
    Library library;
    fixture::makeTree(library.request.inputDir, tree);
    // A blocker set before the first run makes that feed skipped there.
    if (!changes.isEmpty() && changes.first().startsWith("block")) {
        library.change(changes.takeFirst());
        library.changes = {};
    }
    const yf::RunOutcome first = library.kept->fullRun();
    library.compare(first, "first run");
    QVERIFY(library.kept->ready());
    for (const QString &change : changes)
        library.change(change);
    library.compare(library.update(), "after the change");
    // And the next update, with nothing named, still holds.
    library.compare(library.update(), "one more");
}


void TestIncrementalRun::randomChangesGiveAFullRunsOutput()
{
    Library library;
    fixture::makeTree(library.request.inputDir,
                      {"a/1.mp3=1", "a/b/2.mp3=2", "a-b/3.mp3", "c/d/e/4.ogg=4", "c/f/", "g/5.mp3=55"});
    library.compare(library.kept->fullRun(), "first run");
    const quint32 seed = 20261208;
    ChangePicker picker(library, seed);
    QStringList burst;
    for (int done = 0; done < kRandomChanges;) {
        burst.clear();
        for (int k = 0; k < 10; ++k, ++done) {
            burst << picker.next();
            library.change(burst.last());
            if (QTest::currentTestFailed())
                return;
        }
        library.compare(library.update(), "seed " + QString::number(seed) + ", after " + burst.join(" ; "));
        if (QTest::currentTestFailed())
            return;
    }
}

void TestIncrementalRun::namesThatAreNoFolderOfTheTreeJustWork()
{
    Library library;
    fixture::makeTree(library.request.inputDir, {"a/1.mp3", "a/b/2.mp3", "c/3.mp3"});
    library.compare(library.kept->fullRun(), "first run");
    fixture::makeTree(library.request.inputDir, {"a/b/new.mp3", "n/4.mp3"});
    const QByteArray in = QFile::encodeName(library.request.inputDir);
    library.changes.folders = {in + "/a/b/", in + "/a/b/", in + "/a/b", in + "/nowhere/", "/elsewhere/", "", in + "/"};
    library.changes.subtrees = {in + "/n/", in + "/n", in + "/gone/deeper/", in + "/a/x/y/z/", "/elsewhere/", "",
                                in.left(in.lastIndexOf('/') + 1)};
    library.compare(library.update(), "unknown, duplicated and outside paths");
    // The input directory itself named: the whole tree is listed again.
    fixture::makeTree(library.request.inputDir, {"m/5.mp3"});
    library.changes.subtrees = {in + "/"};
    library.compare(library.update(), "the input directory named");
}

void TestIncrementalRun::failedUpdateForgetsWhatWasKept()
{
    class Cancelling : public yf::RunObserver {
    public:
        bool cancelRequested() const override { return true; }
    } cancelling;
    Library library;
    fixture::makeTree(library.request.inputDir, {"a/1.mp3", "b/2.mp3"});
    QVERIFY(!library.kept->ready());
    library.compare(library.kept->fullRun(), "first run");
    library.change("add a/3.mp3");
    const yf::RunOutcome cancelled = library.kept->update(library.changes, &cancelling);
    QVERIFY(cancelled.cancelled());
    QVERIFY(!library.kept->ready());
    QCOMPARE(library.kept->keptBytes(), std::size_t(0));
    // What was cancelled is not lost: the next run is a whole one.
    library.compare(library.update(), "after the cancelled update");
    QVERIFY(library.kept->ready());

    QVERIFY(QDir(library.request.inputDir).removeRecursively());
    library.changes.subtrees = {QFile::encodeName(library.request.inputDir) + "/a/"};
    QVERIFY(!library.update().finished());
    QVERIFY(!library.kept->ready());
}

void TestIncrementalRun::keptMemoryGrowsWithFoldersNotFiles()
{
    const auto keptFor = [](int files) {
        Library library;
        QStringList tree;
        for (int folder = 0; folder < 300; ++folder) {
            for (int file = 0; file < files; ++file)
                tree << QString("f%1/g/episode %2.mp3").arg(folder).arg(file);
        }
        fixture::makeTree(library.request.inputDir, tree);
        [&] { QVERIFY(library.kept->fullRun().finished()); }();
        return library.kept->keptBytes();
    };
    const std::size_t few = keptFor(1);
    const std::size_t many = keptFor(20);
    qInfo("kept for 600 folders: %zu bytes with 1 file each, %zu with 20", few, many);
    QVERIFY(few > 600 * 40);  // each folder costs its path at least
    QVERIFY(many < few + few / 10);
}

QTEST_GUILESS_MAIN(TestIncrementalRun)
#include "tst_incremental_run.moc"
