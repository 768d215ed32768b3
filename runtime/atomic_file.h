// Replaces a file as a whole: readers see the old contents or the new, never a part.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QByteArrayView>

#include <sys/types.h>

namespace yf {

// A file's new contents, written but not yet in place. Where the file system allows, it is an
// unnamed file (an open descriptor and nothing in any listing), so a process killed at any
// moment leaves nothing; elsewhere a hidden file whose name says which process made it (see
// removeStaleTemporaryFiles). Move-only; dropping it removes what it holds.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(TemporaryFile &&other) noexcept;
    TemporaryFile &operator=(TemporaryFile &&other) noexcept;
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    ~TemporaryFile();

    // Whether it holds nothing: never written, put in place, or discarded.
    bool isEmpty() const { return m_fd < 0 && m_path.isEmpty(); }
    // Whether it is unnamed: nothing of it shows in its folder.
    bool isUnnamed() const { return m_fd >= 0; }
    // Removes what it holds; nothing when empty.
    void discard();

private:
    friend class TemporaryFileAccess;
    int m_fd = -1;       // an unnamed file, open for reading and writing
    QByteArray m_path;   // or a named one
};

// How writeTemporaryFile makes its file.
enum class TemporaryStyle {
    Unnamed,  // unnamed where the file system makes such files, else named
    Named,    // always named: what a file system without unnamed files gets
};

// Writes `contents` to a hidden temporary file in `folder` and renames it over
// `folder + "/" + fileName`. No fsync: the caller can always write the file again.
// A failure removes the temporary file and leaves any earlier file untouched.
[[nodiscard]] Status replaceFile(const QByteArray &folder, const QByteArray &fileName,
                                 const QByteArray &contents, ErrorKind kind);

// The two halves of replaceFile, for a writer that prepares files ahead and puts them in
// place later in an order of its own. The first writes `contents` to a new temporary file in
// `folder`; a failure names `folder + "/" + fileName`, as replaceFile's does, and leaves
// nothing behind ...
[[nodiscard]] Result<TemporaryFile> writeTemporaryFile(const QByteArray &folder, const QByteArray &fileName,
                                                       const QByteArray &contents, ErrorKind kind,
                                                       TemporaryStyle style = TemporaryStyle::Unnamed);
// ... the second puts it over `folder + "/" + fileName`, or removes it when that fails; it is
// empty afterwards either way.
[[nodiscard]] Status putTemporaryFile(TemporaryFile &temporary, const QByteArray &folder,
                                      const QByteArray &fileName, ErrorKind kind);

// A temporary file written piece by piece: text, and ranges copied from another file. The first
// failure is kept, later pieces are skipped, and finish() reports it, naming
// `folder + "/" + fileName` as writeTemporaryFile does.
class TemporaryFileStream {
public:
    TemporaryFileStream(const QByteArray &folder, const QByteArray &fileName, ErrorKind kind);
    TemporaryFileStream(const TemporaryFileStream &) = delete;
    TemporaryFileStream &operator=(const TemporaryFileStream &) = delete;
    ~TemporaryFileStream();

    void append(QByteArrayView bytes);
    // `length` bytes of the open file `from` at `offset`.
    void copy(int from, off_t offset, off_t length);
    // The file, ready for putTemporaryFile, or the first failure; nothing is left behind then.
    [[nodiscard]] Result<TemporaryFile> finish();

private:
    QByteArray m_target;
    ErrorKind m_kind;
    TemporaryFile m_file;
    int m_fd = -1;  // written through; the file's own for an unnamed one
    int m_error = 0;
};

// Removes from `folder` the named temporary files that processes killed mid-write left: those
// whose maker no longer runs, told by the process, its start and the boot its name carries, so
// a new process under a reused id is no owner. Files of a process that may still run (this
// one included) stay. Best effort, once per run: a file that cannot be removed now stays for a
// later run, and a folder that cannot be read is reported by the writing that follows.
void removeStaleTemporaryFiles(const QByteArray &folder);

} // namespace yf
