#include "runtime/file_contents.h"

#include "runtime/descriptor.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf {

namespace {

FileMatch kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return FileMatch::Folder;
    if (S_ISFIFO(mode))
        return FileMatch::Pipe;
    if (S_ISSOCK(mode))
        return FileMatch::Socket;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FileMatch::Device;
    return FileMatch::Differs;
}

} // namespace

bool fileHolds(const QByteArray &folder, const QByteArray &fileName, const QByteArray &contents)
{
    return matchFile(folder, fileName, contents) == FileMatch::Holds;
}

FileMatch matchFile(const QByteArray &folder, const QByteArray &fileName, const QByteArray &contents)
{
    QByteArray path;
    path.reserve(folder.size() + fileName.size() + 1);
    path.append(folder).append('/').append(fileName);
    // Non-blocking, so a named pipe without a writer opens at once rather than waiting for one.
    const fs::Descriptor file(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (file.get() < 0) {
        // A socket cannot be opened at all: look at what is there instead.
        if (errno == ENXIO && ::lstat(path.constData(), &st) == 0)
            return kindOf(st.st_mode);
        return FileMatch::Differs;
    }
    if (::fstat(file.get(), &st) != 0)
        return FileMatch::Differs;
    if (!S_ISREG(st.st_mode))
        return kindOf(st.st_mode);
    if (st.st_size != contents.size())
        return FileMatch::Differs;
    // Compared a block at a time: no copy of the whole file, and a difference stops the read.
    // Once the size the file had when opened has compared equal, no read for its end: feeds are
    // only ever replaced whole, never grown in place.
    char block[64 * 1024];
    qsizetype done = 0;
    for (;;) {
        if (done == contents.size())
            return FileMatch::Holds;
        const ssize_t n = ::read(file.get(), block, sizeof block);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FileMatch::Differs;
        }
        if (n == 0)
            return FileMatch::Differs;  // shorter than it was when opened
        if (done + n > contents.size() || std::memcmp(block, contents.constData() + done, static_cast<std::size_t>(n)) != 0)
            return FileMatch::Differs;
        done += n;
    }
}

} // namespace yf
