// Replaces a file as a whole: readers see the old contents or the new, never a part.
#pragma once

#include "runtime/error.h"

#include <QByteArray>

namespace yf {

// Writes `contents` to a hidden temporary file in `folder` and renames it over
// `folder + "/" + fileName`. No fsync: the caller can always write the file again.
// A failure removes the temporary file and leaves any earlier file untouched.
[[nodiscard]] Status replaceFile(const QByteArray &folder, const QByteArray &fileName,
                                 const QByteArray &contents, ErrorKind kind);

} // namespace yf
