#include "feed/feed_names.h"

#include "feed/feed_text.h"

#include <QSet>

#include <algorithm>
#include <cstdint>
#include <unistd.h>

namespace yf {

namespace {

constexpr qsizetype kExtension = 4;  // ".xml"
constexpr qsizetype kSuffix = 9;     // "~" and 8 hex digits

// At most `room` bytes of `name`, never ending inside a UTF-8 sequence.
QByteArray cutAtCharacter(const QByteArray &name, qsizetype room)
{
    qsizetype cut = std::max<qsizetype>(0, std::min(room, name.size()));
    while (cut > 0 && cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut;
    return name.left(cut);
}

} // namespace

QByteArray stableHash(const QByteArray &bytes)
{
    std::uint32_t hash = 2166136261u;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return QByteArray::number(hash, 16).rightJustified(8, '0');
}

qsizetype fileNameLimit(const QByteArray &folder)
{
    const long limit = ::pathconf(folder.constData(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<qsizetype>(limit) : 255;
}

std::vector<QByteArray> feedNames(const std::vector<QByteArray> &folders, qsizetype inputPathLength,
                                  qsizetype nameMax)
{
    const std::size_t count = folders.size();
    std::vector<QByteArray> names(count);
    std::vector<bool> needsSuffix(count, false);
    QSet<QByteArray> taken;
    taken.reserve(static_cast<qsizetype>(count));
    // Latest first: the last folder with a name keeps it, as it would by overwriting.
    for (std::size_t i = count; i-- > 1;) {
        names[i] = feedtext::feedName(folders[i], inputPathLength);
        if (names[i].size() + kExtension > nameMax || taken.contains(names[i]))
            needsSuffix[i] = true;
        else
            taken.insert(names[i]);
    }
    // Only now, with every plain name known, can an ending be checked against all of them.
    const qsizetype room = nameMax - kExtension - kSuffix;
    for (std::size_t i = count; i-- > 1;) {
        if (!needsSuffix[i])
            continue;
        const QByteArray stem = cutAtCharacter(names[i], room);
        const QByteArray below = folders[i].mid(inputPathLength);
        QByteArray key = below;
        for (int attempt = 1;; ++attempt) {
            QByteArray candidate = stem + '~' + stableHash(key);
            if (!taken.contains(candidate)) {
                taken.insert(candidate);
                names[i] = std::move(candidate);
                break;
            }
            // A hash that happens to meet another name: hash again, still from the path alone.
            key = below + '#' + QByteArray::number(attempt);
        }
    }
    return names;
}

} // namespace yf
