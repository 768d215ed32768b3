// The directory reader: every entry whatever the folder's size and names, opening without links, errors as values.
#include "fast/directory_reader.h"
#include "fixture.h"

#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using yf::fast::DirectoryReader;

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// Every name `reader` gives until the end, "." and ".." left out; `dots` counts those.
std::multiset<std::string> readAll(DirectoryReader &reader, int *dots = nullptr)
{
    std::multiset<std::string> names;
    while (const dirent *entry = reader.next()) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            if (dots)
                ++*dots;
            continue;
        }
        names.insert(name);
    }
    return names;
}

// `count` names, each `length` bytes long (at least 6), ending in a number; `bytes` pads.
std::set<std::string> makeNames(int count, int length, char pad)
{
    std::set<std::string> names;
    for (int i = 0; i < count; ++i) {
        std::string number = "-" + std::to_string(i);
        names.insert(std::string(static_cast<std::size_t>(length) - number.size(), pad) + number);
    }
    return names;
}

// Made from the bytes themselves: names that are not UTF-8 would not survive a QString.
void createFiles(const QByteArray &folder, const std::set<std::string> &names)
{
    for (const std::string &name : names) {
        const QByteArray path = folder + '/' + QByteArray::fromStdString(name);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        QVERIFY2(fd >= 0, path.constData());
        ::close(fd);
    }
}

} // namespace

class TestDirectoryReader : public QObject {
    Q_OBJECT
private slots:
    void readsEveryEntry_data();
    void readsEveryEntry();
    void opensOnlyTheFolderItself_data();
    void opensOnlyTheFolderItself();
    void aFailedReadIsAStatus();
    void readersOpenTogetherKeepTheirOwnEntries();
};

void TestDirectoryReader::readsEveryEntry_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("length");
    QTest::addColumn<char>("pad");
    QTest::addColumn<bool>("noFollow");
    QTest::newRow("an empty folder") << 0 << 8 << 'a' << false;
    QTest::newRow("a few short names") << 5 << 6 << 'b' << true;
    QTest::newRow("more entries than one read holds") << 3000 << 20 << 'c' << false;
    QTest::newRow("names of 255 bytes across several reads") << 400 << 255 << 'd' << true;
    QTest::newRow("names of bytes beyond ASCII") << 700 << 60 << '\xe9' << false;
}

void TestDirectoryReader::readsEveryEntry()
{
    QFETCH(int, count);
    QFETCH(int, length);
    QFETCH(char, pad);
    QFETCH(bool, noFollow);
    QTemporaryDir tmp;
    const QByteArray folder = native(tmp.path()) + "/f";
    QVERIFY(QDir().mkpath(QFile::decodeName(folder)));
    const std::set<std::string> names = makeNames(count, length, pad);
    createFiles(folder, names);
    // Listed twice on this thread: the second reader gets the buffer the first gave back.
    for (int pass = 0; pass < 2; ++pass) {
        DirectoryReader reader;
        QVERIFY(noFollow ? reader.openNoFollow(folder + '/').ok() : reader.open(folder).ok());
        int dots = 0;
        const std::multiset<std::string> read = readAll(reader, &dots);
        QVERIFY(reader.status().ok());
        QCOMPARE(dots, 2);
        QCOMPARE(read.size(), names.size());  // no name twice, none lost at a buffer's edge
        QVERIFY(std::equal(read.begin(), read.end(), names.begin()));
        QVERIFY(reader.next() == nullptr);  // the end stays the end
    }
}

void TestDirectoryReader::opensOnlyTheFolderItself_data()
{
    QTest::addColumn<QString>("path");  // below the fixture
    QTest::addColumn<bool>("noFollow");
    QTest::addColumn<int>("osError");  // 0: opens; -1: refused as a link (ELOOP or ENOTDIR, by kernel)
    QTest::newRow("a folder") << "real" << true << 0;
    QTest::newRow("a link to a folder, followed") << "link" << false << 0;
    QTest::newRow("a link to a folder, not followed") << "link" << true << -1;
    QTest::newRow("a link to a folder with a slash, not followed") << "link/" << true << -1;
    QTest::newRow("a folder below a link, not followed") << "link/inner" << true << 0;
    QTest::newRow("a file") << "real/file" << true << ENOTDIR;
    QTest::newRow("a file, followed") << "real/file" << false << ENOTDIR;
    QTest::newRow("a link to a file, not followed") << "filelink" << true << -1;
    QTest::newRow("nothing there") << "missing" << false << ENOENT;
}

void TestDirectoryReader::opensOnlyTheFolderItself()
{
    QFETCH(QString, path);
    QFETCH(bool, noFollow);
    QFETCH(int, osError);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"real/inner/", "real/file", "link->real", "filelink->real/file"});
    const QByteArray folder = native(tmp.path() + '/' + path);
    DirectoryReader reader;
    const yf::Status opened = noFollow ? reader.openNoFollow(folder) : reader.open(folder);
    if (osError == 0) {
        QVERIFY(opened.ok());
        QVERIFY(reader.fd() >= 0);
        int dots = 0;
        readAll(reader, &dots);
        QCOMPARE(dots, 2);
        return;
    }
    QVERIFY(!opened.ok());
    QCOMPARE(opened.error().kind, yf::ErrorKind::ListFolder);
    if (osError < 0)
        QVERIFY2(opened.error().osError == ELOOP || opened.error().osError == ENOTDIR,
                 qPrintable(opened.error().reason));
    else
        QCOMPARE(opened.error().osError, osError);
    QCOMPARE(opened.error().path, tmp.path() + '/' + path);  // the path as given, slash and all
    QVERIFY(reader.next() == nullptr);
    QVERIFY(reader.status().ok());  // nothing was read, so nothing failed to read
}

void TestDirectoryReader::aFailedReadIsAStatus()
{
    // The folder of a process's open files can be opened while it lives and no longer read
    // once it has gone: the read fails, and says so.
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    const QByteArray folder = "/proc/" + QByteArray::number(child) + "/fd";
    DirectoryReader reader;
    const yf::Status opened = reader.open(folder);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    QVERIFY(opened.ok());
    QVERIFY(reader.next() == nullptr);
    const yf::Status read = reader.status();
    QVERIFY(!read.ok());
    QCOMPARE(read.error().kind, yf::ErrorKind::ListFolder);
    QCOMPARE(read.error().osError, ENOENT);
    QCOMPARE(read.error().path, QString::fromLatin1(folder));
    QCOMPARE(read.error().operation, QStringLiteral("Cannot read folder"));
}

void TestDirectoryReader::readersOpenTogetherKeepTheirOwnEntries()
{
    // Readers open at the same time on one thread, and readers on other threads, never share
    // a buffer: each reads its own folder to the end, across several reads, interleaved.
    QTemporaryDir tmp;
    const QByteArray first = native(tmp.path()) + "/first";
    const QByteArray second = native(tmp.path()) + "/second";
    QVERIFY(QDir().mkpath(QFile::decodeName(first)));
    QVERIFY(QDir().mkpath(QFile::decodeName(second)));
    const std::set<std::string> firstNames = makeNames(900, 80, 'x');
    const std::set<std::string> secondNames = makeNames(1100, 70, 'y');
    createFiles(first, firstNames);
    createFiles(second, secondNames);

    const auto interleaved = [&] {
        DirectoryReader a;
        DirectoryReader b;
        if (!a.open(first).ok() || !b.open(second).ok())
            return false;
        std::set<std::string> gotA, gotB;
        const dirent *fromA = nullptr;
        const dirent *fromB = nullptr;
        do {
            if ((fromA = a.next()) && fromA->d_name[0] != '.')
                gotA.insert(fromA->d_name);
            if ((fromB = b.next()) && fromB->d_name[0] != '.')
                gotB.insert(fromB->d_name);
        } while (fromA || fromB);
        return a.status().ok() && b.status().ok() && gotA == firstNames && gotB == secondNames;
    };
    bool onOthers[2] = {false, false};
    std::thread one([&] { onOthers[0] = interleaved() && interleaved(); });
    std::thread two([&] { onOthers[1] = interleaved(); });
    const bool here = interleaved();
    one.join();
    two.join();
    QVERIFY(here);
    QVERIFY(onOthers[0]);
    QVERIFY(onOthers[1]);
}

QTEST_GUILESS_MAIN(TestDirectoryReader)
#include "tst_directory_reader.moc"
