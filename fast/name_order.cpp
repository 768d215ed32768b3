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

namespace {

bool isDigit(unsigned c) { return c - '0' < 10u; }

// Compares the digit runs at the start of x and y (each has at least one digit) by value:
// past their leading zeros, the run with more digits is larger, and one as long is compared
// digit by digit; runs of one value by their length, the shorter first. No run is turned
// into a number, so any length works. Both runs are walked once, side by side.
template <typename Unit>
int compareDigitRuns(const Unit *x, qsizetype nx, const Unit *y, qsizetype ny)
{
    qsizetype zx = 0, zy = 0;
    while (zx < nx && x[zx] == '0')
        ++zx;
    while (zy < ny && y[zy] == '0')
        ++zy;
    int firstDifference = 0;
    for (qsizetype k = 0;; ++k) {
        const bool dx = zx + k < nx && isDigit(x[zx + k]);
        const bool dy = zy + k < ny && isDigit(y[zy + k]);
        if (dx != dy)
            return dx ? 1 : -1;
        if (!dx)
            break;
        if (firstDifference == 0 && x[zx + k] != y[zy + k])
            firstDifference = x[zx + k] < y[zy + k] ? -1 : 1;
    }
    if (firstDifference != 0)
        return firstDifference;
    return zx == zy ? 0 : (zx < zy ? -1 : 1);
}

// Compares x and y where they first differ, at `at`, with A-Z lowered. A digit there, in
// either, belongs to a run that may start before `at`: if both names have a run from its
// start, the runs decide (they differ, since their digits do or one ends sooner). Otherwise
// the two characters decide, a digit counting as the character it is.
template <typename Unit>
int compareAt(const Unit *x, qsizetype nx, const Unit *y, qsizetype ny, qsizetype at)
{
    const unsigned cx = x[at];
    const unsigned cy = y[at];
    if (isDigit(cx) || isDigit(cy)) {
        qsizetype start = at;
        while (start > 0 && isDigit(x[start - 1]))
            --start;
        if (isDigit(x[start]) && isDigit(y[start]))
            return compareDigitRuns(x + start, nx - start, y + start, ny - start);
    }
    return asciiLower(static_cast<char16_t>(cx)) < asciiLower(static_cast<char16_t>(cy)) ? -1 : 1;
}

constexpr int kNeedsKeys = 2;

// Compares folded forms from `i` on, everything before `i` being equal: unit by unit, with
// A-Z lowered, digit runs by their value (see compareAt), then the shorter first. Over
// bytes, a byte beyond ASCII stops it with kNeedsKeys: from there only the folded text can
// tell.
template <typename Unit>
int compareFolded(const Unit *x, qsizetype nx, const Unit *y, qsizetype ny, qsizetype i)
{
    const qsizetype n = std::min(nx, ny);
    for (; i < n; ++i) {
        const unsigned cx = x[i];
        const unsigned cy = y[i];
        if constexpr (sizeof(Unit) == 1) {
            if ((cx | cy) >= 0x80)
                return kNeedsKeys;
        }
        if (cx != cy && asciiLower(static_cast<char16_t>(cx)) != asciiLower(static_cast<char16_t>(cy)))
            return compareAt(x, nx, y, ny, i);
    }
    // Equal so far: the shorter comes first. A longer folded form comes from a longer name
    // (every character folds to at least one unit), and a digit run that goes on is larger.
    if (nx != ny)
        return nx < ny ? -1 : 1;
    return 0;
}

} // namespace

// While both names are ASCII, the folded names are the bytes with A-Z lowered, one character
// per byte, so the bytes decide without making any key. From the first byte that is not
// ASCII on, a character may fold to anything (even to an ASCII letter), so the folded names
// are made and compared from their start, by the same rules.
bool NameOrder::less(QByteArrayView a, KeySlot &aKey, QByteArrayView b, KeySlot &bKey)
{
    const auto *x = reinterpret_cast<const unsigned char *>(a.data());
    const auto *y = reinterpret_cast<const unsigned char *>(b.data());
    const qsizetype n = std::min(a.size(), b.size());
    qsizetype i = 0;
    // Names in one folder often share a long start ("Episode 0"), so ASCII runs are compared
    // eight bytes at a time; the byte loop takes over at the first non-ASCII byte. Digits
    // fold to themselves, so the digits passed here are equal, and compareAt looks back for
    // where a run starts.
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
                return compareAt(x, a.size(), y, b.size(), i + shift / 8) < 0;
            }
        }
    }
    int c = compareFolded(x, a.size(), y, b.size(), i);
    if (c == kNeedsKeys) {
        key(a, aKey);  // may grow m_keys, so both are made before either is read
        key(b, bKey);
        const QString &keyA = m_keys[static_cast<std::size_t>(aKey)];
        const QString &keyB = m_keys[static_cast<std::size_t>(bKey)];
        c = compareFolded(keyA.utf16(), keyA.size(), keyB.utf16(), keyB.size(), 0);
    }
    if (c != 0)
        return c < 0;
    return a < b;
}

bool nameLess(QByteArrayView a, QByteArrayView b)
{
    NameOrder order;
    NameOrder::KeySlot aKey = NameOrder::kNoKey;
    NameOrder::KeySlot bKey = NameOrder::kNoKey;
    return order.less(a, aKey, b, bKey);
}

} // namespace yf::fast
