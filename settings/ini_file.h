// The settings file: reads and writes one key of an INI file at a time, touching nothing else.
#pragma once

#include "runtime/error.h"

#include <QString>

namespace yf {

// Only a regular file, or a link to one, is ever read or written as the settings file. A
// path that names anything else (a directory, a device, a FIFO, a socket) reads as empty and
// is never opened in a way that could block or have an effect, nor replaced. Neither is a
// file that is not an INI text (a NUL byte, bytes that are not UTF-8) or larger than 1 MiB.

// The value of the first `key` line in the first `section` (see ini::value), or "" when the
// file, the section or the key is missing. A file that is not one that may be read, or
// cannot be, is an error saying why.
[[nodiscard]] Result<QString> readSetting(const QString &section, const QString &key, const QString &path);

// Stores `value` under `key` in `section` by changing that one line (see ini::withValue):
// every other byte of the file stays as it was. The file is created when missing, with any
// missing folders above it (mode 0700, as for a user's configuration folder). The file is
// replaced as a whole, keeping its mode, so a failed write never leaves half a file; through
// a link the linked file is replaced and the link kept. A file whose owner may not write it
// is left as it is and the call succeeds: that is how a user freezes the settings. Any
// other file that may not be written is reported and left as it is.
[[nodiscard]] Status writeSetting(const QString &section, const QString &key, const QString &value,
                                   const QString &path);

// Removes the lines for `key` in `section`, keeping every other byte; a missing file,
// section or key is not an error and writes nothing.
[[nodiscard]] Status removeSetting(const QString &section, const QString &key, const QString &path);

} // namespace yf
