#include "generate/path_blocks.h"

#include <algorithm>
#include <cstring>

namespace yf {

namespace {

// Large enough that a block comes straight from the system and goes back to it when freed.
constexpr std::size_t kBlockBytes = 256 * 1024;

} // namespace

QByteArray PathBlocks::keep(QByteArrayView path)
{
    const std::size_t size = static_cast<std::size_t>(path.size()) + 1;
    if (size > m_room) {
        // The rest of the block stays unused: nothing may move once handed out.
        const std::size_t block = std::max(kBlockBytes, size);
        m_blocks.push_back(std::make_unique_for_overwrite<char[]>(block));
        m_free = m_blocks.back().get();
        m_room = block;
        m_capacity += block;
    }
    char *at = m_free;
    if (!path.isEmpty())
        std::memcpy(at, path.data(), size - 1);
    at[size - 1] = '\0';
    m_free += size;
    m_room -= size;
    m_used += size;
    return QByteArray::fromRawData(at, path.size());
}

void PathBlocks::clear()
{
    m_blocks.clear();
    m_free = nullptr;
    m_room = m_used = m_capacity = 0;
}

} // namespace yf
