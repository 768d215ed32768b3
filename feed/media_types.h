// The enclosure type of a file, from its name alone.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QMimeDatabase>

namespace yf {

// The usual podcast types by their fixed table; every other extension from the shared MIME
// database, by name only (contents are never read), asked once per extension and kept for
// the life of the object (one run). A name without an extension, or one the database does
// not know, is "audio/mpeg".
class MediaTypes {
public:
    // Valid while this object lives.
    QByteArrayView typeOf(QByteArrayView fileName);

private:
    QMimeDatabase m_database;
    QHash<QByteArray, QByteArray> m_byExtension;  // lower-case extension -> type
};

} // namespace yf
