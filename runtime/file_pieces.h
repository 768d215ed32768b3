// A file's new text as runs of its old bytes and new text, written into a file put in its place.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace yf {

// A run of the old file's bytes (`from` >= 0), or text.
struct FilePiece {
    qint64 from = -1;
    qint64 length = 0;
    QByteArray text;
};

// Bytes that stay are copied by the kernel from the old file: a large file that changes in a
// few places is neither read into memory nor built there.
class FilePieces {
public:
    // `length` bytes of the old file at `from`; joined to the run before when they follow it.
    void copy(qint64 from, qint64 length);
    void text(QByteArrayView text);

    [[nodiscard]] const std::vector<FilePiece> &pieces() const { return m_pieces; }

    // Writes the pieces, the runs read from `oldFile` (a descriptor), into a new file that
    // then takes the place of `fileName` in `folder`.
    [[nodiscard]] Status putInPlace(int oldFile, const QByteArray &folder, const QByteArray &fileName,
                                    ErrorKind kind) const;

private:
    std::vector<FilePiece> m_pieces;
};

} // namespace yf
