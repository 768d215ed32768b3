// Whether a file already holds a given text, so that writing it again can be skipped.
#pragma once

#include <QByteArray>

namespace yf {

// True when `folder + "/" + fileName` is a regular file whose bytes are exactly `contents`.
// False otherwise, also when it cannot be read: the caller then writes the file, and any
// real fault shows up there.
[[nodiscard]] bool fileHolds(const QByteArray &folder, const QByteArray &fileName, const QByteArray &contents);

} // namespace yf
