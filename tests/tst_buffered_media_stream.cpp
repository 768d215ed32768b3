// Checks that the buffered media stream reads, seeks and tells exactly as TagLib's own file stream.
#include "fast/buffered_media_stream.h"
#include "media_fixture.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/tpropertymap.h>

#include <fcntl.h>
#include <unistd.h>

using yf::fast::BufferedMediaStream;

namespace {

constexpr long kBothEnds = BufferedMediaStream::kHeadBytes + BufferedMediaStream::kTailBytes;

QByteArray toQt(const TagLib::ByteVector &bytes) { return QByteArray(bytes.data(), bytes.size()); }

int openReadOnly(const QString &path) { return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC); }

// What a reader of tags makes of a stream: everything it prints, for comparing two streams.
QString tagsThrough(TagLib::IOStream &stream)
{
    const TagLib::FileRef file(&stream, true, TagLib::AudioProperties::Average);
    if (file.isNull())
        return QStringLiteral("(unreadable)");
    QString seen = QString::fromStdString(file.tag()->title().to8Bit(true)) + QLatin1Char('|')
                 + QString::fromStdString(file.tag()->album().to8Bit(true)) + QLatin1Char('|')
                 + QString::number(file.tag()->track()) + QLatin1Char('|')
                 + QString::fromStdString(file.file()->properties().toString().to8Bit(true));
    if (file.audioProperties())
        seen += QLatin1Char('|') + QString::number(file.audioProperties()->lengthInMilliseconds());
    return seen;
}

} // namespace

class TestBufferedMediaStream : public QObject {
    Q_OBJECT

private slots:
    void behavesAsTagLibsFileStream_data();
    void behavesAsTagLibsFileStream();
    void givesTagLibTheSameFile_data();
    void givesTagLibTheSameFile();
    void writesNothing();
    void fileCutShortAfterOpening();
    void notOpen();

private:
    QTemporaryDir m_dir;
};

void TestBufferedMediaStream::behavesAsTagLibsFileStream_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("empty file") << 0 << 1u;
    QTest::newRow("one byte") << 1 << 2u;
    QTest::newRow("smaller than TagLib's buffer") << 700 << 3u;
    QTest::newRow("a small episode, read whole") << 5300 << 4u;
    QTest::newRow("exactly both ends") << int(kBothEnds) << 5u;
    QTest::newRow("one byte more than both ends") << int(kBothEnds) + 1 << 6u;
    QTest::newRow("a gap between the ends") << 400 * 1024 << 7u;
    QTest::newRow("a gap, other positions") << 400 * 1024 + 333 << 8u;
}

// Random seeks from every origin, to places before the start and past the end, and reads of
// every length up to past the end: both streams must tell and return the same every time.
void TestBufferedMediaStream::behavesAsTagLibsFileStream()
{
    QFETCH(int, size);
    QFETCH(quint32, seed);
    const QString path = m_dir.filePath(QStringLiteral("bytes-%1.bin").arg(seed));
    QVERIFY(mediafixture::writeFile(path, mediafixture::randomBytes(size, seed)));

    TagLib::FileStream theirs(openReadOnly(path), true);
    BufferedMediaStream ours(openReadOnly(path));
    QVERIFY(theirs.isOpen() && ours.isOpen());
    QVERIFY(ours.readOnly());
    QCOMPARE(ours.length(), theirs.length());

    QRandomGenerator random(seed);
    const auto anywhere = [&] { return long(random.bounded(-size - 20, 2 * size + 20)); };
    for (int step = 0; step < 2000; ++step) {
        const int what = random.bounded(6);
        if (what == 0) {
            const long offset = anywhere();
            theirs.seek(offset, TagLib::IOStream::Beginning);
            ours.seek(offset, TagLib::IOStream::Beginning);
        } else if (what == 1) {
            const long offset = long(random.bounded(-size / 2 - 10, size / 2 + 10));
            theirs.seek(offset, TagLib::IOStream::Current);
            ours.seek(offset, TagLib::IOStream::Current);
        } else if (what == 2) {
            const long offset = long(random.bounded(-size - 10, 20));
            theirs.seek(offset, TagLib::IOStream::End);
            ours.seek(offset, TagLib::IOStream::End);
        } else {
            // Short reads as TagLib makes for headers, TagLib's own block size, and long ones.
            static constexpr unsigned long kLengths[] = {0, 1, 4, 10, 128, 1024, 4096};
            const unsigned long length = what == 5 ? static_cast<unsigned long>(random.bounded(2 * size + 2))
                                                   : kLengths[random.bounded(7)];
            const QByteArray expected = toQt(theirs.readBlock(length));
            QCOMPARE(toQt(ours.readBlock(length)), expected);
        }
        QCOMPARE(ours.tell(), theirs.tell());
    }
    QCOMPARE(ours.length(), theirs.length());
    // A file no longer than both ends is read once, when opened.
    if (size <= kBothEnds)
        QCOMPARE(ours.uncachedReads(), 0L);
    else
        QVERIFY(ours.uncachedReads() > 0);
}

void TestBufferedMediaStream::givesTagLibTheSameFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QString scratch = m_dir.filePath(QStringLiteral("scratch.mp3"));
    mediafixture::Tags tags;
    tags.title = QStringLiteral("Chapter One");
    tags.album = QStringLiteral("The Book");
    tags.albumArtist = QStringLiteral("The Reader");
    tags.track = 3;
    tags.disc = QStringLiteral("1/2");
    const auto tagged = [&](qint64 ms) {
        if (!mediafixture::writeMp3(scratch, ms, tags))
            return QByteArray();
        QFile f(scratch);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray small = tagged(250);
    const QByteArray large = tagged(20'000);  // longer than both ends
    QVERIFY(!small.isEmpty() && large.size() > kBothEnds);
    QTest::newRow("small tagged mp3") << small;
    QTest::newRow("large tagged mp3") << large;
    QTest::newRow("large mp3 with an ID3v1 tag at its end")
        << large + QByteArray("TAG") + QByteArray(30, 'T') + QByteArray(95, '\0');
    QTest::newRow("mp3 cut in the middle of a frame") << small.first(small.size() - 200);
    QTest::newRow("only the start of a tag") << small.first(40);
    QTest::newRow("random bytes") << mediafixture::randomBytes(9000, 42);
    QTest::newRow("tag header claiming 256 MB") << mediafixture::absurdTagHeader();
    QTest::newRow("untagged frames") << mediafixture::mpegFrames(400);
}

// TagLib itself, fed through either stream, must see the same tags and length.
void TestBufferedMediaStream::givesTagLibTheSameFile()
{
    QFETCH(QByteArray, bytes);
    const QString path = m_dir.filePath(QStringLiteral("media.mp3"));
    QVERIFY(mediafixture::writeFile(path, bytes));
    TagLib::FileStream theirs(openReadOnly(path), true);
    BufferedMediaStream ours(openReadOnly(path));
    QCOMPARE(tagsThrough(ours), tagsThrough(theirs));
}

void TestBufferedMediaStream::writesNothing()
{
    const QString path = m_dir.filePath(QStringLiteral("kept.bin"));
    const QByteArray bytes = mediafixture::randomBytes(3000, 9);
    QVERIFY(mediafixture::writeFile(path, bytes));
    {
        BufferedMediaStream stream(openReadOnly(path));
        stream.writeBlock(TagLib::ByteVector("overwritten"));
        stream.insert(TagLib::ByteVector("inserted"), 10, 5);
        stream.removeBlock(0, 100);
        stream.truncate(10);
        QCOMPARE(stream.length(), long(bytes.size()));
        QCOMPARE(stream.tell(), 0L);
    }
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), bytes);
}

// A file cut short while it is read: what was read at the start stays as it was, reads of
// what is gone come back short or empty, never with bytes that were not in the file.
void TestBufferedMediaStream::fileCutShortAfterOpening()
{
    const QString path = m_dir.filePath(QStringLiteral("shrinking.bin"));
    const QByteArray bytes = mediafixture::randomBytes(400 * 1024, 11);
    QVERIFY(mediafixture::writeFile(path, bytes));
    BufferedMediaStream stream(openReadOnly(path));
    QVERIFY(QFile::resize(path, 200 * 1024));

    stream.seek(10);
    QCOMPARE(toQt(stream.readBlock(100)), bytes.mid(10, 100));
    stream.seek(200 * 1024 - 50);
    QCOMPARE(toQt(stream.readBlock(4096)), bytes.mid(200 * 1024 - 50, 50));
    QCOMPARE(stream.tell(), 200L * 1024);
    stream.seek(300 * 1024);
    QVERIFY(stream.readBlock(100).isEmpty());
    QCOMPARE(stream.tell(), 300L * 1024);
    stream.seek(-100, TagLib::IOStream::End);  // the end as it was when opened, held in memory
    QCOMPARE(toQt(stream.readBlock(100)), bytes.right(100));
}

void TestBufferedMediaStream::notOpen()
{
    BufferedMediaStream stream(-1);
    QVERIFY(!stream.isOpen());
    stream.seek(10);
    QCOMPARE(stream.tell(), 0L);
    QCOMPARE(stream.length(), 0L);
    QVERIFY(stream.readBlock(10).isEmpty());
    // A length that cannot be: not open, and the descriptor it took over closed, not leaked.
    const QString path = m_dir.filePath(QStringLiteral("any.bin"));
    QVERIFY(mediafixture::writeFile(path, "bytes"));
    const int fd = openReadOnly(path);
    {
        BufferedMediaStream lost(fd, -1);
        QVERIFY(!lost.isOpen());
        QVERIFY(lost.readBlock(10).isEmpty());
    }
    QCOMPARE(::fcntl(fd, F_GETFD), -1);
}

QTEST_GUILESS_MAIN(TestBufferedMediaStream)
#include "tst_buffered_media_stream.moc"
