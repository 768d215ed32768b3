#include "runtime/atomic_file.h"

#include "runtime/file_system.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace yf {

namespace {

std::atomic<unsigned> g_serial{0};

Status failure(ErrorKind kind, const char *what, const QByteArray &path, int err)
{
    return Error::fromErrno(kind, QString::fromLatin1(what), fs::displayPath(path), err);
}

Status writeAll(int fd, const QByteArray &contents)
{
    const char *p = contents.constData();
    qsizetype left = contents.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Error{ErrorKind::WriteFeed, {}, {}, {}, errno};
        }
        p += n;
        left -= n;
    }
    return {};
}

} // namespace

Status replaceFile(const QByteArray &folder, const QByteArray &fileName,
                   const QByteArray &contents, ErrorKind kind)
{
    const QByteArray target = folder + '/' + fileName;
    QByteArray temp;
    int fd = -1;
    // A name no listing shows (leading "."); O_EXCL keeps two writers apart.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        // No printf or number strings: this runs once per feed.
        char digits[48];
        char *end = std::to_chars(digits, digits + 20, static_cast<long>(::getpid())).ptr;
        *end++ = '-';
        end = std::to_chars(end, digits + 40, g_serial.fetch_add(1)).ptr;
        temp.resize(0);
        temp.reserve(folder.size() + (end - digits) + 20);
        temp.append(folder).append("/.yarrowfeed-").append(digits, end - digits).append(".tmp");
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return failure(kind, "Cannot write file", target, errno);

    if (Status s = writeAll(fd, contents); !s.ok()) {
        const int err = s.error().osError;
        ::close(fd);
        ::unlink(temp.constData());
        return failure(kind, "Cannot write file", target, err);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        return failure(kind, "Cannot write file", target, err);
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        return failure(kind, "Cannot replace file", target, err);
    }
    return {};
}

} // namespace yf
