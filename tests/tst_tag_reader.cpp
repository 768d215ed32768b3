// Reading one file's tags: what TagLib finds, which files are read at all, and hostile files.
#include "fixture.h"
#include "media_fixture.h"
#include "tags/media_details.h"
#include "tags/tag_reader.h"

#include <QTemporaryDir>

#include <taglib/apetag.h>
#include <taglib/fileref.h>
#include <taglib/id3v1tag.h>
#include <taglib/textidentificationframe.h>

#include <sys/stat.h>
#include <unistd.h>

using mediafixture::Tags;
using mediafixture::VbrHeader;
Q_DECLARE_METATYPE(mediafixture::Tags)
Q_DECLARE_METATYPE(mediafixture::VbrHeader)

// One of an MP3's tags: left out when not written, else its fields (an empty one left out).
struct TagFields {
    bool written = false;
    QString title;
    QString comment;
    QString album;
    QString artist;
    unsigned track = 0;
};
Q_DECLARE_METATYPE(TagFields)

class TestTagReader : public QObject {
    Q_OBJECT
private slots:
    void knowsMediaNames_data();
    void knowsMediaNames();
    void takesTheLeadingNumber_data();
    void takesTheLeadingNumber();
    void readsTagsAndLength_data();
    void readsTagsAndLength();
    void givesNoDetailsForHostileFiles_data();
    void givesNoDetailsForHostileFiles();
    void readsWhatIsLeftOfACutFile();
    void followsLinksOnlyInsideTheTree_data();
    void followsLinksOnlyInsideTheTree();
    void opensNothingButRegularFiles();
    void takesAlbumArtistAndDiscAsTagLibsPropertiesSay_data();
    void takesAlbumArtistAndDiscAsTagLibsPropertiesSay();
    void takesEachFieldFromTheFirstTagThatHasIt_data();
    void takesEachFieldFromTheFirstTagThatHasIt();

private:
    QByteArray path(const QString &relative) const { return QFile::encodeName(m_tmp.path() + "/in/" + relative); }
    QTemporaryDir m_tmp;
};

void TestTagReader::knowsMediaNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("media");
    for (const char *name : {"a.mp3", "a.m4a", "a.m4b", "a.aac", "a.ogg", "a.oga", "a.opus", "a.flac", "a.wav",
                             "a.mp4", "a.m4v", "a.mov", "SHOUT.MP3", "Mixed.FlAc", "x.y.opus"})
        QTest::newRow(name) << QByteArray(name) << true;
    for (const char *name : {"cover.jpg", "notes.pdf", "mp3", "a.mp3.part", "a.", "a.mp", ".mp3x", "a.wma"})
        QTest::newRow(name) << QByteArray(name) << false;
}

void TestTagReader::knowsMediaNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, media);
    QCOMPARE(yf::isMediaFileName(name), media);
}

void TestTagReader::takesTheLeadingNumber_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("number");
    QTest::newRow("plain") << QByteArray("2") << 2;
    QTest::newRow("of a set") << QByteArray("1/2") << 1;
    QTest::newRow("leading blank") << QByteArray(" 3") << 3;
    QTest::newRow("leading zero") << QByteArray("07") << 7;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("words") << QByteArray("one") << 0;
    QTest::newRow("absurd") << QByteArray("99999999999999999999") << 0;
}

void TestTagReader::takesTheLeadingNumber()
{
    QFETCH(QByteArray, text);
    QFETCH(int, number);
    QCOMPARE(yf::leadingNumber(text), number);
}

void TestTagReader::readsTagsAndLength_data()
{
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<QByteArray>("title");
    QTest::addColumn<QByteArray>("albumArtist");
    QTest::addColumn<int>("track");
    QTest::addColumn<int>("disc");
    QTest::addColumn<VbrHeader>("header");
    QTest::newRow("every tag") << Tags{"T\u00eftle", "C", "Al", "Ar", "AA", 3, "2/3"} << QByteArray("T\xc3\xaftle")
                               << QByteArray("AA") << 3 << 2 << VbrHeader::None;
    QTest::newRow("blank edges trimmed") << Tags{"  Spaced \t", {}, {}, {}, {}, 0, {}} << QByteArray("Spaced")
                                         << QByteArray() << 0 << 0 << VbrHeader::None;
    QTest::newRow("disc without a set") << Tags{"X", {}, {}, {}, {}, 12, "4"} << QByteArray("X") << QByteArray()
                                        << 12 << 4 << VbrHeader::None;
    QTest::newRow("no tags at all") << Tags{} << QByteArray() << QByteArray() << 0 << 0 << VbrHeader::None;
    // The length comes from the header's frame count, not from the bit rate and the file's size.
    QTest::newRow("Info header behind a tag") << Tags{"T", "C", "Al", "Ar", "AA", 3, "2/3"} << QByteArray("T")
                                              << QByteArray("AA") << 3 << 2 << VbrHeader::Info;
    QTest::newRow("Info header, no tags") << Tags{} << QByteArray() << QByteArray() << 0 << 0 << VbrHeader::Info;
}

void TestTagReader::readsTagsAndLength()
{
    QFETCH(Tags, tags);
    QFETCH(VbrHeader, header);
    QDir().mkpath(m_tmp.path() + "/in");
    const QString file = m_tmp.path() + "/in/" + QTest::currentDataTag() + ".mp3";
    QVERIFY(mediafixture::writeMp3(file, 10'000, tags, header));
    const std::optional<yf::MediaDetails> read = yf::TagReader(path({})).read(QFile::encodeName(file));
    QVERIFY(read.has_value());
    QTEST(read->title, "title");
    QTEST(read->albumArtist, "albumArtist");
    QTEST(read->track, "track");
    QTEST(read->disc, "disc");
    QCOMPARE(read->comment, tags.comment.toUtf8());
    QCOMPARE(read->album, tags.album.toUtf8());
    QCOMPARE(read->artist, tags.artist.toUtf8());
    const int frames = mediafixture::framesFor(10'000);
    QCOMPARE(read->lengthMs, header == VbrHeader::Info ? mediafixture::infoLengthOf(frames) : mediafixture::lengthOf(frames));
}

void TestTagReader::givesNoDetailsForHostileFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = mediafixture::mpegFrames(40);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("random bytes") << mediafixture::randomBytes(64 * 1024, 1);
    QTest::newRow("random after an ID3 mark") << QByteArray("ID3") + mediafixture::randomBytes(8 * 1024, 2);
    QTest::newRow("absurd tag size") << mediafixture::absurdTagHeader();
    QTest::newRow("cut inside the header") << good.left(3);
    QTest::newRow("cut inside a frame") << good.left(600);
    QTest::newRow("MP4 box of absurd size") << QByteArray("\xff\xff\xff\xf0" "ftypM4A ", 12) + mediafixture::randomBytes(256, 3);
    QTest::newRow("Ogg page of random body") << QByteArray("OggS\0\2", 6) + mediafixture::randomBytes(4096, 4);
    QTest::newRow("FLAC mark then random") << QByteArray("fLaC") + mediafixture::randomBytes(4096, 5);
    QTest::newRow("RIFF of absurd size") << QByteArray("RIFF\xff\xff\xff\x7fWAVEfmt \xff\xff\xff\x7f", 20);
}

void TestTagReader::givesNoDetailsForHostileFiles()
{
    QFETCH(QByteArray, bytes);
    QDir().mkpath(m_tmp.path() + "/in");
    // A hostile file must come back as a file without details: never a crash, a hang or a throw.
    for (const char *extension : {".mp3", ".m4a", ".ogg", ".flac", ".wav", ".opus"}) {
        const QString file = m_tmp.path() + "/in/hostile" + extension;
        QVERIFY(mediafixture::writeFile(file, bytes));
        const std::optional<yf::MediaDetails> read = yf::TagReader(path({})).read(QFile::encodeName(file));
        QVERIFY(read.has_value());
        QVERIFY2(read->title.isEmpty() && read->track == 0, extension);
    }
}

void TestTagReader::readsWhatIsLeftOfACutFile()
{
    // Cut anywhere (densely through the tag, sparsely through the frames), a tagged file gives
    // whatever is left, and never a longer length than it had.
    QDir().mkpath(m_tmp.path() + "/in");
    const QString tagged = m_tmp.path() + "/in/tagged.mp3";
    QVERIFY(mediafixture::writeMp3(tagged, 2'000, Tags{"Title", "Comment", {}, {}, {}, 1, {}}));
    const QByteArray whole = fixture::readFile(tagged);
    for (qsizetype cut = 0; cut < whole.size(); cut += cut < 1200 ? 7 : 1009) {
        QVERIFY(mediafixture::writeFile(tagged, whole.left(cut)));
        const std::optional<yf::MediaDetails> read = yf::TagReader(path({})).read(QFile::encodeName(tagged));
        QVERIFY(read.has_value());
        QVERIFY(read->lengthMs <= 2'100);
    }
}

void TestTagReader::followsLinksOnlyInsideTheTree_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<bool>("read");
    QTest::newRow("to a file beside it") << "Show/inside.mp3->real.mp3" << true;
    QTest::newRow("to a file in another folder of the tree") << "Show/across.mp3->../Other/real.mp3" << true;
    QTest::newRow("out of the tree") << "Show/outside.mp3->../../out/real.mp3" << false;
    QTest::newRow("to a file that is gone") << "Show/broken.mp3->nowhere.mp3" << false;
}

void TestTagReader::followsLinksOnlyInsideTheTree()
{
    QFETCH(QString, link);
    QFETCH(bool, read);
    QDir().mkpath(m_tmp.path() + "/out");
    for (const char *real : {"in/Show/real.mp3", "in/Other/real.mp3", "out/real.mp3"}) {
        QDir().mkpath(QFileInfo(m_tmp.path() + '/' + QLatin1String(real)).path());
        QVERIFY(mediafixture::writeMp3(m_tmp.path() + '/' + QLatin1String(real), 1'000, Tags{"Real", {}, {}, {}, {}, 0, {}}));
    }
    fixture::makeTree(m_tmp.path() + "/in", {link});
    const std::optional<yf::MediaDetails> details =
        yf::TagReader(path({})).read(path(link.left(link.indexOf("->"))));
    QCOMPARE(details.has_value(), read);
    if (read)
        QCOMPARE(details->title, QByteArray("Real"));
}

void TestTagReader::opensNothingButRegularFiles()
{
    QDir().mkpath(m_tmp.path() + "/in/Odd");
    // A pipe in place of a listed file must not stall the run waiting for a writer.
    QVERIFY(::mkfifo(path("Odd/pipe.mp3").constData(), 0644) == 0);
    QVERIFY(!yf::TagReader(path({})).read(path("Odd/pipe.mp3")).has_value());
    QVERIFY(QDir().mkpath(m_tmp.path() + "/in/Odd/folder.mp3"));
    QVERIFY(!yf::TagReader(path({})).read(path("Odd/folder.mp3")).has_value());
    QVERIFY(!yf::TagReader(path({})).read(path("Odd/missing.mp3")).has_value());
}

// An ID3v2 frame as written: its identifier and texts; a TXXX frame's first text is its description.
using Frame = QPair<QByteArray, QStringList>;

void TestTagReader::takesAlbumArtistAndDiscAsTagLibsPropertiesSay_data()
{
    QTest::addColumn<QList<Frame>>("frames");
    QTest::addColumn<bool>("titled");    // a title too, so that the ID3v2 tag is not empty
    QTest::addColumn<QString>("apeAlbumArtist");  // an APE tag beside the ID3v2 tag when not empty
    const Frame albumArtist{"TPE2", {"Tag Artist"}};
    const Frame userAlbumArtist{"TXXX", {"ALBUMARTIST", "User Artist"}};
    const Frame disc{"TPOS", {"2/3"}};
    QTest::newRow("album artist and disc frames") << QList<Frame>{albumArtist, disc} << true << QString();
    QTest::newRow("user frame before the album artist frame")
        << QList<Frame>{userAlbumArtist, albumArtist} << true << QString();
    QTest::newRow("album artist frame before the user frame")
        << QList<Frame>{albumArtist, userAlbumArtist} << true << QString();
    QTest::newRow("user frames in any case") << QList<Frame>{{"TXXX", {"albumartist", "Low"}}, {"TXXX", {"DiscNumber", "4"}}}
                                             << true << QString();
    QTest::newRow("several texts in one frame") << QList<Frame>{{"TPE2", {"First", "Second"}}} << true << QString();
    QTest::newRow("other user frames only") << QList<Frame>{{"TXXX", {"MOOD", "Calm"}}} << true << QString();
    QTest::newRow("a tag that is otherwise empty") << QList<Frame>{albumArtist, disc} << false << QString();
    QTest::newRow("an APE tag beside it") << QList<Frame>{disc} << true << QStringLiteral("Ape Artist");
    QTest::newRow("an APE tag beside an empty one") << QList<Frame>{albumArtist} << false << QStringLiteral("Ape Artist");
}

// The reader converts only some frames to properties; what it finds must be what TagLib's
// properties of the whole file say.
void TestTagReader::takesAlbumArtistAndDiscAsTagLibsPropertiesSay()
{
    QFETCH(QList<Frame>, frames);
    QFETCH(bool, titled);
    QFETCH(QString, apeAlbumArtist);
    QDir().mkpath(m_tmp.path() + "/in");
    const QString file = m_tmp.path() + "/in/" + QTest::currentDataTag() + ".mp3";
    QVERIFY(mediafixture::writeFile(file, mediafixture::mpegFrames(40)));
    {
        TagLib::MPEG::File mpeg(QFile::encodeName(file).constData(), false);
        TagLib::ID3v2::Tag *tag = mpeg.ID3v2Tag(true);
        if (titled)
            tag->setTitle("Title");
        for (const Frame &frame : frames) {
            TagLib::StringList texts;
            for (const QString &text : frame.second)
                texts.append(mediafixture::text(text));
            if (frame.first == "TXXX") {
                tag->addFrame(new TagLib::ID3v2::UserTextIdentificationFrame(texts.front(), TagLib::StringList(texts[1])));
            } else {
                auto *text = new TagLib::ID3v2::TextIdentificationFrame(frame.first.constData(), TagLib::String::UTF8);
                text->setText(texts);
                tag->addFrame(text);
            }
        }
        int kinds = TagLib::MPEG::File::ID3v2;
        if (!apeAlbumArtist.isEmpty()) {
            TagLib::PropertyMap ape;
            ape.insert("ALBUMARTIST", TagLib::StringList(mediafixture::text(apeAlbumArtist)));
            mpeg.APETag(true)->setProperties(ape);
            kinds |= TagLib::MPEG::File::APE;
        }
        QVERIFY(mpeg.save(kinds, TagLib::File::StripOthers, TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate));
    }
    const TagLib::FileRef whole(QFile::encodeName(file).constData());
    QVERIFY(!whole.isNull());
    const TagLib::PropertyMap properties = whole.file()->properties();
    const auto first = [&](const char *key) {
        const auto found = properties.find(key);
        return found == properties.end() || found->second.isEmpty()
                 ? QByteArray()
                 : QByteArray::fromStdString(found->second.front().to8Bit(true)).trimmed();
    };
    const std::optional<yf::MediaDetails> read = yf::TagReader(path({})).read(QFile::encodeName(file));
    QVERIFY(read.has_value());
    QCOMPARE(read->albumArtist, first("ALBUMARTIST"));
    QCOMPARE(read->disc, yf::leadingNumber(first("DISCNUMBER")));
}

void TestTagReader::takesEachFieldFromTheFirstTagThatHasIt_data()
{
    QTest::addColumn<TagFields>("id3v2");
    QTest::addColumn<TagFields>("ape");
    QTest::addColumn<TagFields>("id3v1");
    QTest::addColumn<TagFields>("expected");
    const TagFields none;
    // Beyond the Basic Multilingual Plane too, so that the UTF-8 is checked against TagLib's own.
    const TagFields two{true, "Two \U0001F3A7", "Two says", "Tw\u00f6's", "Two Ar", 2};
    const TagFields ape{true, "Ape", "Ape says", "Ape's", "Ape Ar", 5};
    const TagFields one{true, "One", "One says", "One's", "One Ar", 1};
    QTest::newRow("ID3v2 before APE and ID3v1") << two << ape << one << two;
    QTest::newRow("APE before ID3v1") << none << ape << one << ape;
    QTest::newRow("APE tag alone") << none << ape << none << ape;
    QTest::newRow("ID3v1 tag alone") << none << none << one << one;
    QTest::newRow("ID3v1 fills what ID3v2 lacks")
        << TagFields{true, {}, "Two says", {}, "Two Ar", 0} << none << one
        << TagFields{true, "One", "Two says", "One's", "Two Ar", 1};
    QTest::newRow("each field from its own tag")
        << TagFields{true, "Two", {}, {}, {}, 0} << TagFields{true, {}, "Ape says", {}, {}, 5} << one
        << TagFields{true, "Two", "Ape says", "One's", "One Ar", 5};
    // A blank field is not an empty one: it hides the next tag's, and is then trimmed away.
    QTest::newRow("blank ID3v2 title") << TagFields{true, "  ", {}, {}, {}, 0} << none << one
                                       << TagFields{true, {}, "One says", "One's", "One Ar", 1};
    QTest::newRow("no tag at all") << none << none << none << none;
}

// Whatever the reader takes from which tag, it must be what the file's own merged tag says.
void TestTagReader::takesEachFieldFromTheFirstTagThatHasIt()
{
    QFETCH(TagFields, id3v2);
    QFETCH(TagFields, ape);
    QFETCH(TagFields, id3v1);
    QFETCH(TagFields, expected);
    QDir().mkpath(m_tmp.path() + "/in");
    const QString file = m_tmp.path() + "/in/" + QTest::currentDataTag() + ".mp3";
    QVERIFY(mediafixture::writeFile(file, mediafixture::mpegFrames(40)));
    {
        TagLib::MPEG::File mpeg(QFile::encodeName(file).constData(), false);
        int kinds = TagLib::MPEG::File::NoTags;
        const auto fill = [](TagLib::Tag *tag, const TagFields &fields) {
            tag->setTitle(mediafixture::text(fields.title));
            tag->setComment(mediafixture::text(fields.comment));
            tag->setAlbum(mediafixture::text(fields.album));
            tag->setArtist(mediafixture::text(fields.artist));
            tag->setTrack(fields.track);
        };
        if (id3v2.written) {
            fill(mpeg.ID3v2Tag(true), id3v2);
            kinds |= TagLib::MPEG::File::ID3v2;
        }
        if (ape.written) {
            fill(mpeg.APETag(true), ape);
            kinds |= TagLib::MPEG::File::APE;
        }
        if (id3v1.written) {
            fill(mpeg.ID3v1Tag(true), id3v1);
            kinds |= TagLib::MPEG::File::ID3v1;
        }
        QVERIFY(mpeg.save(kinds, TagLib::File::StripOthers, TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate));
    }
    const std::optional<yf::MediaDetails> read = yf::TagReader(path({})).read(QFile::encodeName(file));
    QVERIFY(read.has_value());
    QCOMPARE(read->title, expected.title.toUtf8());
    QCOMPARE(read->comment, expected.comment.toUtf8());
    QCOMPARE(read->album, expected.album.toUtf8());
    QCOMPARE(read->artist, expected.artist.toUtf8());
    QCOMPARE(read->track, int(expected.track));

    const TagLib::FileRef whole(QFile::encodeName(file).constData());
    QVERIFY(!whole.isNull() && whole.tag());
    const auto merged = [](const TagLib::String &text) { return QByteArray::fromStdString(text.to8Bit(true)).trimmed(); };
    QCOMPARE(read->title, merged(whole.tag()->title()));
    QCOMPARE(read->comment, merged(whole.tag()->comment()));
    QCOMPARE(read->album, merged(whole.tag()->album()));
    QCOMPARE(read->artist, merged(whole.tag()->artist()));
    QCOMPARE(read->track, int(whole.tag()->track()));
}

QTEST_GUILESS_MAIN(TestTagReader)
#include "tst_tag_reader.moc"
