// The settings file: reads and writes one key of an INI file at a time.
#pragma once

#include "runtime/error.h"

#include <QString>

namespace yf {

// The stored value of `key` in `section`, or "" when the file, the section or the key is
// missing or the file cannot be read. Section and key names match without regard to case.
QString ReadIniValue(const QString &section, const QString &key, const QString &path);

// Stores `value` under `key` in `section`: creates the file and the section when missing,
// replaces an existing key where it stands, and keeps every other line. The file is
// replaced as a whole, so a failed write never leaves half a file. A file whose owner may
// not write it is left as it is and the call succeeds: that is how a user freezes the
// settings. A file that exists but cannot be parsed is not overwritten.
[[nodiscard]] Status WriteIniValue(const QString &section, const QString &key, const QString &value,
                                   const QString &path);

// Removes `key` from `section`, keeping every other line; a missing file, section or key
// is not an error.
[[nodiscard]] Status RemoveIniValue(const QString &section, const QString &key, const QString &path);

} // namespace yf
