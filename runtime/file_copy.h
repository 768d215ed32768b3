// Telling whether a file is still the one last left, and copying a range of one file onto the end of another.
#pragma once

#include <QByteArray>

#include <optional>
#include <sys/stat.h>
#include <sys/types.h>

namespace yf {

// What tells one state of a file from another without reading it: the same entry, the same
// size and the same last change, to the nanosecond.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 modifiedNs = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

// The identity of the regular file at `path`, never through a link; none for anything else.
[[nodiscard]] std::optional<FileIdentity> fileIdentity(const QByteArray &path);
// The same for an open descriptor.
[[nodiscard]] std::optional<FileIdentity> fileIdentity(int fd);
// The same for what stat(2) said of a file.
[[nodiscard]] std::optional<FileIdentity> fileIdentity(const struct stat &st);

// The kernel's copy_file_range(2), or a stand-in for it in a test.
using CopyRangeCall = ssize_t (*)(int from, off_t *fromOffset, int to, off_t *toOffset, std::size_t length,
                                  unsigned flags);

// Appends `length` bytes of `from` at `offset` at the file position of `to`, inside the kernel
// where it can, by reading and writing where it cannot (another file system, an old kernel).
// Returns 0 or an errno; EIO when `from` ends before the range does.
[[nodiscard]] int copyFileRange(int from, off_t offset, int to, off_t length, CopyRangeCall call = nullptr);

} // namespace yf
