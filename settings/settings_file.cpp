#include "settings/settings_file.h"

#include "runtime/descriptor.h"
#include "runtime/file_system.h"
#include "runtime/process_token.h"
#include "settings/ini_text.h"
#include "settings/settings_target.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace yf {

namespace {

using namespace settings_target;

constexpr int kMostAttempts = 5;   // reads and edits before a file that keeps changing is given up
constexpr int kLockWaitMs = 5000;  // a run waits this long for another one's save, no longer

const char kReadFailed[] = "Cannot read settings file";
const char kWriteFailed[] = "Cannot write settings file";

using fs::Descriptor;

// The file at `name` in the folder `dirFd`, opened for reading, when it is there.
struct Found {
    Descriptor fd;
    struct stat st {};
    bool exists() const { return fd.valid(); }
};

// Opens the file without following a link, without blocking and without taking a terminal,
// should it have been swapped for something else since it was looked at; then checks that
// it is a regular file of the runner's own.
Result<Found> openAt(int dirFd, const QByteArray &name, const char *operation, const QString &shown)
{
    Found found;
    found.fd = Descriptor(::openat(dirFd, name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (!found.fd.valid()) {
        if (errno == ENOENT)
            return found;
        if (errno == ELOOP)
            return settingsError(operation, shown, QStringLiteral("not a regular file"));
        return settingsErrno(operation, shown, errno);
    }
    if (::fstat(found.fd.get(), &found.st) != 0)
        return settingsErrno(operation, shown, errno);
    if (!S_ISREG(found.st.st_mode))
        return settingsError(operation, shown, QStringLiteral("not a regular file"));
    if (found.st.st_uid != ::geteuid())
        return settingsError(operation, shown, notTheRunnersReason(QStringLiteral("it"), found.st.st_uid));
    return found;
}

// The text of an opened file, at most what a settings file may hold.
Result<QByteArray> readText(int fd, const char *operation, const QString &shown)
{
    QByteArray contents;
    char chunk[16384];
    for (qint64 at = 0;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return settingsErrno(operation, shown, errno);
        if (n == 0)
            break;
        if (contents.size() + n > kLargestUserText + kRoomForOwnLines)
            return settingsError(operation, shown, QStringLiteral("too large for a settings file"));
        contents.append(chunk, n);
        at += n;
    }
    if (!ini::looksLikeIniText(contents))
        return settingsError(operation, shown, QStringLiteral("not a settings file"));
    return contents;
}

// Opens the folder that holds the settings file and takes its lock, waiting a little for
// another run's save. A folder that may be passed through but not read cannot be locked,
// nor can one on a file system without locks; the check before the replacement still
// guards the file there.
Result<Descriptor> openLockedFolder(const QByteArray &folder, const QString &shown)
{
    Descriptor fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() && errno == EACCES)
        fd = Descriptor(::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return settingsErrno(kWriteFailed, shown, errno);
    for (int waited = 0; ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0; waited += 10) {
        if (errno != EWOULDBLOCK)
            break;
        if (waited >= kLockWaitMs)
            return settingsError(kWriteFailed, shown, QStringLiteral("another run holds its lock"));
        ::usleep(10000);
    }
    return fd;
}

// Whether the file at `name` is still the one that was read, with the same text.
bool unchanged(int dirFd, const QByteArray &name, const Found &read, const QByteArray &text)
{
    const Descriptor fd(::openat(dirFd, name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return !read.exists() && errno == ENOENT;
    struct stat st;
    if (!read.exists() || ::fstat(fd.get(), &st) != 0)
        return false;
    const struct stat &was = read.st;
    if (st.st_dev != was.st_dev || st.st_ino != was.st_ino || st.st_size != text.size() || st.st_mode != was.st_mode
        || st.st_uid != was.st_uid || st.st_gid != was.st_gid)
        return false;
    const Result<QByteArray> now = readText(fd.get(), kReadFailed, QString());
    return now.ok() && now.value() == text;
}

// Both descriptors written to here are fresh, so their offset is the file's start.
std::optional<Error> writeAll(int fd, const QByteArray &contents, const QString &shown)
{
    if (const int err = fs::writeAll(fd, contents.constData(), contents.size()); err != 0)
        return settingsErrno(kWriteFailed, shown, err);
    return std::nullopt;
}

// A new text is written beside the settings file as ".NAME.TOKEN-SERIAL.tmp": the token names
// the process that made it (see processToken), so that one a run killed before its rename left
// can be told from one another run is writing right now.
constexpr std::string_view kTemporaryEnd = ".tmp";
std::atomic<unsigned> g_temporarySerial{0};

QByteArray temporaryName(const QByteArray &name)
{
    return '.' + name + '.' + ownProcessToken() + '-' + QByteArray::number(g_temporarySerial.fetch_add(1))
        + QByteArray(kTemporaryEnd.data(), kTemporaryEnd.size());
}

// Removes from the folder `dirFd` the temporaries of the settings file `name` whose makers no
// longer run; anything else, a name of an earlier version's included, stays. Best effort: a
// folder that cannot be listed keeps them for a later save.
void removeStaleTemporaries(int dirFd, const QByteArray &name)
{
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return;
    DIR *dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return;
    }
    const QByteArray prefix = '.' + name + '.';
    while (const dirent *entry = ::readdir(dir)) {
        const std::string_view entryName(entry->d_name);
        if (!entryName.starts_with(std::string_view(prefix.constData(), prefix.size()))
            || !entryName.ends_with(kTemporaryEnd))
            continue;
        const std::string_view owner = entryName.substr(prefix.size(), entryName.size() - prefix.size() - kTemporaryEnd.size());
        const std::size_t serialAt = owner.rfind('-');
        if (serialAt != std::string_view::npos && !processMayRun(owner.substr(0, serialAt)))
            ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

// Writes `contents` into a new hidden file beside the settings file, with the old file's group
// and mode (its owner is the runner, as the new file's is); returns the new file's name.
Result<QByteArray> writeTemporary(int dirFd, const QByteArray &name, const Found &old, const QByteArray &contents,
                                  const QString &shown)
{
    for (int tries = 0; tries < 8; ++tries) {
        const QByteArray temporary = temporaryName(name);
        // A new file gets the mode the user's umask gives; a copy of an old one stays private
        // until it has the old one's mode.
        const Descriptor fd(::openat(dirFd, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                     old.exists() ? 0600 : 0666));
        if (!fd.valid() && errno == EEXIST)
            continue;
        if (!fd.valid())
            return settingsErrno(kWriteFailed, shown, errno);
        std::optional<Error> failure = writeAll(fd.get(), contents, shown);
        if (!failure && old.exists() && ::fchown(fd.get(), uid_t(-1), old.st.st_gid) != 0)
            failure = settingsErrno("Cannot keep the group of settings file", shown, errno);
        if (!failure && old.exists() && ::fchmod(fd.get(), old.st.st_mode & 07777) != 0)
            failure = settingsErrno("Cannot keep the mode of settings file", shown, errno);
        if (!failure && ::fsync(fd.get()) != 0)
            failure = settingsErrno(kWriteFailed, shown, errno);
        if (!failure)
            return temporary;
        ::unlinkat(dirFd, temporary.constData(), 0);
        return *failure;
    }
    return settingsErrno(kWriteFailed, shown, EEXIST);
}

enum class Replacement { Done, FileChanged, FolderNotWritable };

// Puts `contents` in place of the file read as `old` with `text`, unless it changed meanwhile.
Result<Replacement> replaceIfUnchanged(int dirFd, const QByteArray &name, const Found &old, const QByteArray &text,
                                       const QByteArray &contents, const std::function<void()> &beforeReplace,
                                       const QString &shown)
{
    const Result<QByteArray> temporary = writeTemporary(dirFd, name, old, contents, shown);
    if (!temporary.ok()) {
        if (old.exists() && temporary.error().osError == EACCES)
            return Replacement::FolderNotWritable;
        return temporary.error();
    }
    const QByteArray &from = temporary.value();
    if (beforeReplace)
        beforeReplace();
    if (!unchanged(dirFd, name, old, text)) {
        ::unlinkat(dirFd, from.constData(), 0);
        return Replacement::FileChanged;
    }
    // A file made anew replaces nothing: one that appeared meanwhile is read and edited instead.
    int renamed = old.exists() ? ::renameat(dirFd, from.constData(), dirFd, name.constData())
                               : ::renameat2(dirFd, from.constData(), dirFd, name.constData(), RENAME_NOREPLACE);
    if (renamed != 0 && !old.exists() && errno == EINVAL)  // a file system that cannot promise it
        renamed = ::renameat(dirFd, from.constData(), dirFd, name.constData());
    if (renamed == 0)
        return Replacement::Done;
    const int err = errno;
    ::unlinkat(dirFd, from.constData(), 0);
    if (err == EEXIST)
        return Replacement::FileChanged;
    return settingsErrno(kWriteFailed, shown, err);
}

// The same, writing over the old file's bytes: it keeps owner, group and mode by itself, but a
// run killed meanwhile can leave it half written, so this is only for a folder that takes no
// new file.
Result<Replacement> writeInPlaceIfUnchanged(int dirFd, const QByteArray &name, const Found &old,
                                            const QByteArray &text, const QByteArray &contents,
                                            const std::function<void()> &beforeReplace, const QString &shown)
{
    const Descriptor fd(::openat(dirFd, name.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return errno == ENOENT ? Result<Replacement>(Replacement::FileChanged) : settingsErrno(kWriteFailed, shown, errno);
    if (st.st_dev != old.st.st_dev || st.st_ino != old.st.st_ino)
        return Replacement::FileChanged;
    if (beforeReplace)
        beforeReplace();
    if (!unchanged(dirFd, name, old, text))
        return Replacement::FileChanged;
    if (std::optional<Error> failure = writeAll(fd.get(), contents, shown))
        return *failure;
    if (::ftruncate(fd.get(), contents.size()) != 0 || ::fsync(fd.get()) != 0)
        return settingsErrno(kWriteFailed, shown, errno);
    return Replacement::Done;
}

} // namespace

Result<QByteArray> readSettingsFile(const QString &path)
{
    const Result<LinkTarget> resolved = followLinks(path);
    if (!resolved.ok())
        return resolved.error();
    const LinkTarget &target = resolved.value();
    if (!target.exists)
        return QByteArray();
    if (!target.regular)
        return settingsError(kReadFailed, path, QStringLiteral("not a regular file"));
    const Descriptor folder(::open(parentOf(target.path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return settingsErrno(kReadFailed, path, errno);
    const Result<Found> found = openAt(folder.get(), nameOf(target.path), kReadFailed, path);
    if (!found.ok())
        return found.error();
    if (!found.value().exists())
        return QByteArray();
    return readText(found.value().fd.get(), kReadFailed, path);
}

Status editSettingsFile(const QString &path, bool createWhenMissing, const SettingsEdit &edit,
                        const std::function<void()> &beforeReplace)
{
    const Result<LinkTarget> resolved = followLinks(path);
    if (!resolved.ok())
        return resolved.error();
    const LinkTarget &target = resolved.value();
    if (target.exists && !target.regular)
        return settingsError(kWriteFailed, path, QStringLiteral("not a regular file"));
    if (!target.exists) {
        if (!createWhenMissing)
            return {};
        if (target.viaLink)
            return settingsError(kWriteFailed, path, QStringLiteral("the link leads to no file, and none is made there"));
        if (Status made = makeFoldersFor(parentOf(target.path), path); !made.ok())
            return made;
    }
    const Result<Descriptor> folder = openLockedFolder(parentOf(target.path), path);
    if (!folder.ok())
        return folder.error();
    const int dirFd = folder.value().get();
    const QByteArray name = nameOf(target.path);
    removeStaleTemporaries(dirFd, name);
    bool inPlace = false;
    for (int attempt = 0; attempt < kMostAttempts;) {
        const Result<Found> opened = openAt(dirFd, name, kWriteFailed, path);
        if (!opened.ok())
            return opened.error();
        const Found &found = opened.value();
        if (!found.exists() && !createWhenMissing)
            return {};
        if (found.exists() && !(found.st.st_mode & S_IWUSR))
            return {};  // frozen by its owner; even root leaves it so
        QByteArray text;
        if (found.exists()) {
            Result<QByteArray> read = readText(found.fd.get(), kWriteFailed, path);
            if (!read.ok())
                return read.error();
            text = std::move(read).value();
        }
        const Result<std::optional<QByteArray>> edited = edit(text);
        if (!edited.ok())
            return edited.error();
        if (!edited.value() || (found.exists() && *edited.value() == text))
            return {};
        const Result<Replacement> replaced =
            inPlace ? writeInPlaceIfUnchanged(dirFd, name, found, text, *edited.value(), beforeReplace, path)
                    : replaceIfUnchanged(dirFd, name, found, text, *edited.value(), beforeReplace, path);
        if (!replaced.ok())
            return replaced.error();
        if (replaced.value() == Replacement::Done)
            return {};
        if (replaced.value() == Replacement::FolderNotWritable)
            inPlace = true;
        else
            ++attempt;
    }
    return settingsError(kWriteFailed, path, QStringLiteral("it kept changing while it was being saved"));
}

} // namespace yf
