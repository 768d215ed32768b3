// Reads a folder's entries with getdents64 into a buffer that each thread keeps from folder to folder.
#pragma once

#include "runtime/error.h"

#include <QByteArray>

#include <dirent.h>

namespace yf::fast {

// One open enumeration of a folder; "." and ".." are reported like any other entry. A run
// lists every folder twice, and the C library's directory streams cost an extra stat and
// two fcntl calls per folder, so the kernel's entries are read straight into a buffer. The
// buffers are kept per thread and handed from reader to reader: a reader takes one when it
// first opens a folder and gives it back when it is destroyed, so a thread that lists folder
// after folder allocates once, and readers open at the same time on one thread each have
// their own.
class DirectoryReader {
public:
    DirectoryReader() = default;
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader &) = delete;
    DirectoryReader &operator=(const DirectoryReader &) = delete;

    [[nodiscard]] Status open(const QByteArray &folder);
    // The same for a folder inside the tree: the folder itself, never a link put in its place
    // (that fails with ELOOP or ENOTDIR). Links above it in the path are still followed.
    [[nodiscard]] Status openNoFollow(const QByteArray &folder);
    // The next entry, or nullptr at the end or on a read error (see status()). Valid until
    // the next call.
    const dirent *next();
    [[nodiscard]] Status status() const;
    int fd() const { return m_fd; }

    // Room for a few hundred entries a call; the kernel never returns half of one.
    static constexpr qsizetype kBufferSize = 32 * 1024;

private:
    // Opens `openPath`; `folder` is what errors and status() name.
    Status openWith(const QByteArray &folder, const QByteArray &openPath, int flags);
    void close();

    int m_fd = -1;
    QByteArray m_path;
    int m_readError = 0;
    bool m_atEnd = false;
    char *m_buffer = nullptr;  // borrowed from this thread's spare buffers
    qsizetype m_filled = 0;    // bytes of entries in m_buffer
    qsizetype m_at = 0;        // where the next entry starts
};

} // namespace yf::fast
