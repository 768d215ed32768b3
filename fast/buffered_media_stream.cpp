#include "fast/buffered_media_stream.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace yf::fast {

namespace {

// The length of the open file `fd`, or -1.
long lengthOf(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 0)
        return -1;
    return static_cast<long>(st.st_size);
}

} // namespace

BufferedMediaStream::BufferedMediaStream(int fd)
    : BufferedMediaStream(fd, lengthOf(fd))
{
}

BufferedMediaStream::BufferedMediaStream(int fd, long size)
    : m_fd(fd)
{
    if (m_fd < 0 || size < 0) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_size = size;
    // A file no longer than both ends together is read whole, in one call.
    const bool whole = m_size <= kHeadBytes + kTailBytes;
    const long headWanted = whole ? m_size : kHeadBytes;
    const long tailWanted = whole ? 0 : kTailBytes;
    if (headWanted + tailWanted == 0)
        return;
    m_head = new char[static_cast<std::size_t>(headWanted + tailWanted)];
    m_headSize = readAt(m_head, headWanted, 0);
    if (tailWanted > 0) {
        m_tail = m_head + headWanted;
        m_tailStart = m_size - tailWanted;
        m_tailSize = readAt(m_tail, tailWanted, m_tailStart);
    }
}

BufferedMediaStream::~BufferedMediaStream()
{
    delete[] m_head;
    if (m_fd >= 0)
        ::close(m_fd);
}

long BufferedMediaStream::readAt(char *out, long count, off_t offset) const
{
    long done = 0;
    while (done < count) {
        const ssize_t got = ::pread(m_fd, out + done, static_cast<std::size_t>(count - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // the end (the file shrank since it was opened) or a read error: what came so far
        done += static_cast<long>(got);
    }
    return done;
}

const char *BufferedMediaStream::held(long at, long count) const
{
    if (m_head && at <= m_headSize - count)
        return m_head + at;
    if (m_tail && at >= m_tailStart && at - m_tailStart <= m_tailSize - count)
        return m_tail + (at - m_tailStart);
    return nullptr;
}

TagLib::FileName BufferedMediaStream::name() const
{
    // No name, like TagLib's stream over a descriptor: the content, not an extension, says
    // what kind of file it is.
    return "";
}

TagLib::ByteVector BufferedMediaStream::readBlock(unsigned long length)
{
    if (!isOpen() || length == 0 || m_position >= m_size)
        return {};
    // A TagLib block holds at most 4 GiB: a longer read of a larger file gets that much, never
    // more bytes than the block has room for.
    const long count = static_cast<long>(std::min<unsigned long>(
        {length, static_cast<unsigned long>(m_size - m_position), std::numeric_limits<unsigned int>::max()}));
    if (const char *bytes = held(m_position, count)) {
        m_position += count;
        return TagLib::ByteVector(bytes, static_cast<unsigned int>(count));
    }
    ++m_uncachedReads;
    TagLib::ByteVector block(static_cast<unsigned int>(count), '\0');
    const long got = readAt(block.data(), count, m_position);
    if (got < count)
        block.resize(static_cast<unsigned int>(got));
    m_position += got;
    return block;
}

// Read-only: writing leaves the file as it is, as on TagLib's read-only stream.
void BufferedMediaStream::writeBlock(const TagLib::ByteVector &) {}
void BufferedMediaStream::insert(const TagLib::ByteVector &, unsigned long, unsigned long) {}
void BufferedMediaStream::removeBlock(unsigned long, unsigned long) {}
void BufferedMediaStream::truncate(long) {}
bool BufferedMediaStream::readOnly() const { return true; }
bool BufferedMediaStream::isOpen() const { return m_fd >= 0; }

void BufferedMediaStream::seek(long offset, Position p)
{
    if (!isOpen())
        return;
    long from = 0;
    switch (p) {
    case Beginning:
        break;
    case Current:
        from = m_position;
        break;
    case End:
        from = m_size;
        break;
    default:
        return;
    }
    long to = 0;
    // A place before the start, or past what a long holds, is refused and the position kept.
    if (__builtin_add_overflow(from, offset, &to) || to < 0)
        return;
    m_position = to;
}

long BufferedMediaStream::tell() const { return isOpen() ? m_position : 0; }

long BufferedMediaStream::length() { return isOpen() ? m_size : 0; }

} // namespace yf::fast
