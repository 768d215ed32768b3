// Where a settings path leads once its links are followed, and whether its folder is the runner's to make files in.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace yf::settings_target {

// Failures of the settings file, with the settings path as the user gave it.
Error settingsError(const char *operation, const QString &path, const QString &reason);
Error settingsErrno(const char *operation, const QString &path, int err);

// The folder part of a path ("." when there is none) and the name in it.
QByteArray parentOf(const QByteArray &path);
QByteArray nameOf(const QByteArray &path);

// What the settings path names once its links are followed.
struct LinkTarget {
    QByteArray path;       // the path itself, or where its links lead
    bool exists = false;
    bool regular = false;
    bool viaLink = false;  // the path is a link (the linked file is the one read and written)
};

// Follows the links of `shown` one by one with lstat, so nothing at the path is ever opened
// to find out what it is, and a link whose target does not exist still says where it points.
[[nodiscard]] Result<LinkTarget> followLinks(const QString &shown);

// Why a file or folder of the user `owner` is left alone, `what` saying which one:
// "<what> belongs to "alice" (uid 1000), not to "root" (uid 0), who runs the program".
QString notTheRunnersReason(const QString &what, uid_t owner);

// Creates `folder` and any missing folders above it, each private to the user (0700), below
// the nearest folder that exists. That one must be the runner's own, or shared with the
// sticky bit (/tmp): root running with another user's HOME must not leave root's folders and
// files there, which the user could then no longer use.
[[nodiscard]] Status makeFoldersFor(const QByteArray &folder, const QString &shown);

} // namespace yf::settings_target
