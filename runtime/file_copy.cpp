#include "runtime/file_copy.h"

#include "runtime/descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf {

namespace {

ssize_t kernelCopy(int from, off_t *fromOffset, int to, off_t *toOffset, std::size_t length, unsigned flags)
{
    return ::copy_file_range(from, fromOffset, to, toOffset, length, flags);
}

// Errors that say only that the kernel will not copy between these two files.
bool copyUnsupported(int err)
{
    return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == EBADF || err == EPERM
        || err == ETXTBSY;
}

int readAndWrite(int from, off_t offset, int to, off_t length)
{
    char block[64 * 1024];
    while (length > 0) {
        const auto wanted = static_cast<std::size_t>(std::min<off_t>(length, sizeof block));
        const ssize_t n = ::pread(from, block, wanted, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        if (const int err = fs::writeAll(to, block, n); err != 0)
            return err;
        offset += n;
        length -= n;
    }
    return 0;
}

} // namespace

std::optional<FileIdentity> fileIdentity(const struct stat &st)
{
    if (!S_ISREG(st.st_mode))
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino, st.st_size,
                        static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<FileIdentity> fileIdentity(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return std::nullopt;
    return fileIdentity(st);
}

std::optional<FileIdentity> fileIdentity(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return fileIdentity(st);
}

int copyFileRange(int from, off_t offset, int to, off_t length, CopyRangeCall call)
{
    if (!call)
        call = kernelCopy;
    while (length > 0) {
        const ssize_t n = call(from, &offset, to, nullptr, static_cast<std::size_t>(length), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && copyUnsupported(errno))
            return readAndWrite(from, offset, to, length);
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;  // the source ended early
        length -= n;
    }
    return 0;
}

} // namespace yf
