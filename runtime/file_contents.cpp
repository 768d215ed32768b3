#include "runtime/file_contents.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

bool fileHolds(const QByteArray &folder, const QByteArray &fileName, const QByteArray &contents)
{
    QByteArray path;
    path.reserve(folder.size() + fileName.size() + 1);
    path.append(folder).append('/').append(fileName);
    const FileDescriptor file(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.get() < 0)
        return false;
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != contents.size())
        return false;
    // Compared a block at a time: no copy of the whole file, and a difference stops the read.
    // Once the size the file had when opened has compared equal, no read for its end: feeds are
    // only ever replaced whole, never grown in place.
    char block[64 * 1024];
    qsizetype done = 0;
    for (;;) {
        if (done == contents.size())
            return true;
        const ssize_t n = ::read(file.get(), block, sizeof block);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;  // shorter than it was when opened
        if (done + n > contents.size() || std::memcmp(block, contents.constData() + done, static_cast<std::size_t>(n)) != 0)
            return false;
        done += n;
    }
}

} // namespace yf
