#include "tags/media_details.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace yf {

bool isMediaFileName(QByteArrayView fileName)
{
    static constexpr std::array<QByteArrayView, 12> kExtensions = {
        "mp3", "m4a", "m4b", "aac", "ogg", "oga", "opus", "flac", "wav", "mp4", "m4v", "mov"};
    // No extension is longer than four letters: the dot is among the last five bytes.
    qsizetype dot = fileName.size() - 1;
    const qsizetype stop = std::max<qsizetype>(0, fileName.size() - 5);
    while (dot >= stop && fileName[dot] != '.')
        --dot;
    if (dot < stop)
        return false;
    const QByteArrayView extension = fileName.sliced(dot + 1);
    for (QByteArrayView known : kExtensions) {
        if (equalsIgnoringAsciiCase(extension, known))
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
