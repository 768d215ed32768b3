// A read-only TagLib stream over an open file that serves the file's start and end from memory.
#pragma once

#include <taglib/tiostream.h>

#include <sys/types.h>

namespace yf::fast {

// Reading a media file's tags and length through the C library's streams costs TagLib some
// forty seek and read calls per file, since every seek drops the stream's buffer. Tags and
// the first frames sit at a file's start, the last frames and trailing tags at its end, so
// this stream reads the first kHeadBytes and the last kTailBytes when it is made (the whole
// file, when small, in one call) and answers every read inside them from memory; any other
// read is one pread of its own. Seeking, telling, the length and reads past the end behave
// as they do on TagLib's own file stream opened read-only; writing does nothing.
class BufferedMediaStream final : public TagLib::IOStream {
public:
    static constexpr long kHeadBytes = 128 * 1024;
    static constexpr long kTailBytes = 8 * 1024;

    // Takes `fd` over and closes it when destroyed, reading both ends now; `fd` < 0 (or one
    // that cannot be examined) gives a stream that is not open.
    explicit BufferedMediaStream(int fd);
    // The same for a caller that has just examined `fd` and found it `size` bytes long, which
    // spares the stream looking again; `size` < 0 gives a stream that is not open.
    BufferedMediaStream(int fd, long size);
    ~BufferedMediaStream() override;

    TagLib::FileName name() const override;
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector &data) override;
    void insert(const TagLib::ByteVector &data, unsigned long start = 0, unsigned long replace = 0) override;
    void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
    bool readOnly() const override;
    bool isOpen() const override;
    void seek(long offset, Position p = Beginning) override;
    long tell() const override;
    long length() override;
    void truncate(long length) override;

    // How many reads went to the file beyond the ones made when opening: a measure of how
    // well the buffered ends fit what TagLib asks.
    long uncachedReads() const { return m_uncachedReads; }

private:
    // Reads up to `count` bytes at `offset` into `out`; the bytes read (0 on failure).
    long readAt(char *out, long count, off_t offset) const;
    // The bytes [at, at + count) when a buffered end holds them all, else nullptr.
    const char *held(long at, long count) const;

    int m_fd = -1;
    long m_size = 0;      // the file's length when opened
    long m_position = 0;  // may lie past the end, as after a seek there
    char *m_head = nullptr;
    long m_headSize = 0;  // bytes of the start held, from offset 0
    char *m_tail = nullptr;
    long m_tailStart = 0;
    long m_tailSize = 0;
    long m_uncachedReads = 0;
};

} // namespace yf::fast
