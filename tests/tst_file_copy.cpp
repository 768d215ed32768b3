// Copying ranges between files, when the kernel copies and when it will not, and files written piece by piece.
#include "runtime/atomic_file.h"
#include "runtime/file_copy.h"
#include "run_fixture.h"

#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Stand-ins for copy_file_range: which way the kernel would answer.
int g_calls = 0;
ssize_t refusesAcrossFileSystems(int, off_t *, int, off_t *, std::size_t, unsigned)
{
    ++g_calls;
    errno = EXDEV;
    return -1;
}
ssize_t unknownToTheKernel(int, off_t *, int, off_t *, std::size_t, unsigned)
{
    ++g_calls;
    errno = ENOSYS;
    return -1;
}
// Copies three bytes at a time for two calls, then refuses: the rest must follow the bytes copied.
ssize_t copiesSomeThenRefuses(int from, off_t *offset, int to, off_t *, std::size_t length, unsigned flags)
{
    if (++g_calls > 2) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::copy_file_range(from, offset, to, nullptr, std::min<std::size_t>(length, 3), flags);
}
ssize_t failsOnTheDisk(int, off_t *, int, off_t *, std::size_t, unsigned)
{
    ++g_calls;
    errno = ENOSPC;
    return -1;
}

} // namespace

class TestFileCopy : public QObject {
    Q_OBJECT
private slots:
    void copiesTheRangeWhicheverWayTheKernelAnswers_data();
    void copiesTheRangeWhicheverWayTheKernelAnswers();
    void streamWritesPiecesAndFailsLeavingNothing();
    void identitySeesEveryKindOfChange();
};

void TestFileCopy::copiesTheRangeWhicheverWayTheKernelAnswers_data()
{
    QTest::addColumn<quintptr>("call");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("error");
    const auto as = [](yf::CopyRangeCall call) { return reinterpret_cast<quintptr>(call); };
    QTest::newRow("in the kernel") << quintptr(0) << qint64(5) << qint64(200000) << 0;
    QTest::newRow("another file system: read and written") << as(refusesAcrossFileSystems) << qint64(5) << qint64(200000) << 0;
    QTest::newRow("an old kernel: read and written") << as(unknownToTheKernel) << qint64(0) << qint64(70000) << 0;
    QTest::newRow("part copied, then refused") << as(copiesSomeThenRefuses) << qint64(7) << qint64(100000) << 0;
    QTest::newRow("nothing to copy") << as(refusesAcrossFileSystems) << qint64(9) << qint64(0) << 0;
    QTest::newRow("a real failure is said") << as(failsOnTheDisk) << qint64(0) << qint64(10) << ENOSPC;
    QTest::newRow("the source ends early") << quintptr(0) << qint64(299990) << qint64(20) << EIO;
    QTest::newRow("the source ends early, read and written")
        << as(refusesAcrossFileSystems) << qint64(299990) << qint64(20) << EIO;
}

void TestFileCopy::copiesTheRangeWhicheverWayTheKernelAnswers()
{
    QFETCH(quintptr, call);
    QFETCH(qint64, offset);
    QFETCH(qint64, length);
    QFETCH(int, error);
    QTemporaryDir dir;
    QByteArray source(300000, Qt::Uninitialized);
    for (qsizetype i = 0; i < source.size(); ++i)
        source[i] = char('a' + (i * 7 + i / 251) % 26);
    writeFile(dir.path() + "/from", source);
    const int from = ::open(native(dir.path() + "/from").constData(), O_RDONLY | O_CLOEXEC);
    const int to = ::open(native(dir.path() + "/to").constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    QVERIFY(from >= 0 && to >= 0);
    QCOMPARE(::write(to, "head", 4), ssize_t(4));
    g_calls = 0;
    const int result = yf::copyFileRange(from, offset, to, length, reinterpret_cast<yf::CopyRangeCall>(call));
    ::close(from);
    ::close(to);
    QCOMPARE(result, error);
    if (error == 0)
        QCOMPARE(fixture::readFile(dir.path() + "/to"), "head" + source.mid(offset, length));
}

void TestFileCopy::streamWritesPiecesAndFailsLeavingNothing()
{
    QTemporaryDir dir;
    const QByteArray folder = native(dir.path());
    writeFile(dir.path() + "/old", "0123456789");
    writeFile(dir.path() + "/target", "before");
    const int old = ::open((folder + "/old").constData(), O_RDONLY | O_CLOEXEC);
    {
        yf::TemporaryFileStream stream(folder, "target", yf::ErrorKind::WriteFeed);
        stream.append("<");
        stream.copy(old, 2, 3);
        stream.append(">");
        stream.copy(old, 8, 2);
        yf::Result<yf::TemporaryFile> file = stream.finish();
        QVERIFY(file.ok());
        yf::TemporaryFile ready = std::move(file).value();
        QVERIFY(yf::putTemporaryFile(ready, folder, "target", yf::ErrorKind::WriteFeed).ok());
    }
    QCOMPARE(fixture::readFile(dir.path() + "/target"), QByteArray("<234>89"));
    {
        // A range beyond the old file's end fails the stream; the target stays as it was.
        yf::TemporaryFileStream stream(folder, "target", yf::ErrorKind::WriteFeed);
        stream.append("new");
        stream.copy(old, 8, 5);
        stream.append("never written");
        const yf::Result<yf::TemporaryFile> file = stream.finish();
        QVERIFY(!file.ok());
        QVERIFY(file.error().message().contains("target"));
    }
    ::close(old);
    QCOMPARE(fixture::readFile(dir.path() + "/target"), QByteArray("<234>89"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"old", "target"}));
    yf::TemporaryFileStream nowhere(folder + "/missing", "target", yf::ErrorKind::WriteFeed);
    nowhere.append("lost");
    QVERIFY(!nowhere.finish().ok());
}

void TestFileCopy::identitySeesEveryKindOfChange()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/file";
    writeFile(path, "text");
    const std::optional<yf::FileIdentity> first = yf::fileIdentity(native(path));
    QVERIFY(first);
    QCOMPARE(yf::fileIdentity(native(path)), first);
    // Same size, written again a moment later.
    struct timespec later[2] = {{0, UTIME_OMIT}, {first->modifiedNs / 1000000000 + 1, 0}};
    writeFile(path, "TEXT");
    QVERIFY(::utimensat(AT_FDCWD, native(path).constData(), later, 0) == 0);
    QVERIFY(yf::fileIdentity(native(path)) != first);
    // The same bytes and times in a new file put in its place.
    const std::optional<yf::FileIdentity> second = yf::fileIdentity(native(path));
    writeFile(dir.path() + "/copy", "TEXT");
    QVERIFY(::utimensat(AT_FDCWD, native(dir.path() + "/copy").constData(), later, 0) == 0);
    QVERIFY(QFile::remove(path) && QFile::rename(dir.path() + "/copy", path));
    const std::optional<yf::FileIdentity> third = yf::fileIdentity(native(path));
    QVERIFY(third && third->modifiedNs == second->modifiedNs && third->size == second->size);
    QVERIFY(third != second);
    // A link or a folder has none.
    QVERIFY(::symlink("file", native(dir.path() + "/link").constData()) == 0);
    QVERIFY(!yf::fileIdentity(native(dir.path() + "/link")));
    QVERIFY(!yf::fileIdentity(native(dir.path())));
}

QTEST_GUILESS_MAIN(TestFileCopy)
#include "tst_file_copy.moc"
