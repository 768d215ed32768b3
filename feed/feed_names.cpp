#include "feed/feed_names.h"

#include "feed/feed_text.h"

#include <QSet>

#include <algorithm>
#include <cstdint>
#include <functional>
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

// The folder's plain feed name written into `into`, whose room is kept from one name to the
// next: settling the names of a large tree allocates for the few that meet, not for each.
QByteArrayView plainNameInto(QByteArrayView folder, qsizetype inputPathLength, QByteArray &into)
{
    const qsizetype from = std::min(inputPathLength, folder.size());
    into.resize(folder.size() - from);
    std::replace_copy(folder.cbegin() + from, folder.cend(), into.begin(), '/', '-');
    return into;
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

FeedNames::FeedNames(const FolderPaths &folders, qsizetype inputPathLength, qsizetype nameMax, Hash hash)
    : m_folders(folders)
    , m_inputPathLength(inputPathLength)
{
    settle(nameMax, hash);
}

FeedNames::FeedNames(const std::vector<QByteArray> &folders, qsizetype inputPathLength, qsizetype nameMax,
                     Hash hash)
    : m_wholePaths(std::in_place, folders)
    , m_folders(*m_wholePaths)
    , m_inputPathLength(inputPathLength)
{
    settle(nameMax, hash);
}

void FeedNames::settle(qsizetype nameMax, Hash hash)
{
    const FolderPaths &folders = m_folders;
    const qsizetype inputPathLength = m_inputPathLength;
    // Without a hash given, the paths' own name keys group the names: a tree gives them
    // without building each name.
    std::vector<NameKey> keys;
    if (!hash) {
        keys = folders.nameKeys(inputPathLength);
        hash = [](QByteArrayView name) { return extendNameKey(kNameKeySeed, name); };
    }
    const auto plain = [&](std::size_t i) { return feedtext::feedName(folders.path(i), inputPathLength); };
    QByteArray scratch;
    QByteArray pathScratch;
    const auto plainView = [&](std::size_t i) {
        return plainNameInto(folders.pathInto(i, pathScratch), inputPathLength, scratch);
    };

    // Plain names that fit, grouped by hash and latest first within a group: the first of
    // equal names met is the one that keeps it, as it would by overwriting.
    struct Entry {
        std::uint64_t hash;
        std::size_t index;
    };
    std::vector<Entry> entries;
    std::vector<std::size_t> suffixed;
    entries.reserve(folders.count());
    for (std::size_t i = 1; i < folders.count(); ++i) {
        NameKey key;
        if (!keys.empty()) {
            key = keys[i];
        } else {
            const QByteArrayView plainName = plainView(i);
            key = NameKey{hash(plainName), plainName.size()};
        }
        if (key.size + kExtension > nameMax)
            suffixed.push_back(i);
        else
            entries.push_back({key.hash, i});
    }
    keys = std::vector<NameKey>();
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.hash != b.hash ? a.hash < b.hash : a.index > b.index;
    });
    std::vector<Entry> kept;  // the plain names taken, still grouped by hash
    std::vector<QByteArray> groupNames;
    for (std::size_t g = 0; g < entries.size();) {
        std::size_t end = g + 1;
        while (end < entries.size() && entries[end].hash == entries[g].hash)
            ++end;
        if (end == g + 1) {
            kept.push_back(entries[g]);
        } else {
            groupNames.clear();
            for (std::size_t k = g; k < end; ++k) {
                QByteArray name = plain(entries[k].index);
                if (std::find(groupNames.begin(), groupNames.end(), name) != groupNames.end()) {
                    suffixed.push_back(entries[k].index);
                } else {
                    groupNames.push_back(std::move(name));
                    kept.push_back(entries[k]);
                }
            }
        }
        g = end;
    }
    entries.clear();
    entries.shrink_to_fit();

    // Only now, with every plain name known, can an ending be checked against all of them.
    QSet<QByteArray> endings;
    const auto taken = [&](const QByteArray &candidate) {
        if (endings.contains(candidate))
            return true;
        const std::uint64_t h = hash(candidate);
        auto at = std::lower_bound(kept.begin(), kept.end(), h,
                                   [](const Entry &e, std::uint64_t value) { return e.hash < value; });
        for (; at != kept.end() && at->hash == h; ++at) {
            if (plainView(at->index) == candidate)
                return true;
        }
        return false;
    };
    std::sort(suffixed.begin(), suffixed.end(), std::greater<>());
    const qsizetype room = nameMax - kExtension - kSuffix;
    for (const std::size_t i : suffixed) {
        const QByteArray stem = cutAtCharacter(plain(i), room);
        const QByteArray below = folders.path(i).mid(inputPathLength);
        QByteArray key = below;
        for (int attempt = 1;; ++attempt) {
            QByteArray candidate = stem + '~' + stableHash(key);
            if (!taken(candidate)) {
                endings.insert(candidate);
                m_suffixed.emplace_back(i, std::move(candidate));
                break;
            }
            // A hash that happens to meet another name: hash again, still from the path alone.
            key = below + '#' + QByteArray::number(attempt);
        }
    }
    std::reverse(m_suffixed.begin(), m_suffixed.end());
}

QByteArray FeedNames::name(std::size_t index) const
{
    if (index == 0)
        return {};
    const auto at = std::lower_bound(m_suffixed.begin(), m_suffixed.end(), index,
                                     [](const auto &entry, std::size_t value) { return entry.first < value; });
    if (at != m_suffixed.end() && at->first == index)
        return at->second;
    return feedtext::feedName(m_folders.path(index), m_inputPathLength);
}

} // namespace yf
