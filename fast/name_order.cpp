#include "fast/name_order.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace yf::fast {

namespace {

char16_t asciiLower(char16_t u) { return (u >= 'A' && u <= 'Z') ? static_cast<char16_t>(u + ('a' - 'A')) : u; }

} // namespace

// Folding goes character by character and an ASCII letter folds to its lower case, so an
// ASCII name is folded right here, and only names with other characters pay for decoding
// and Qt's tables (which then find the ASCII part done already).
QString caseFolded(QByteArrayView name)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(name.constData());
    const qsizetype n = name.size();
    if (std::all_of(bytes, bytes + n, [](unsigned char c) { return c < 0x80; })) {
        QString key(n, Qt::Uninitialized);
        QChar *out = key.data();
        for (qsizetype i = 0; i < n; ++i)
            out[i] = QChar(asciiLower(bytes[i]));
        return key;
    }
    QString key = QString::fromUtf8(name);
    for (QChar &ch : key)
        ch = QChar(asciiLower(ch.unicode()));
    return std::move(key).toCaseFolded();
}

const QString &NameOrder::key(QByteArrayView name, KeySlot &slot)
{
    if (slot == kNoKey) {
        slot = static_cast<KeySlot>(m_keys.size());
        m_keys.push_back(caseFolded(name));
    }
    return m_keys[static_cast<std::size_t>(slot)];
}

// While both names are ASCII, the folded names are the bytes with A-Z lowered, one character
// per byte, so the bytes decide without making any key. From the first byte that is not
// ASCII on, a character may fold to anything (even to an ASCII letter), so the folded names
// are made and compared.
bool NameOrder::less(QByteArrayView a, KeySlot &aKey, QByteArrayView b, KeySlot &bKey)
{
    const auto *x = reinterpret_cast<const unsigned char *>(a.data());
    const auto *y = reinterpret_cast<const unsigned char *>(b.data());
    const qsizetype n = std::min(a.size(), b.size());
    qsizetype i = 0;
    // Names in one folder often share a long start ("Episode 0"), so ASCII runs are compared
    // eight bytes at a time; the byte loop below takes over at the first non-ASCII byte.
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t high = 0x8080808080808080u;
        const auto fold = [](std::uint64_t w) {
            // Per byte below 0x80: the high bit of b + 0x3F is set from "A" up, that of
            // b + 0x25 from "[" up; no carry crosses bytes.
            const std::uint64_t upper = (w + 0x3F3F3F3F3F3F3F3Fu) & ~(w + 0x2525252525252525u) & high;
            return w | (upper >> 2);
        };
        for (; i + 8 <= n; i += 8) {
            std::uint64_t wx, wy;
            std::memcpy(&wx, x + i, 8);
            std::memcpy(&wy, y + i, 8);
            if (((wx | wy) & high) != 0)
                break;
            if (wx == wy)
                continue;
            const std::uint64_t fx = fold(wx);
            const std::uint64_t fy = fold(wy);
            if (fx != fy) {
                const int shift = std::countr_zero(fx ^ fy) & ~7;  // the first differing byte
                return ((fx >> shift) & 0xFF) < ((fy >> shift) & 0xFF);
            }
        }
    }
    for (; i < n; ++i) {
        const unsigned char cx = x[i];
        const unsigned char cy = y[i];
        if ((cx | cy) >= 0x80) {
            key(a, aKey);  // may grow m_keys, so both are made before either is read
            key(b, bKey);
            const QString &keyA = m_keys[static_cast<std::size_t>(aKey)];
            if (const int c = keyA.compare(m_keys[static_cast<std::size_t>(bKey)]); c != 0)
                return c < 0;
            return a < b;
        }
        if (cx != cy) {
            const char16_t fx = asciiLower(cx);
            const char16_t fy = asciiLower(cy);
            if (fx != fy)
                return fx < fy;
        }
    }
    // Equal so far and ASCII so far. A longer name's folded form is longer too (every
    // character folds to at least one unit), so the shorter name comes first.
    if (a.size() != b.size())
        return a.size() < b.size();
    return std::memcmp(x, y, static_cast<std::size_t>(n)) < 0;
}

bool nameLess(QByteArrayView a, QByteArrayView b)
{
    NameOrder order;
    NameOrder::KeySlot aKey = NameOrder::kNoKey;
    NameOrder::KeySlot bKey = NameOrder::kNoKey;
    return order.less(a, aKey, b, bKey);
}

} // namespace yf::fast
