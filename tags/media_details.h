// What a media file's tags say about it as an episode, and which files have tags worth reading.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace yf {

// Texts are UTF-8 with blanks trimmed off both ends, empty when the tag has none; numbers are
// 0 when unknown. A file that could not be read has no details: everything empty or 0.
struct MediaDetails {
    QByteArray title;
    QByteArray comment;
    QByteArray album;
    QByteArray artist;
    QByteArray albumArtist;
    int track = 0;
    int disc = 0;
    qint64 lengthMs = 0;

    bool operator==(const MediaDetails &) const = default;
};

// Whether a file of this name is an audio or video episode whose tags are read: by its
// extension, without regard to case (mp3, m4a, m4b, aac, ogg, oga, opus, flac, wav, mp4, m4v, mov).
bool isMediaFileName(QByteArrayView fileName);

// Whether `text` is `lowerCase` (ASCII letters in lower case, digits) but for the case of its
// letters. A plain byte loop: it runs for every listed file, where a locale-aware compare costs
// more than the rest of the check.
inline bool equalsIgnoringAsciiCase(QByteArrayView text, QByteArrayView lowerCase)
{
    if (text.size() != lowerCase.size())
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c) != lowerCase[i])
            return false;
    }
    return true;
}

// The leading number of a disc or track text such as "2" or "1/2"; 0 when it has none.
int leadingNumber(QByteArrayView text);

} // namespace yf
