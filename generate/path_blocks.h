// Keeps many short paths in a few large blocks, each handed out as a view that never moves.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <memory>
#include <vector>

namespace yf {

// A path kept here costs its bytes and one more, not a heap block of its own with a header:
// for a tree of 100,000 folders that is megabytes. A kept path is a QByteArray over the
// block's bytes (QByteArray::fromRawData), followed by a NUL so that constData() can go to
// the system as it is; a block is never moved or grown, so a view stays good until clear()
// or the PathBlocks is gone. Copies of a view share the bytes, not own them.
class PathBlocks {
public:
    // A view of a copy of `path` kept here.
    [[nodiscard]] QByteArray keep(QByteArrayView path);
    // Forgets every path: every view handed out dangles from now on.
    void clear();
    // The bytes of every path kept, each with its NUL.
    [[nodiscard]] std::size_t usedBytes() const { return m_used; }
    // The bytes the blocks take.
    [[nodiscard]] std::size_t bytes() const { return m_capacity; }

private:
    std::vector<std::unique_ptr<char[]>> m_blocks;
    char *m_free = nullptr;  // in the last block
    std::size_t m_room = 0;  // left there
    std::size_t m_used = 0;
    std::size_t m_capacity = 0;
};

} // namespace yf
