#include "runtime/atomic_file.h"

#include "runtime/descriptor.h"
#include "runtime/file_copy.h"

#include "fast/directory_reader.h"
#include "runtime/file_system.h"
#include "runtime/process_token.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <signal.h>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace yf {

namespace {

std::atomic<unsigned> g_serial{0};

// Named temporary files are ".yarrowfeed-TOKEN-SERIAL.tmp": a name no listing shows, and the
// process that made it (see processToken). Earlier versions wrote ".yarrowfeed-PID-SERIAL.tmp".
constexpr std::string_view kTempPrefix = ".yarrowfeed-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr int kNameAttempts = 100;

bool allDigits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether `name` is a temporary file whose maker has ended, so nothing will ever rename it.
bool isStaleTemporaryName(std::string_view name)
{
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix))
        return false;
    name = name.substr(kTempPrefix.size(), name.size() - kTempPrefix.size() - kTempSuffix.size());
    const std::size_t serialAt = name.rfind('-');
    if (serialAt == std::string_view::npos || !allDigits(name.substr(serialAt + 1)))
        return false;
    const std::string_view owner = name.substr(0, serialAt);
    if (allDigits(owner)) {
        // An earlier version's file, named by the process id alone. This version never makes
        // such names, so one under this process's id is a dead process's (a reused id).
        long pid = 0;
        const auto [end, error] = std::from_chars(owner.data(), owner.data() + owner.size(), pid);
        if (error != std::errc() || end != owner.data() + owner.size() || pid <= 0)
            return false;
        return pid == ::getpid() || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    }
    return !processMayRun(owner);
}

// `folder + "/.yarrowfeed-TOKEN-SERIAL.tmp"` with a serial not used before in this process.
void makeTemporaryName(QByteArray &path, const QByteArray &folder, const QByteArray &token)
{
    // No printf or number strings: this runs once per feed.
    char digits[16];
    const char *end = std::to_chars(digits, digits + sizeof digits, g_serial.fetch_add(1)).ptr;
    path.resize(0);
    path.reserve(folder.size() + token.size() + (end - digits) + 20);
    path.append(folder).append('/').append(kTempPrefix.data(), kTempPrefix.size()).append(token).append('-')
        .append(digits, end - digits).append(kTempSuffix.data(), kTempSuffix.size());
}

Status failure(ErrorKind kind, const char *what, const QByteArray &path, int err)
{
    return Error::fromErrno(kind, QString::fromLatin1(what), fs::displayPath(path), err);
}

// A new named temporary file in `folder`, open for writing, its path in `path`; -1 (errno set)
// when none can be made. O_EXCL keeps two writers apart.
int createNamed(const QByteArray &folder, QByteArray &path)
{
    const QByteArray token = ownProcessToken();
    int fd = -1;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        makeTemporaryName(path, folder, token);
        fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

// Gives the unnamed file `fd` a hidden name in `folder`, returned in `path`; 0 or an errno.
// Through /proc, which any user may do; else by the descriptor itself, which needs privilege.
int linkUnnamed(int fd, const QByteArray &folder, QByteArray &path)
{
    char proc[40] = "/proc/self/fd/";
    *std::to_chars(proc + 14, proc + sizeof proc - 1, fd).ptr = '\0';
    const QByteArray token = ownProcessToken();
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        makeTemporaryName(path, folder, token);
        if (::linkat(AT_FDCWD, proc, AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW) == 0)
            return 0;
        if (errno == EEXIST)
            continue;
        if (::linkat(fd, "", AT_FDCWD, path.constData(), AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Copies the unnamed file `fd` into a new named temporary file, for a system on which unnamed
// files cannot be linked (no /proc, no privilege); 0 or an errno.
int copyToNamed(int fd, const QByteArray &folder, QByteArray &path)
{
    const int named = createNamed(folder, path);
    if (named < 0)
        return errno;
    char block[64 * 1024];
    int err = 0;
    for (off_t at = 0; err == 0;) {
        const ssize_t n = ::pread(fd, block, sizeof block, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : 0;
            break;
        }
        err = fs::writeAll(named, block, n);
        at += n;
    }
    if (::close(named) != 0 && err == 0)
        err = errno;
    if (err != 0)
        ::unlink(path.constData());
    return err;
}

} // namespace

// Reaches into TemporaryFile for the functions that fill and empty it.
class TemporaryFileAccess {
public:
    static int &fd(TemporaryFile &file) { return file.m_fd; }
    static QByteArray &path(TemporaryFile &file) { return file.m_path; }
};

TemporaryFile::TemporaryFile(TemporaryFile &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_path(std::exchange(other.m_path, {}))
{
}

TemporaryFile &TemporaryFile::operator=(TemporaryFile &&other) noexcept
{
    if (this != &other) {
        discard();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::exchange(other.m_path, {});
    }
    return *this;
}

TemporaryFile::~TemporaryFile() { discard(); }

void TemporaryFile::discard()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));  // an unnamed file goes with its last descriptor
    if (!m_path.isEmpty())
        ::unlink(std::exchange(m_path, {}).constData());
}

namespace {

// A new temporary file in `folder` held by `file`, and the descriptor to write it through;
// -1 with errno set when none can be made.
int openTemporary(const QByteArray &folder, TemporaryFile &file, TemporaryStyle style)
{
    if (style == TemporaryStyle::Unnamed) {
        if (const int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666); fd >= 0)
            return TemporaryFileAccess::fd(file) = fd;
    }
    // No unnamed files here (an old kernel or a file system without them), or no file at
    // all: a named one, whose failure is then the one to report.
    return createNamed(folder, TemporaryFileAccess::path(file));
}

} // namespace

Result<TemporaryFile> writeTemporaryFile(const QByteArray &folder, const QByteArray &fileName,
                                         const QByteArray &contents, ErrorKind kind, TemporaryStyle style)
{
    TemporaryFile file;
    const int fd = openTemporary(folder, file, style);
    if (fd < 0)
        return failure(kind, "Cannot write file", folder + '/' + fileName, errno).error();
    int err = fs::writeAll(fd, contents.constData(), contents.size());
    if (!file.isUnnamed() && ::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        file.discard();  // closes an unnamed file, unlinks a named one
        return failure(kind, "Cannot write file", folder + '/' + fileName, err).error();
    }
    return file;
}

TemporaryFileStream::TemporaryFileStream(const QByteArray &folder, const QByteArray &fileName, ErrorKind kind)
    : m_target(folder + '/' + fileName), m_kind(kind)
{
    m_fd = openTemporary(folder, m_file, TemporaryStyle::Unnamed);
    if (m_fd < 0)
        m_error = errno;
}

TemporaryFileStream::~TemporaryFileStream()
{
    if (m_fd >= 0 && !m_file.isUnnamed())
        ::close(m_fd);
}

void TemporaryFileStream::append(QByteArrayView bytes)
{
    if (m_error == 0)
        m_error = fs::writeAll(m_fd, bytes.data(), bytes.size());
}

void TemporaryFileStream::copy(int from, off_t offset, off_t length)
{
    if (m_error == 0)
        m_error = copyFileRange(from, offset, m_fd, length);
}

Result<TemporaryFile> TemporaryFileStream::finish()
{
    if (m_fd >= 0 && !m_file.isUnnamed() && ::close(std::exchange(m_fd, -1)) != 0 && m_error == 0)
        m_error = errno;
    m_fd = -1;
    if (m_error != 0) {
        m_file.discard();
        return failure(m_kind, "Cannot write file", m_target, m_error).error();
    }
    return std::move(m_file);
}

Status putTemporaryFile(TemporaryFile &temporary, const QByteArray &folder, const QByteArray &fileName, ErrorKind kind)
{
    const QByteArray target = folder + '/' + fileName;
    QByteArray named = std::exchange(TemporaryFileAccess::path(temporary), {});
    if (const int fd = std::exchange(TemporaryFileAccess::fd(temporary), -1); fd >= 0) {
        // A rename cannot take an unnamed file, and a link replaces nothing: a hidden name
        // first, for as long as the rename takes.
        int err = linkUnnamed(fd, folder, named);
        if (err != 0)
            err = copyToNamed(fd, folder, named);
        ::close(fd);
        if (err != 0)
            return failure(kind, "Cannot write file", target, err);
    }
    if (named.isEmpty())
        return failure(kind, "Cannot write file", target, EBADF);
    if (::rename(named.constData(), target.constData()) != 0) {
        const int err = errno;
        ::unlink(named.constData());
        return failure(kind, "Cannot replace file", target, err);
    }
    return {};
}

Status replaceFile(const QByteArray &folder, const QByteArray &fileName,
                   const QByteArray &contents, ErrorKind kind)
{
    Result<TemporaryFile> temporary = writeTemporaryFile(folder, fileName, contents, kind);
    if (!temporary.ok())
        return temporary.error();
    TemporaryFile file = std::move(temporary).value();
    return putTemporaryFile(file, folder, fileName, kind);
}

void removeStaleTemporaryFiles(const QByteArray &folder)
{
    fast::DirectoryReader stream;
    if (!stream.open(folder).ok())
        return;
    while (const dirent *entry = stream.next()) {
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
            continue;  // a folder or a link is never one of ours
        if (isStaleTemporaryName(entry->d_name))
            ::unlinkat(stream.fd(), entry->d_name, 0);
    }
}

} // namespace yf
