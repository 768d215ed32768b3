#include "settings/settings_target.h"

#include "runtime/file_system.h"

#include <QList>

#include <cerrno>
#include <climits>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf::settings_target {

namespace {

constexpr int kMostLinks = 40;  // as the kernel allows when it follows links itself

// A user as a person reads it: name and number, or the number alone.
QString userText(uid_t uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QStringLiteral("\"%1\" (uid %2)").arg(QString::fromLocal8Bit(found->pw_name)).arg(uid);
    return QStringLiteral("uid %1").arg(uid);
}

} // namespace

QString notTheRunnersReason(const QString &what, uid_t owner)
{
    return QStringLiteral("%1 belongs to %2, not to %3, who runs the program").arg(what, userText(owner), userText(::geteuid()));
}

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

QByteArray nameOf(const QByteArray &path) { return path.mid(path.lastIndexOf('/') + 1); }

Result<LinkTarget> followLinks(const QString &shown)
{
    LinkTarget target;
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

Status makeFoldersFor(const QByteArray &folder, const QString &shown)
{
    QByteArray existing = folder;
    QList<QByteArray> missing;
    struct stat st;
    while (::stat(existing.constData(), &st) != 0) {
        if (errno != ENOENT || parentOf(existing) == existing)
            return settingsErrno("Cannot create folder for settings file", shown, errno);
        missing.prepend(existing);
        existing = parentOf(existing);
    }
    if (!S_ISDIR(st.st_mode))
        return settingsErrno("Cannot create folder for settings file", shown, ENOTDIR);
    if (st.st_uid != ::geteuid() && !(st.st_mode & S_ISVTX))
        return settingsError("Cannot create settings file", shown,
                             notTheRunnersReason(QStringLiteral("the folder \"%1\"").arg(fs::displayPath(existing)),
                                                 st.st_uid));
    for (const QByteArray &dir : missing) {
        if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST)
            return settingsErrno("Cannot create folder for settings file", shown, errno);
    }
    return {};
}

} // namespace yf::settings_target
