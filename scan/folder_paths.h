// Reading the paths of a run's folders by place, whether they are held whole or built from names.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <vector>

namespace yf {

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
