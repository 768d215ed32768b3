#include "runtime/atomic_file.h"

#include "fast/directory_reader.h"
#include "runtime/file_system.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <signal.h>
#include <string_view>
#include <unistd.h>

namespace yf {

namespace {

std::atomic<unsigned> g_serial{0};

// Temporary files are ".yarrowfeed-PID-SERIAL.tmp": a name no listing shows, and the
// process that made it.
constexpr std::string_view kTempPrefix = ".yarrowfeed-";
constexpr std::string_view kTempSuffix = ".tmp";

// The process id in a temporary file's name, or 0 for any other name.
pid_t temporaryFileOwner(std::string_view name)
{
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix))
        return 0;
    name = name.substr(kTempPrefix.size(), name.size() - kTempPrefix.size() - kTempSuffix.size());
    long pid = 0;
    const auto [afterPid, pidError] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (pidError != std::errc() || pid <= 0 || afterPid == name.data() + name.size() || *afterPid != '-')
        return 0;
    unsigned serial = 0;
    const char *end = name.data() + name.size();
    const auto [afterSerial, serialError] = std::from_chars(afterPid + 1, end, serial);
    if (serialError != std::errc() || afterSerial != end || afterPid + 1 == end)
        return 0;
    return static_cast<pid_t>(pid);
}

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
            return Error::fromErrno(ErrorKind::WriteFeed, {}, {}, errno);  // the caller names the file
        }
        p += n;
        left -= n;
    }
    return {};
}

} // namespace

Result<QByteArray> writeTemporaryFile(const QByteArray &folder, const QByteArray &fileName,
                                      const QByteArray &contents, ErrorKind kind)
{
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
        temp.append(folder).append('/').append(kTempPrefix.data(), kTempPrefix.size())
            .append(digits, end - digits).append(kTempSuffix.data(), kTempSuffix.size());
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    const auto target = [&] { return folder + '/' + fileName; };
    if (fd < 0)
        return failure(kind, "Cannot write file", target(), errno).error();
    if (Status s = writeAll(fd, contents); !s.ok()) {
        const int err = s.error().osError;
        ::close(fd);
        ::unlink(temp.constData());
        return failure(kind, "Cannot write file", target(), err).error();
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        return failure(kind, "Cannot write file", target(), err).error();
    }
    return temp;
}

Status putTemporaryFile(const QByteArray &temporary, const QByteArray &folder, const QByteArray &fileName,
                        ErrorKind kind)
{
    const QByteArray target = folder + '/' + fileName;
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int err = errno;
        ::unlink(temporary.constData());
        return failure(kind, "Cannot replace file", target, err);
    }
    return {};
}

void discardTemporaryFile(const QByteArray &temporary)
{
    if (!temporary.isEmpty())
        ::unlink(temporary.constData());
}

Status replaceFile(const QByteArray &folder, const QByteArray &fileName,
                   const QByteArray &contents, ErrorKind kind)
{
    const Result<QByteArray> temporary = writeTemporaryFile(folder, fileName, contents, kind);
    if (!temporary.ok())
        return temporary.error();
    return putTemporaryFile(temporary.value(), folder, fileName, kind);
}

void removeStaleTemporaryFiles(const QByteArray &folder)
{
    fast::DirectoryReader stream;
    if (!stream.open(folder).ok())
        return;
    const pid_t self = ::getpid();
    while (const dirent *entry = stream.next()) {
        const pid_t owner = temporaryFileOwner(entry->d_name);
        // A live process (ours, or one we may not signal) may still rename its file.
        if (owner == 0 || owner == self || ::kill(owner, 0) == 0 || errno != ESRCH)
            continue;
        ::unlinkat(stream.fd(), entry->d_name, 0);
    }
}

} // namespace yf
