#include "tags/media_details.h"

#include <array>
#include <cctype>

namespace yf {

bool isMediaFileName(QByteArrayView fileName)
{
    static constexpr std::array<QByteArrayView, 12> kExtensions = {
        "mp3", "m4a", "m4b", "aac", "ogg", "oga", "opus", "flac", "wav", "mp4", "m4v", "mov"};
    const qsizetype dot = fileName.lastIndexOf('.');
    if (dot < 0)
        return false;
    const QByteArrayView extension = fileName.sliced(dot + 1);
    for (QByteArrayView known : kExtensions) {
        if (extension.compare(known, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

int leadingNumber(QByteArrayView text)
{
    qsizetype at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    qint64 value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > 1'000'000)
            return 0;  // no disc or track of a real release; a hostile tag's digits, say
    }
    return static_cast<int>(value);
}

} // namespace yf
