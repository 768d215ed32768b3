#include "feed/feed_text.h"

#include <QList>

#include <array>
#include <string_view>

namespace yf::feedtext {

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

} // namespace

QByteArray feedName(const QByteArray &dirPath, qsizetype inputPathLength)
{
    QByteArray name = dirPath.mid(inputPathLength);
    name.replace('/', '-');
    return name;
}

QByteArray linkRoot(const QByteArray &linkEntry)
{
    // Split at "/", keep every part but the last, each preceded by "/", drop the first
    // character and append "/": "/srv/Audio" gives "/srv/", and "/" gives "/".
    const QList<QByteArray> parts = linkEntry.split('/');
    QByteArray joined;
    for (qsizetype k = 0; k + 1 < parts.size(); ++k)
        joined.append('/').append(parts[k]);
    return joined.mid(1) + '/';
}

const char *podcastType(QByteArrayView fileName)
{
    struct Mapping {
        std::string_view extension;
        const char *type;
    };
    static constexpr std::array<Mapping, 13> table{{
        {"mp3", "audio/mpeg"},       {"m4a", "audio/x-m4a"},     {"m4b", "audio/x-m4a"},
        {"aac", "audio/aac"},        {"ogg", "audio/ogg"},       {"oga", "audio/ogg"},
        {"opus", "audio/ogg"},       {"flac", "audio/flac"},     {"wav", "audio/wav"},
        {"mp4", "video/mp4"},        {"m4v", "video/x-m4v"},     {"mov", "video/quicktime"},
        {"pdf", "application/pdf"},
    }};
    constexpr std::size_t kLongest = 4;
    // This runs once per item: the extension is folded into a small buffer, not a new string.
    const std::string_view name(fileName.data(), static_cast<std::size_t>(fileName.size()));
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && name.size() - dot - 1 <= kLongest) {
        char folded[kLongest];
        const std::size_t length = name.size() - dot - 1;
        for (std::size_t k = 0; k < length; ++k)
            folded[k] = asciiLower(name[dot + 1 + k]);
        const std::string_view extension(folded, length);
        for (const Mapping &m : table) {
            if (extension == m.extension)
                return m.type;
        }
    }
    return nullptr;
}

} // namespace yf::feedtext
