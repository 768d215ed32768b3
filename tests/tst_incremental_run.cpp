// Runs that redo only what changed: after every change their output and outcome are a full run's.
#include "generate/feed_index.h"
#include "generate/incremental_run.h"
#include "generate/published_feeds.h"
#include "run_fixture.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kRandomChanges = 60;
#else
constexpr int kRandomChanges = 240;
#endif

// A library at "<tmp>/in" whose kept run writes into "<tmp>/outA"; each check runs a fresh
// full run into the empty "<tmp>/outC" (same depth, so only the directory's name differs
// in the index files and messages) and one into "<tmp>/outB", which lives through the same
// history, so that what the kept run removed can be compared too.
struct Library {
    QTemporaryDir tmp;
    fixture::FixedClock clock;
    yf::RunRequest request;
    std::optional<yf::IncrementalRun> kept;
    QStringList blockers;  // folders put in the output directories where a feed would go
    yf::TreeChangeList changes;

    Library()
    {
        request.inputDir = tmp.path() + "/in";
        request.linkEntry = request.inputDir;
        request.outputDir = tmp.path() + "/outA";
        request.baseUrl = "http://127.0.0.1/";
        request.helperThreads = 1;
        for (const char *dir : {"in", "outA", "outB", "outside"})
            QDir().mkpath(tmp.path() + '/' + dir);
        kept.emplace(request, clock);
    }
    ~Library()
    {
        // Folders made unreadable or read-only would keep the temporary directory from going.
        for (const QString &dir : {tmp.path() + "/in", tmp.path() + "/outside"})
            if (QFileInfo::exists(dir))
                QProcess::execute("chmod", {"-R", "u+rwx", dir});
    }

    QString in(const QString &relative) const { return request.inputDir + '/' + relative; }
    QByteArray folderPath(const QString &relative) const
    {
        QString path = request.inputDir + '/' + relative;
        if (!path.endsWith('/'))
            path += '/';
        return QFile::encodeName(path);
    }
    static QString parentOf(const QString &relative)
    {
        const qsizetype slash = relative.lastIndexOf('/');
        return slash < 0 ? QString() : relative.left(slash);
    }
    void entriesChanged(const QString &folder) { changes.folders.push_back(folderPath(folder)); }
    void treeChanged(const QString &folder)
    {
        changes.subtrees.push_back(folderPath(folder));
        entriesChanged(parentOf(folder));
    }

    // Carries out one change as a person would and notes it as a watcher of the tree would:
    // "add F=text", "write F=text", "rm F", "mvfile F G", "mkdir D", "rmdir D", "mv D E"
    // (either may be "@name" for a folder outside the tree), "chmod MODE D", "block NAME",
    // "unblock NAME".
    void change(const QString &command)
    {
        const QStringList words = command.split(' ');
        const QString &verb = words[0];
        const auto path = [&](int k) { return words[k].startsWith('@') ? tmp.path() + "/outside/" + words[k].mid(1) : in(words[k]); };
        if (verb == "add" || verb == "write") {
            fixture::makeTree(request.inputDir, {words[1]});
            entriesChanged(parentOf(words[1].section('=', 0, 0)));
        } else if (verb == "rm") {
            QVERIFY(QFile::remove(in(words[1])));
            entriesChanged(parentOf(words[1]));
        } else if (verb == "mvfile") {
            QVERIFY(::rename(QFile::encodeName(in(words[1])).constData(), QFile::encodeName(in(words[2])).constData()) == 0);
            entriesChanged(parentOf(words[1]));
            entriesChanged(parentOf(words[2]));
        } else if (verb == "mkdir") {
            QVERIFY(QDir().mkpath(in(words[1])));
            treeChanged(words[1]);
        } else if (verb == "rmdir") {
            QProcess::execute("chmod", {"-R", "u+rwx", in(words[1])});
            QVERIFY(QDir(in(words[1])).removeRecursively());
            treeChanged(words[1]);
        } else if (verb == "mv") {
            QVERIFY2(::rename(QFile::encodeName(path(1)).constData(), QFile::encodeName(path(2)).constData()) == 0,
                     qPrintable(command));
            for (int k : {1, 2}) {
                if (!words[k].startsWith('@'))
                    treeChanged(words[k]);
            }
        } else if (verb == "chmod") {
            QVERIFY(::chmod(QFile::encodeName(in(words[2])).constData(), words[1].toUInt(nullptr, 8)) == 0);
            changes.subtrees.push_back(folderPath(words[2]));
        } else if (verb == "block" || verb == "unblock") {
            verb == "block" ? blockers.append(words[1]) : void(blockers.removeAll(words[1]));
            for (const char *out : {"outA", "outB"}) {
                const QString blocker = tmp.path() + '/' + out + '/' + words[1];
                QVERIFY(verb == "block" ? QDir().mkpath(blocker) : QDir().rmdir(blocker));
            }
        } else {
            QFAIL(qPrintable("unknown change " + command));
        }
    }

    yf::RunOutcome update()
    {
        yf::RunOutcome outcome = kept->update(changes);
        changes = {};
        return outcome;
    }

    yf::RunOutcome fullRunInto(const char *out)
    {
        yf::RunRequest full = request;
        full.outputDir = tmp.path() + '/' + out;
        return yf::generateFeeds(full, clock);
    }

    // Every file of an output directory with its bytes, the directory's name made "outA".
    QMap<QString, QByteArray> contents(const QString &out) const
    {
        QMap<QString, QByteArray> files;
        const QString dir = tmp.path() + '/' + out;
        for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System))
            files[name] = fixture::readFile(dir + '/' + name).replace(out.toUtf8(), "outA");
        return files;
    }
    static QStringList described(const std::vector<yf::Error> &errors, const QString &out)
    {
        QStringList lines;
        for (const yf::Error &error : errors)
            lines << QString::number(int(error.kind)) + ' ' + QString(error.message()).replace(out, "outA");
        return lines;
    }
    static QStringList removed(const std::vector<QString> &paths, const QString &out)
    {
        QStringList lines;
        for (QString path : paths)
            lines << path.replace(out, "outA");
        return lines;
    }

    // The kept run's outcome and output against a full run's at this moment.
    void compare(const yf::RunOutcome &outcome, const QString &when)
    {
        const QByteArray where = when.toUtf8();
        if (!outcome.finished())
            QFAIL(qPrintable(when + ": " + outcome.error->message()));
        const yf::RunOutcome lived = fullRunInto("outB");
        QVERIFY(QDir(tmp.path() + "/outC").removeRecursively() || !QFile::exists(tmp.path() + "/outC"));
        QDir().mkpath(tmp.path() + "/outC");
        for (const QString &blocker : blockers)
            QDir().mkpath(tmp.path() + "/outC/" + blocker);
        const yf::RunOutcome fresh = fullRunInto("outC");
        QCOMPARE(outcome.feedsWritten, fresh.feedsWritten);
        QVERIFY2(described(outcome.skipped, "outA") == described(fresh.skipped, "outC"), where);
        QVERIFY2(removed(outcome.removedFeeds, "outA") == removed(lived.removedFeeds, "outB"), where);
        QVERIFY2(described(outcome.cleanupProblems, "outA").isEmpty(), where);
        QVERIFY2(described(outcome.indexProblems, "outA") == described(fresh.indexProblems, "outC"), where);
        const QMap<QString, QByteArray> mine = contents("outA");
        QVERIFY2(mine.keys() == contents("outC").keys(), qPrintable(when + ": " + mine.keys().join(' ') + " / "
                                                                    + contents("outC").keys().join(' ')));
        QVERIFY2(mine == contents("outC"), where);
        QVERIFY2(mine == contents("outB"), where);
    }
};

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

namespace {

// Picks changes at random from what the tree holds now: files and folders added, removed,
// renamed, moved within, in and out, hidden, write-protected, unreadable, names that meet
// and names too long for a file.
class ChangePicker {
public:
    ChangePicker(Library &library, quint32 seed) : m_library(library), m_random(seed) {}

    QString next()
    {
        for (;;) {
            const QString command = attempt(int(m_random.bounded(15)));
            if (!command.isEmpty())
                return command;
        }
    }

private:
    QString pick(const QStringList &from) { return from.at(int(m_random.bounded(qsizetype(from.size())))); }
    bool isLocked(const QString &relative) const
    {
        for (const QString &locked : m_locked) {
            if (relative == locked || relative.startsWith(locked + '/'))
                return true;
        }
        return false;
    }
    // Whether a locked folder lies below `folder`: it would go with it, locked, out of sight.
    bool holdsLocked(const QString &folder) const
    {
        for (const QString &locked : m_locked) {
            if (locked.startsWith(folder + '/'))
                return true;
        }
        return false;
    }
    // The folders below the input directory ("" for itself) that changes may go into.
    QStringList folders(bool withRoot) const
    {
        QStringList found;
        if (withRoot)
            found << QString();
        const QString root = m_library.request.inputDir + '/';
        QDirIterator all(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (all.hasNext()) {
            const QString relative = all.next().mid(root.size());
            if (!isLocked(relative))
                found << relative;
        }
        return found;
    }
    QStringList files() const
    {
        QStringList found;
        const QString root = m_library.request.inputDir + '/';
        QDirIterator all(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (all.hasNext()) {
            const QString relative = all.next().mid(root.size());
            if (!isLocked(Library::parentOf(relative)))
                found << relative;
        }
        return found;
    }
    static QString below(const QString &folder, const QString &name) { return folder.isEmpty() ? name : folder + '/' + name; }
    QString freeName(const QString &folder, const QStringList &names)
    {
        const QString name = pick(names);
        return QFileInfo::exists(m_library.in(below(folder, name))) ? QString() : below(folder, name);
    }
    QString folderName()
    {
        static const QStringList names{"a", "b", "a-b", "b-a", "c", "a&b", QString::fromUtf8("\u00dcn\u00ef"),
                                       QString(240, 'L'), "x"};
        return pick(names);
    }

    QString attempt(int kind)
    {
        static const QStringList fileNames{"1.mp3", "2_x.mp3", "c&d.ogg", "e.txt", "Chapter10.mp3"};
        const QStringList some = folders(true);
        QStringList plain = folders(false);
        if (kind >= 7 && kind <= 11)
            plain.removeIf([&](const QString &folder) { return holdsLocked(folder); });
        const QString text = QString(int(m_random.bounded(1, 40)), QChar('a' + int(m_random.bounded(26))));
        switch (kind) {
        case 0:
        case 1: {
            const QString file = freeName(pick(some), fileNames);
            return file.isEmpty() ? QString() : "add " + file + '=' + text;
        }
        case 2:
            return files().isEmpty() ? QString() : "rm " + pick(files());
        case 3: {
            if (files().isEmpty())
                return {};
            const QString file = pick(files());
            const QString to = freeName(pick(some), fileNames);
            return to.isEmpty() ? QString() : "mvfile " + file + ' ' + to;
        }
        case 4:
            return files().isEmpty() ? QString() : "write " + pick(files()) + '=' + text;
        case 5:
        case 6: {
            const QString folder = freeName(pick(some), {folderName()});
            return folder.isEmpty() || folder.size() > 1500 ? QString() : "mkdir " + folder;
        }
        case 7:
            return plain.isEmpty() ? QString() : "rmdir " + pick(plain);
        case 8: {
            if (plain.isEmpty())
                return {};
            const QString from = pick(plain);
            const QString into = pick(some);
            if (into == from || into.startsWith(from + '/'))
                return {};
            const QString to = freeName(into, {folderName()});
            return to.isEmpty() || to.size() > 1500 ? QString() : "mv " + from + ' ' + to;
        }
        case 9: {
            if (plain.isEmpty())
                return {};
            m_outside << "@o" + QString::number(++m_moved);
            return "mv " + pick(plain) + ' ' + m_outside.last();
        }
        case 10: {
            if (m_outside.isEmpty())
                return {};
            const QString from = m_outside.takeAt(int(m_random.bounded(qsizetype(m_outside.size()))));
            const QString to = freeName(pick(some), {"a", "b", "in", "a-b"});
            if (to.isEmpty()) {
                m_outside << from;
                return {};
            }
            return "mv " + from + ' ' + to;
        }
        case 11: {
            if (plain.isEmpty())
                return {};
            const QString folder = pick(plain);
            const QString name = folder.section('/', -1);
            const QString to = freeName(Library::parentOf(folder), {name.startsWith('.') ? name.mid(1) + "-shown" : '.' + name});
            return to.isEmpty() ? QString() : "mv " + folder + ' ' + to;
        }
        case 12:
        case 13: {
            if (plain.isEmpty() || (kind == 13 && ::geteuid() == 0))
                return {};
            const QString folder = pick(plain);
            m_locked << folder;
            return QString(kind == 12 ? "chmod 555 " : "chmod 000 ") + folder;
        }
        default:
            if (m_locked.isEmpty())
                return {};
            // The last locked first: a folder locked earlier may lie below it.
            return "chmod 755 " + m_locked.takeLast();
        }
    }

    Library &m_library;
    QRandomGenerator m_random;
    QStringList m_locked;   // folders made read-only or unreadable, left alone until made writable again
    QStringList m_outside;  // folders moved out, waiting to come back
    int m_moved = 0;
};

} // namespace

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
