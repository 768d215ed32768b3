#include "fast/directory_reader.h"

#include "runtime/file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace yf::fast {

namespace {

// The buffers of this thread that no reader holds; freed when the thread ends.
std::vector<std::unique_ptr<char[]>> &spareBuffers()
{
    thread_local std::vector<std::unique_ptr<char[]>> spare;
    return spare;
}

char *borrowBuffer()
{
    std::vector<std::unique_ptr<char[]>> &spare = spareBuffers();
    if (spare.empty())
        return new char[DirectoryReader::kBufferSize];
    char *buffer = spare.back().release();
    spare.pop_back();
    return buffer;
}

void giveBack(char *buffer) { spareBuffers().emplace_back(buffer); }

} // namespace

DirectoryReader::~DirectoryReader()
{
    close();
    // A reader is used on the thread that made it, so the buffer goes back where it came from.
    if (m_buffer)
        giveBack(m_buffer);
}

void DirectoryReader::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

Status DirectoryReader::openWith(const QByteArray &folder, const QByteArray &openPath, int flags)
{
    close();
    m_path = folder;
    m_readError = 0;
    m_atEnd = false;
    m_filled = m_at = 0;
    m_fd = ::open(openPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (m_fd < 0)
        return Error::fromErrno(ErrorKind::ListFolder, QStringLiteral("Cannot list folder"),
                                fs::displayPath(folder), errno);
    if (!m_buffer)
        m_buffer = borrowBuffer();
    return {};
}

Status DirectoryReader::open(const QByteArray &folder) { return openWith(folder, folder, 0); }

Status DirectoryReader::openNoFollow(const QByteArray &folder)
{
    // A trailing "/" would make the kernel follow a link after all.
    qsizetype length = folder.size();
    while (length > 1 && folder[length - 1] == '/')
        --length;
    return openWith(folder, folder.left(length), O_NOFOLLOW);
}

const dirent *DirectoryReader::next()
{
    if (m_fd < 0 || m_atEnd)
        return nullptr;
    if (m_at >= m_filled) {
        const ssize_t got = ::getdents64(m_fd, m_buffer, kBufferSize);
        if (got <= 0) {
            if (got < 0)
                m_readError = errno;
            m_atEnd = true;
            return nullptr;
        }
        m_filled = got;
        m_at = 0;
    }
    // The kernel's records are laid out as the C library's dirent, each 8-byte aligned.
    const auto *entry = reinterpret_cast<const dirent *>(m_buffer + m_at);
    m_at += entry->d_reclen;
    return entry;
}

Status DirectoryReader::status() const
{
    if (m_readError == 0)
        return {};
    return Error::fromErrno(ErrorKind::ListFolder, QStringLiteral("Cannot read folder"),
                            fs::displayPath(m_path), m_readError);
}

} // namespace yf::fast
