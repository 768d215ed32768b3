// Reading the paths of a run's folders by place, whether they are held whole or built from names.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace yf {

// What telling feed names apart needs of a folder without its name built: a 64-bit FNV-1a
// hash of its path past a prefix, each "/" read as "-" as in a feed name, and that part's
// length. FNV-1a reads byte after byte, so a folder's key extends its parent's by its own
// name and "/".
struct NameKey {
    std::uint64_t hash = 0;
    qsizetype size = 0;
};

constexpr std::uint64_t kNameKeySeed = 14695981039346656037ull;

[[nodiscard]] inline std::uint64_t extendNameKey(std::uint64_t hash, QByteArrayView bytes)
{
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c == '/' ? '-' : c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// The folders a run makes feeds for, in scan order; place 0 is the input folder. Each path
// ends in "/".
class FolderPaths {
public:
    virtual ~FolderPaths() = default;

    [[nodiscard]] virtual std::size_t count() const = 0;
    // The path at `place`, as a view of bytes the paths hold or of `scratch`, whose bytes it
    // may replace: valid until the paths change or `scratch` is used again. Walking many
    // paths through one scratch allocates once rather than for each.
    [[nodiscard]] virtual QByteArrayView pathInto(std::size_t place, QByteArray &scratch) const = 0;
    [[nodiscard]] virtual QByteArray path(std::size_t place) const = 0;
    // Each place's NameKey of its path past the first `skip` bytes.
    [[nodiscard]] virtual std::vector<NameKey> nameKeys(qsizetype skip) const
    {
        std::vector<NameKey> keys(count());
        QByteArray scratch;
        for (std::size_t place = 0; place < keys.size(); ++place) {
            const QByteArrayView path = pathInto(place, scratch);
            const QByteArrayView past = path.sliced(std::min(skip, path.size()));
            keys[place] = NameKey{extendNameKey(kNameKeySeed, past), past.size()};
        }
        return keys;
    }
};

// Paths held whole, as a scan gives them; the vector must outlive this.
class FolderPathList final : public FolderPaths {
public:
    explicit FolderPathList(const std::vector<QByteArray> &paths)
        : m_paths(paths)
    {
    }

    [[nodiscard]] std::size_t count() const override { return m_paths.size(); }
    [[nodiscard]] QByteArrayView pathInto(std::size_t place, QByteArray &) const override { return m_paths[place]; }
    [[nodiscard]] QByteArray path(std::size_t place) const override { return m_paths[place]; }

private:
    const std::vector<QByteArray> &m_paths;
};

} // namespace yf
