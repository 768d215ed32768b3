#include "settings/ini_file.h"

#include "runtime/file_system.h"
#include "settings/ini_text.h"

#include <QSaveFile>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace yf {

namespace {

constexpr qint64 kLargestFile = 1 << 20;  // far beyond any settings file; keeps a stray big file out
constexpr int kMostLinks = 40;            // as the kernel allows when it follows links itself

Error settingsError(const char *operation, const QString &path, const QString &reason)
{
    return Error::failure(ErrorKind::WriteSettings, QString::fromLatin1(operation), path, reason);
}

Error settingsErrno(const char *operation, const QString &path, int err)
{
    return Error::fromErrno(ErrorKind::WriteSettings, QString::fromLatin1(operation), path, err);
}

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

// What the settings path names once its links are followed.
struct Target {
    QByteArray path;       // the path itself, or where its links lead
    bool exists = false;
    bool regular = false;
    bool viaLink = false;  // the path is a link (the linked file is the one read and written)
    mode_t mode = 0;
};

// Follows links one by one with lstat, so nothing at the path is ever opened to find out
// what it is, and a link whose target does not exist yet still says where the file goes.
Result<Target> resolve(const QString &shown)
{
    Target target;
    target.path = fs::encodePath(shown);
    for (int hop = 0; hop <= kMostLinks; ++hop) {
        struct stat st;
        if (::lstat(target.path.constData(), &st) != 0) {
            if (errno == ENOENT)
                return target;
            return settingsErrno("Cannot look at settings file", shown, errno);
        }
        if (!S_ISLNK(st.st_mode)) {
            target.exists = true;
            target.regular = S_ISREG(st.st_mode);
            target.mode = st.st_mode;
            return target;
        }
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(target.path.constData(), buffer, sizeof buffer);
        if (length < 0)
            return settingsErrno("Cannot look at settings file", shown, errno);
        if (length == static_cast<ssize_t>(sizeof buffer))
            return settingsErrno("Cannot look at settings file", shown, ENAMETOOLONG);
        const QByteArray destination(buffer, length);
        target.path = destination.startsWith('/') ? destination : parentOf(target.path) + '/' + destination;
        target.viaLink = true;
    }
    return settingsErrno("Cannot look at settings file", shown, ELOOP);
}

// The contents of the regular file at `path` (no link). The open neither blocks nor takes
// a controlling terminal should the file have been swapped for something else since it
// was looked at; what it opened is checked again before a byte is read.
Result<QByteArray> readRegularFile(const QByteArray &path, const QString &shown)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return settingsErrno("Cannot read settings file", shown, errno);
    QByteArray contents;
    struct stat st;
    std::optional<Error> failure;
    if (::fstat(fd, &st) != 0)
        failure = settingsErrno("Cannot read settings file", shown, errno);
    else if (!S_ISREG(st.st_mode))
        failure = settingsError("Cannot read settings file", shown, QStringLiteral("not a regular file"));
    char chunk[16384];
    while (!failure) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failure = settingsErrno("Cannot read settings file", shown, errno);
        else if (n == 0)
            break;
        else if (contents.size() + n > kLargestFile)
            failure = settingsError("Cannot read settings file", shown, QStringLiteral("too large for a settings file"));
        else
            contents.append(chunk, n);
    }
    ::close(fd);
    if (failure)
        return *failure;
    return contents;
}

// Creates `folder` and any missing folders above it, each private to the user.
Status makeFolders(const QByteArray &folder, const QString &shown)
{
    struct stat st;
    if (::stat(folder.constData(), &st) == 0)
        return {};
    if (errno != ENOENT)
        return settingsErrno("Cannot create folder for settings file", shown, errno);
    if (const QByteArray parent = parentOf(folder); parent != folder) {
        if (Status made = makeFolders(parent, shown); !made.ok())
            return made;
    }
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return settingsErrno("Cannot create folder for settings file", shown, errno);
    return {};
}

// Writes a temporary file beside `file` and renames it over it; QSaveFile gives the new
// file the old one's permissions.
Status replaceContents(const QByteArray &file, const QByteArray &contents, const QString &shown)
{
    QSaveFile out(fs::displayPath(file));
    // A writable config.ini in a folder the user may not write (beside an installed program)
    // cannot be replaced through a temporary file; writing it in place is the only way.
    out.setDirectWriteFallback(true);
    if (!out.open(QIODevice::WriteOnly) || out.write(contents) != contents.size() || !out.commit())
        return settingsError("Cannot write settings file", shown, out.errorString());
    return {};
}

// Gives the file's text to `edit` and stores what it returns; nothing returned, or the
// same text, writes nothing. A missing file is edited from "" only when `createWhenMissing`.
using Edit = std::function<std::optional<QByteArray>(QByteArrayView text)>;

Status editFile(const QString &path, bool createWhenMissing, const Edit &edit)
{
    const Result<Target> resolved = resolve(path);
    if (!resolved.ok())
        return resolved.error();
    const Target &target = resolved.value();
    QByteArray text;
    if (target.exists) {
        if (!target.regular)
            return settingsError("Cannot write settings file", path, QStringLiteral("not a regular file"));
        if (!(target.mode & S_IWUSR))
            return {};  // frozen by its owner; even root leaves it so
        Result<QByteArray> read = readRegularFile(target.path, path);
        if (!read.ok())
            return read.error();
        text = std::move(read).value();
        if (!ini::looksLikeIniText(text))
            return settingsError("Cannot write settings file", path, QStringLiteral("not a settings file"));
    } else if (!createWhenMissing) {
        return {};
    }

    const std::optional<QByteArray> edited = edit(text);
    if (!edited || (target.exists && *edited == text))
        return {};
    // Only for the path itself: a dangling link's target folder is not ours to make.
    if (!target.exists && !target.viaLink) {
        if (Status made = makeFolders(parentOf(target.path), path); !made.ok())
            return made;
    }
    return replaceContents(target.path, *edited, path);
}

} // namespace

Result<QString> readSetting(const QString &section, const QString &key, const QString &path)
{
    const Result<Target> target = resolve(path);
    if (!target.ok())
        return target.error();
    if (!target.value().exists)
        return QString();
    if (!target.value().regular)
        return settingsError("Cannot read settings file", path, QStringLiteral("not a regular file"));
    const Result<QByteArray> text = readRegularFile(target.value().path, path);
    if (!text.ok())
        return text.error();
    if (!ini::looksLikeIniText(text.value()))
        return settingsError("Cannot read settings file", path, QStringLiteral("not a settings file"));
    return ini::value(text.value(), section, key).value_or(QString());
}

Status writeSetting(const QString &section, const QString &key, const QString &value,
                     const QString &path)
{
    if (!ini::isStorableValue(value))
        return settingsError("Cannot store this value in the settings file", path,
                             QStringLiteral("it holds a line break or a NUL character"));
    return editFile(path, true, [&](QByteArrayView text) -> std::optional<QByteArray> {
        return ini::withValue(text, section, key, value);
    });
}

Status removeSetting(const QString &section, const QString &key, const QString &path)
{
    return editFile(path, false, [&](QByteArrayView text) { return ini::withoutKey(text, section, key); });
}

} // namespace yf
