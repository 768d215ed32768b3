#include "feed/media_types.h"

#include "feed/feed_text.h"

#include <QMimeType>
#include <QString>

namespace yf {

QByteArrayView MediaTypes::typeOf(QByteArrayView fileName)
{
    static constexpr QByteArrayView kUnknown = "audio/mpeg";
    if (const char *known = feedtext::podcastType(fileName))
        return QByteArrayView(known);
    const qsizetype dot = fileName.lastIndexOf('.');
    if (dot < 0 || dot + 1 == fileName.size())
        return kUnknown;
    const QByteArray extension = fileName.sliced(dot + 1).toByteArray().toLower();
    auto found = m_byExtension.constFind(extension);
    if (found == m_byExtension.constEnd()) {
        // A stand-in name, so the answer depends on the extension alone.
        const QMimeType type = m_database.mimeTypeForFile(QStringLiteral("x.") + QString::fromUtf8(extension),
                                                             QMimeDatabase::MatchExtension);
        QByteArray name = type.isValid() && !type.isDefault() ? type.name().toLatin1() : QByteArray(kUnknown.data());
        found = m_byExtension.insert(extension, name);
    }
    return QByteArrayView(*found);
}

} // namespace yf
