// Whether a file already holds a given text, so that writing it again can be skipped.
#pragma once

#include <QByteArray>

namespace yf {

// True when `folder + "/" + fileName` is a regular file whose bytes are exactly `contents`.
// False otherwise, also when it cannot be read: the caller then writes the file, and any
// real fault shows up there.
[[nodiscard]] bool fileHolds(const QByteArray &folder, const QByteArray &fileName, const QByteArray &contents);

// What stands at a path that a file is to be written to, measured against that file's text.
enum class FileMatch {
    Holds,    // a regular file of exactly these bytes
    Differs,  // a regular file of other bytes, a link, nothing, or nothing readable: write it
    Folder,   // something that is no file holds the name: writing there would fail, or
    Pipe,     // replace what its owner made
    Socket,
    Device,
};
// As fileHolds, telling what else is there. A named pipe is opened without blocking and
// never read; a socket is never opened.
[[nodiscard]] FileMatch matchFile(const QByteArray &folder, const QByteArray &fileName, const QByteArray &contents);

} // namespace yf
