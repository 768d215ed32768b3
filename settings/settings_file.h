// The settings file on disk: found through its links, used only when it is the runner's own, replaced whole under a lock.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

namespace yf {

// What a person may write into a settings file; far beyond any real one, it keeps a stray big
// file out. The program's own few lines come on top, so a file of user text just under the
// limit still takes them: a file is read up to kLargestUserText + kRoomForOwnLines bytes.
inline constexpr qint64 kLargestUserText = 1 << 20;
inline constexpr qint64 kRoomForOwnLines = 64 << 10;

// The whole text of the settings file at `path`, "" when there is none (a link that leads to
// no file included). The path's links are followed; what they lead to is read only when it is
// a regular file owned by the user the program runs as (root reads only root's own file),
// holds INI text (see ini::looksLikeIniText) and is not too large. Anything else is an error
// saying why, and counts as a file that stores nothing.
[[nodiscard]] Result<QByteArray> readSettingsFile(const QString &path);

// What is to be stored, made from the file's text as it is now: nothing (or the same text)
// writes nothing; an error stops the write.
using SettingsEdit = std::function<Result<std::optional<QByteArray>>(QByteArrayView text)>;

// Reads the settings file, gives its text to `edit` and puts what comes back in its place in
// one step. The file is read, edited and replaced with an advisory lock (flock) on the folder
// that holds it: the file itself is replaced by a rename, so a lock on it would be held on a
// file that is gone. Programs that do not take the lock are guarded too: just before the
// replacement the file must still be the same file with the same text, else it is read and
// edited again (a few times), so a save made meanwhile is never lost.
//
// Only a file the runner owns is written (the rules of readSettingsFile); the replacement keeps
// its group and mode. A file whose owner may not write it is left as it is and the call
// succeeds: that is how a user freezes the settings. A missing file is edited from "" only
// when `createWhenMissing`, and never through a link (no file is made where a dangling link
// points); it and any missing folders above it (mode 0700) are made only inside a folder of
// the runner's own or a shared one with the sticky bit, such as /tmp. A writable file in a
// folder the runner may not write (beside an installed program) is written in place.
//
// `beforeReplace`, when given, is called each time the new text is ready, just before the
// check that the file has not changed (tests change the file there).
[[nodiscard]] Status editSettingsFile(const QString &path, bool createWhenMissing, const SettingsEdit &edit,
                                      const std::function<void()> &beforeReplace = {});

} // namespace yf
