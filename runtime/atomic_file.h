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

// The two halves of replaceFile, for a writer that prepares files ahead and puts them in
// place later in an order of its own. The first writes `contents` to a new hidden temporary
// file in `folder` and returns its path; a failure names `folder + "/" + fileName`, as
// replaceFile's does, and leaves nothing behind ...
[[nodiscard]] Result<QByteArray> writeTemporaryFile(const QByteArray &folder, const QByteArray &fileName,
                                                    const QByteArray &contents, ErrorKind kind);
// ... the second renames it over `folder + "/" + fileName`, or removes it when that fails.
[[nodiscard]] Status putTemporaryFile(const QByteArray &temporary, const QByteArray &folder,
                                      const QByteArray &fileName, ErrorKind kind);
// Removes a temporary file that will not be put in place; nothing for an empty path.
void discardTemporaryFile(const QByteArray &temporary);

// Removes from `folder` the temporary files that replaceFile leaves behind when its process
// is killed mid-write: those whose process no longer exists. Best effort, once per run: a
// file that cannot be removed now stays for a later run, and a folder that cannot be read
// is reported by the writing that follows.
void removeStaleTemporaryFiles(const QByteArray &folder);

} // namespace yf
