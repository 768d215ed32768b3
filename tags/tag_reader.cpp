#include "tags/tag_reader.h"

#include "fast/buffered_media_stream.h"

#include <taglib/apetag.h>
#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf {

namespace {

QByteArray realPath(const QByteArray &path)
{
    char *real = ::realpath(path.constData(), nullptr);
    if (!real)
        return {};
    QByteArray result(real);
    std::free(real);
    return result;
}

// Non-blocking, so that a file swapped for a pipe since it was listed cannot stall a run.
int openPlainFile(const char *path)
{
    return ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

// The text as UTF-8 without blanks at either end: TagLib's own conversion (what to8Bit(true)
// gives, before it copies that into a string), copied once more, trimmed.
QByteArray trimmed(const TagLib::String &text)
{
    if (text.isEmpty())
        return {};
    const TagLib::ByteVector utf8 = text.data(TagLib::String::UTF8);
    return QByteArrayView(utf8.data(), static_cast<qsizetype>(utf8.size())).trimmed().toByteArray();
}

QByteArray firstOf(const TagLib::PropertyMap &properties, const char *key)
{
    const auto found = properties.find(key);
    if (found == properties.end() || found->second.isEmpty())
        return {};
    return trimmed(found->second.front());
}

// The properties that may hold the album artist and the disc number. An MPEG file's
// properties are its ID3v2 tag's unless that tag is empty, and converting every frame to
// properties costs a tenth of reading the file; so when that tag is the one, only its frames
// that can carry those two keys are converted, in the tag's order as TagLib merges them.
TagLib::PropertyMap propertiesForMore(const TagLib::FileRef &file)
{
    if (auto *mpeg = dynamic_cast<TagLib::MPEG::File *>(file.file()); mpeg && !mpeg->hasAPETag()) {
        const TagLib::ID3v2::Tag *id3v2 = mpeg->ID3v2Tag(false);
        if (id3v2 && !id3v2->isEmpty()) {
            TagLib::PropertyMap found;
            for (const TagLib::ID3v2::Frame *frame : id3v2->frameList()) {
                // A frame TagLib could not decode (compressed, say) is no text frame and adds nothing.
                const TagLib::ByteVector id = frame->frameID();
                if (id == "TXXX") {
                    if (const auto *user = dynamic_cast<const TagLib::ID3v2::UserTextIdentificationFrame *>(frame))
                        found.merge(user->asProperties());
                } else if (id == "TPE2" || id == "TPOS") {
                    if (const auto *text = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame *>(frame))
                        found.merge(text->asProperties());
                }
            }
            return found;
        }
    }
    return file.file()->properties();
}

// The tags whose fields a file's tag() gives, in the order it prefers them: each field from the
// first tag where it is not empty. An MPEG file's tag() asks its ID3v2, APE and ID3v1 tags in
// that order, and asks the one that has a field twice (once to see that it is not empty, once
// to return it), which costs a tenth of reading the file; asked here directly, once each.
using TagsInOrder = std::array<const TagLib::Tag *, 3>;

TagsInOrder tagsOf(const TagLib::FileRef &file)
{
    if (auto *mpeg = dynamic_cast<TagLib::MPEG::File *>(file.file()))
        return {mpeg->ID3v2Tag(false), mpeg->APETag(false), mpeg->ID3v1Tag(false)};
    return {file.tag(), nullptr, nullptr};
}

QByteArray firstText(const TagsInOrder &tags, TagLib::String (TagLib::Tag::*field)() const)
{
    for (const TagLib::Tag *tag : tags) {
        if (!tag)
            continue;
        // Not empty, though perhaps blank: then blank is what the field is, as with tag().
        if (const TagLib::String text = (tag->*field)(); !text.isEmpty())
            return trimmed(text);
    }
    return {};
}

unsigned firstTrack(const TagsInOrder &tags)
{
    for (const TagLib::Tag *tag : tags) {
        if (!tag)
            continue;
        if (const unsigned track = tag->track(); track > 0)
            return track;
    }
    return 0;
}

MediaDetails detailsOf(const TagLib::FileRef &file)
{
    MediaDetails details;
    const TagsInOrder tags = tagsOf(file);
    details.title = firstText(tags, &TagLib::Tag::title);
    details.comment = firstText(tags, &TagLib::Tag::comment);
    details.album = firstText(tags, &TagLib::Tag::album);
    details.artist = firstText(tags, &TagLib::Tag::artist);
    const unsigned track = firstTrack(tags);
    details.track = track <= 1'000'000 ? static_cast<int>(track) : 0;
    const TagLib::PropertyMap properties = propertiesForMore(file);
    details.albumArtist = firstOf(properties, "ALBUMARTIST");
    details.disc = leadingNumber(firstOf(properties, "DISCNUMBER"));
    if (const TagLib::AudioProperties *audio = file.audioProperties())
        details.lengthMs = std::max(0, audio->lengthInMilliseconds());
    return details;
}

} // namespace

TagReader::TagReader(const QByteArray &treeRoot)
{
    m_realRoot = realPath(treeRoot);
    if (!m_realRoot.isEmpty() && !m_realRoot.endsWith('/'))
        m_realRoot += '/';
}

int TagReader::openInsideTree(const QByteArray &path, long &size) const
{
    int fd = openPlainFile(path.constData());
    if (fd < 0 && errno == ELOOP && !m_realRoot.isEmpty()) {
        // A link: followed only when all of it resolves to a file in the tree.
        const QByteArray target = realPath(path);
        if (target.startsWith(m_realRoot))
            fd = openPlainFile(target.constData());
    }
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return -1;
    }
    size = static_cast<long>(st.st_size);
    return fd;
}

std::optional<MediaDetails> TagReader::read(const QByteArray &path) const
{
    long size = 0;
    const int fd = openInsideTree(path, size);
    if (fd < 0)
        return std::nullopt;
    try {
        // The stream takes the descriptor over and closes it; the length just examined spares
        // it a look of its own.
        fast::BufferedMediaStream stream(fd, size);
        if (!stream.isOpen())
            return MediaDetails();
        const TagLib::FileRef file(&stream, true, TagLib::AudioProperties::Average);
        if (file.isNull())
            return MediaDetails();
        return detailsOf(file);
    } catch (const std::exception &) {
        // Sizes in a hostile header that TagLib believed enough to allocate.
        return MediaDetails();
    }
}

} // namespace yf
