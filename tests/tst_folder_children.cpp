// The sub-folders a folder chooser lists: which ones, whether they open, and in what order.
#include "scan/folder_children.h"
#include "fixture.h"

#include <QTemporaryDir>


namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// "name" for a sub-folder that can be listed, "name (shut)" for one that cannot.
QList<QByteArray> describe(const std::vector<yf::FolderChild> &children)
{
    QList<QByteArray> lines;
    for (const yf::FolderChild &child : children)
        lines << (child.listable ? child.name : child.name + " (shut)");
    return lines;
}

// The listing of `folder` as seen by an unprivileged user when this process is root (root
// opens any folder whatever its mode), else as seen right here; one line per child.
QList<QByteArray> listedAsUnprivileged(const QByteArray &folder)
{
    const QStringList lines = fixture::asUnprivileged([&] {
        const yf::Result<std::vector<yf::FolderChild>> listed = yf::folderChildren(folder);
        QStringList described;
        if (!listed.ok())
            return QStringList{"error"};
        for (const QByteArray &line : describe(listed.value()))
            described << QString::fromUtf8(line);
        return described;
    });
    QList<QByteArray> bytes;
    for (const QString &line : lines)
        bytes << line.toUtf8();
    return bytes;
}

} // namespace

class TestFolderChildren : public QObject {
    Q_OBJECT
private slots:
    void listsVisibleSubFoldersInOrder_data();
    void listsVisibleSubFoldersInOrder();
    void greysOutChildrenThatCannotBeListed();
    void keepsBytesOfNamesThatAreNotUtf8();
    void refusesWhatCannotBeListed();
    void tellsFolderAccess_data();
    void tellsFolderAccess();
};

void TestFolderChildren::listsVisibleSubFoldersInOrder_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::newRow("empty folder") << QStringList{} << QList<QByteArray>{};
    QTest::newRow("hidden names left out") << QStringList{".git/", ".hidden/", "Visible/", "not.hidden/"}
                                           << QList<QByteArray>{"not.hidden", "Visible"};
    QTest::newRow("files and links to files left out")
        << QStringList{"file.mp3", "Sub/", "to-file->file.mp3", "broken->missing"} << QList<QByteArray>{"Sub"};
    QTest::newRow("links to folders listed, hidden ones not")
        << QStringList{"Real/", "Link->Real", ".dotlink->Real", "Far->/"} << QList<QByteArray>{"Far", "Link", "Real"};
    QTest::newRow("case folded, ties by bytes, marks by value")
        << QStringList{"b/", "B/", "a/", "C/", "_x/", "[y/", "{z/", "@w/"}
        << QList<QByteArray>{"@w", "[y", "_x", "a", "B", "b", "C", "{z"};
    QTest::newRow("long names differing late, numbers by value")
        << QStringList{"Episode Number 10/", "episode number 1/", "EPISODE NUMBER 2/"}
        << QList<QByteArray>{"episode number 1", "EPISODE NUMBER 2", "Episode Number 10"};
    QTest::newRow("accented names folded") << QStringList{"\u00e9t\u00e9/", "\u00c9t\u00e9 2/", "f/", "E/"}
                                           << QList<QByteArray>{"E", "f", "\xC3\xA9t\xC3\xA9", "\xC3\x89t\xC3\xA9 2"};
}

void TestFolderChildren::listsVisibleSubFoldersInOrder()
{
    QFETCH(QStringList, tree);
    QFETCH(QList<QByteArray>, expected);
    QTemporaryDir tmp;
    QVERIFY(QDir().mkpath(tmp.path() + "/in"));
    fixture::makeTree(tmp.path() + "/in", tree);
    const yf::Result<std::vector<yf::FolderChild>> listed = yf::folderChildren(native(tmp.path() + "/in"));
    QVERIFY(listed.ok());
    QCOMPARE(describe(listed.value()), expected);
    // A trailing "/" names the same folder.
    const yf::Result<std::vector<yf::FolderChild>> again = yf::folderChildren(native(tmp.path() + "/in/"));
    QVERIFY(again.ok());
    QCOMPARE(describe(again.value()), expected);
}

void TestFolderChildren::greysOutChildrenThatCannotBeListed()
{
    QTemporaryDir tmp;
    const QString in = tmp.path() + "/in";
    fixture::makeTree(in, {"Open/", "Shut/inner/", "Shut/!000", "Link->Shut"});
    QVERIFY(::chmod(native(tmp.path()).constData(), 0755) == 0);
    QVERIFY(::chmod(native(in).constData(), 0755) == 0);
    QCOMPARE(listedAsUnprivileged(native(in)), (QList<QByteArray>{"Link (shut)", "Open", "Shut (shut)"}));
    QVERIFY(::chmod(native(in + "/Shut").constData(), 0755) == 0);  // so it can be removed
}

void TestFolderChildren::keepsBytesOfNamesThatAreNotUtf8()
{
    QTemporaryDir tmp;
    const QByteArray in = native(tmp.path());
    for (const QByteArray &name : {QByteArray("caf\xE9"), QByteArray("Caf\xC3\xA9"), QByteArray("\xFF\xFE"), QByteArray("cafe")})
        QVERIFY(::mkdir((in + '/' + name).constData(), 0755) == 0);
    const yf::Result<std::vector<yf::FolderChild>> listed = yf::folderChildren(in);
    QVERIFY(listed.ok());
    // A byte that is not UTF-8 reads as U+FFFD, which folds after every letter.
    QCOMPARE(describe(listed.value()),
             (QList<QByteArray>{"cafe", "Caf\xC3\xA9", "caf\xE9", "\xFF\xFE"}));
    for (const yf::FolderChild &child : listed.value())
        ::rmdir((in + '/' + child.name).constData());
}

void TestFolderChildren::refusesWhatCannotBeListed()
{
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"file.mp3"});
    yf::Result<std::vector<yf::FolderChild>> listed = yf::folderChildren(native(tmp.path() + "/Gone"));
    QVERIFY(!listed.ok());
    QCOMPARE(listed.error().kind, yf::ErrorKind::ListFolder);
    QCOMPARE(listed.error().path, tmp.path() + "/Gone");
    QCOMPARE(listed.error().osError, ENOENT);
    listed = yf::folderChildren(native(tmp.path() + "/file.mp3"));
    QVERIFY(!listed.ok());
    QCOMPARE(listed.error().osError, ENOTDIR);
}

void TestFolderChildren::tellsFolderAccess_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("access");
    QTest::newRow("folder") << "Dir" << int(yf::FolderAccess::Listable);
    QTest::newRow("link to a folder") << "DirLink" << int(yf::FolderAccess::Listable);
    QTest::newRow("file") << "file.mp3" << int(yf::FolderAccess::NotAFolder);
    QTest::newRow("link to a file") << "FileLink" << int(yf::FolderAccess::NotAFolder);
    QTest::newRow("broken link") << "Broken" << int(yf::FolderAccess::NotAFolder);
    QTest::newRow("missing") << "Missing" << int(yf::FolderAccess::NotAFolder);
    QTest::newRow("root") << QString() << int(yf::FolderAccess::Listable);
}

void TestFolderChildren::tellsFolderAccess()
{
    QFETCH(QString, entry);
    QFETCH(int, access);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"Dir/", "DirLink->Dir", "file.mp3", "FileLink->file.mp3", "Broken->nowhere"});
    const QByteArray path = entry.isEmpty() ? QByteArray("/") : native(tmp.path() + '/' + entry);
    QCOMPARE(int(yf::folderAccess(path)), access);
}

QTEST_GUILESS_MAIN(TestFolderChildren)
#include "tst_folder_children.moc"
