// The settings file's keys: reads them, and changes a few of their lines in one step, touching nothing else.
#pragma once

#include "runtime/error.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace yf {

// Only a regular file, or a link to one, that belongs to the user the program runs as is
// ever read or written as the settings file (see settings_file.h for the whole rule). A
// path that names anything else (a directory, a device, a FIFO, a socket) reads as empty
// and is never opened in a way that could block or have an effect, nor replaced. Neither is
// a file that is not an INI text (a NUL byte, bytes that are not UTF-8) or one that is too
// large: more than 1 MiB of what a person wrote (the lines the program stores come on top).

// The value of the first `key` line in the first `section` (see ini::value), or "" when the
// file, the section or the key is missing. A file that is not one that may be read, or
// cannot be, is an error saying why.
[[nodiscard]] Result<QString> readSetting(const QString &section, const QString &key, const QString &path);

// One key to change: set to `value`, or, without one, its lines removed.
struct SettingChange {
    QString section;
    QString key;
    std::optional<QString> value;
};

// Makes `changes`, in order, in one read-edit-replace step (see editSettingsFile): a value is
// stored by changing that one line (see ini::withValue), a removal drops the key's lines (see
// ini::withoutKey), every other byte of the file stays as it was. A missing file is created
// when there is a value to store, with any missing folders above it; removals alone write
// nothing to a missing file. A file whose owner may not write it is left as it is and the
// call succeeds: that is how a user freezes the settings. A value that cannot be stored (see
// ini::isStorableValue) stops it before anything is read. `beforeReplace` is passed on.
[[nodiscard]] Status changeSettings(const QList<SettingChange> &changes, const QString &path,
                                    const std::function<void()> &beforeReplace = {});

// changeSettings for one key: stores `value` under `key` in `section`.
[[nodiscard]] Status writeSetting(const QString &section, const QString &key, const QString &value,
                                   const QString &path);

// changeSettings for one key: removes the lines for `key` in `section`; a missing file,
// section or key is not an error and writes nothing.
[[nodiscard]] Status removeSetting(const QString &section, const QString &key, const QString &path);

} // namespace yf
