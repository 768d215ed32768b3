#include "runtime/file_pieces.h"

#include "runtime/atomic_file.h"

namespace yf {

void FilePieces::copy(qint64 from, qint64 length)
{
    if (length <= 0)
        return;
    if (!m_pieces.empty() && m_pieces.back().from >= 0 && m_pieces.back().from + m_pieces.back().length == from)
        m_pieces.back().length += length;
    else
        m_pieces.push_back(FilePiece{from, length, {}});
}

void FilePieces::text(QByteArrayView text)
{
    if (!m_pieces.empty() && m_pieces.back().from < 0)
        m_pieces.back().text.append(text);
    else
        m_pieces.push_back(FilePiece{-1, 0, text.toByteArray()});
}

Status FilePieces::putInPlace(int oldFile, const QByteArray &folder, const QByteArray &fileName, ErrorKind kind) const
{
    TemporaryFileStream stream(folder, fileName, kind);
    for (const FilePiece &piece : m_pieces) {
        if (piece.from >= 0)
            stream.copy(oldFile, piece.from, piece.length);
        else
            stream.append(piece.text);
    }
    Result<TemporaryFile> written = stream.finish();
    if (!written.ok())
        return written.error();
    TemporaryFile file = std::move(written).value();
    return putTemporaryFile(file, folder, fileName, kind);
}

} // namespace yf
