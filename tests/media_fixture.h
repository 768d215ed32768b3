// Makes small real media files (MPEG audio with ID3v2 tags) and hostile look-alikes for the tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>

#include <cstring>

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>

namespace mediafixture {

// What a file's tags say; an empty text or a zero number is left out of the tag.
struct Tags {
    QString title;
    QString comment;
    QString album;
    QString artist;
    QString albumArtist;
    unsigned track = 0;
    QString disc;  // as the tag holds it: "2" or "1/2"
};

// One MPEG-1 Layer III frame header: 128 kbit/s, 44.1 kHz, no padding, no CRC, joint stereo.
// Such a frame is 417 bytes long and a reader without a VBR header takes 417 * 8 / 128 ms
// (26.0625 ms) per frame from the bit rate.
inline constexpr unsigned char kFrameHeader[4] = {0xFF, 0xFB, 0x90, 0x00};
inline constexpr int kFrameBytes = 417;

// `frames` silent frames back to back.
inline QByteArray mpegFrames(int frames)
{
    QByteArray one(kFrameBytes, '\0');
    std::memcpy(one.data(), kFrameHeader, sizeof kFrameHeader);
    QByteArray all;
    all.reserve(qsizetype(frames) * kFrameBytes);
    for (int i = 0; i < frames; ++i)
        all.append(one);
    return all;
}

// What the first frame of an MP3 says about the rest, as encoders write it: nothing, or an
// "Info" header (what lame writes into a constant bit rate file), which gives a reader the
// frame count, and so the length, without a walk through the file.
enum class VbrHeader { None, Info };

// A silent frame (the same header) whose side information is followed by an "Info" header
// with flags for frames and bytes: `audioFrames` frames after it, and the stream's bytes,
// this frame included.
inline QByteArray infoFrame(int audioFrames)
{
    QByteArray frame(kFrameBytes, '\0');
    std::memcpy(frame.data(), kFrameHeader, sizeof kFrameHeader);
    const auto putBigEndian = [&frame](int at, quint32 value) {
        for (int i = 0; i < 4; ++i)
            frame[at + i] = char(value >> (24 - 8 * i));
    };
    constexpr int kAt = 4 + 32;  // after the header and an MPEG-1 two-channel frame's side information
    std::memcpy(frame.data() + kAt, "Info", 4);
    putBigEndian(kAt + 4, 0x1 | 0x2);
    putBigEndian(kAt + 8, quint32(audioFrames));
    putBigEndian(kAt + 12, quint32(audioFrames + 1) * kFrameBytes);
    return frame;
}

// The length a reader takes from an Info header counting `frames` frames, in milliseconds:
// 1152 samples a frame at 44.1 kHz, rounded to the nearest.
inline qint64 infoLengthOf(int frames) { return (qint64(frames) * 1152 * 1000 + 22050) / 44100; }

// The number of frames whose length, as a reader works it out, is closest to `ms`.
inline int framesFor(qint64 ms) { return int((ms * 128 + kFrameBytes * 4) / (kFrameBytes * 8)); }

// The length a reader gives a file of `frames` frames, in milliseconds.
inline qint64 lengthOf(int frames) { return qint64(frames) * kFrameBytes * 8 / 128; }

inline TagLib::String text(const QString &s) { return TagLib::String(s.toUtf8().constData(), TagLib::String::UTF8); }

// Writes `tags` into the MPEG file at `path` as an ID3v2.4 tag (replacing any other tag).
inline bool writeTags(const QString &path, const Tags &tags)
{
    TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
    if (!file.isValid())
        return false;
    TagLib::ID3v2::Tag *tag = file.ID3v2Tag(true);
    tag->setTitle(text(tags.title));
    tag->setComment(text(tags.comment));
    tag->setAlbum(text(tags.album));
    tag->setArtist(text(tags.artist));
    tag->setTrack(tags.track);
    TagLib::PropertyMap more = tag->properties();
    if (!tags.albumArtist.isEmpty())
        more.replace("ALBUMARTIST", TagLib::StringList(text(tags.albumArtist)));
    if (!tags.disc.isEmpty())
        more.replace("DISCNUMBER", TagLib::StringList(text(tags.disc)));
    tag->setProperties(more);
    return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4,
                     TagLib::File::DoNotDuplicate);
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// An MP3 of about `ms` milliseconds (see lengthOf(framesFor(ms)) for the exact figure), with
// `tags` when any is given. With an Info header in front, the same frames follow it and a
// reader takes infoLengthOf(framesFor(ms)).
inline bool writeMp3(const QString &path, qint64 ms, const Tags &tags = {}, VbrHeader header = VbrHeader::None)
{
    const int frames = framesFor(ms);
    const QByteArray audio = mpegFrames(frames);
    if (!writeFile(path, header == VbrHeader::Info ? infoFrame(frames) + audio : audio))
        return false;
    const bool untagged = tags.title.isEmpty() && tags.comment.isEmpty() && tags.album.isEmpty()
        && tags.artist.isEmpty() && tags.albumArtist.isEmpty() && tags.track == 0 && tags.disc.isEmpty();
    return untagged || writeTags(path, tags);
}

// `size` bytes that mean nothing, the same ones for the same seed.
inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// An ID3v2 header claiming a tag of the largest size its synch-safe field can say (256 MB)
// in front of a few frames: a reader must not believe it and allocate or loop on it.
inline QByteArray absurdTagHeader()
{
    QByteArray bytes("ID3\x04\x00\x00\x7F\x7F\x7F\x7F", 10);
    bytes.append("TIT2\x7F\x7F\x7F\x7F\x00\x00", 10);
    return bytes + mpegFrames(4);
}

} // namespace mediafixture
