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
// leading zeros aside, a longer run is larger, equal lengths go digit by digit; runs of one
// value by their own length, the shorter first. No run is ever turned into a number, so any
// length works. `length` gets the runs' length when they are equal.
template <typename Unit>
int compareDigitRuns(const Unit *x, qsizetype nx, const Unit *y, qsizetype ny, qsizetype &length)
{
    qsizetype lx = 0, ly = 0;
    while (lx < nx && isDigit(x[lx]))
        ++lx;
    while (ly < ny && isDigit(y[ly]))
        ++ly;
    qsizetype zx = 0, zy = 0;
    while (zx < lx && x[zx] == '0')
        ++zx;
    while (zy < ly && y[zy] == '0')
        ++zy;
    if (lx - zx != ly - zy)
        return lx - zx < ly - zy ? -1 : 1;
    for (qsizetype k = 0; k < lx - zx; ++k) {
        if (x[zx + k] != y[zy + k])
            return x[zx + k] < y[zy + k] ? -1 : 1;
    }
    if (lx != ly)
        return lx < ly ? -1 : 1;
    length = lx;
    return 0;
}

constexpr int kNeedsKeys = 2;

// Compares folded forms from `i` on, everything before `i` being equal: unit by unit, with
// ASCII letters lowered, and digit runs by their value. When two units first differ and one
// is a digit, the runs are compared from where they start, which may lie before `i`; a digit
// against anything else compares as the characters do. Over bytes, a byte beyond ASCII
// stops it with kNeedsKeys: from there only the folded text can tell.
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
        if (cx == cy)
            continue;
        const unsigned fx = asciiLower(static_cast<char16_t>(cx));
        const unsigned fy = asciiLower(static_cast<char16_t>(cy));
        if (fx == fy)
            continue;
        if (isDigit(cx) || isDigit(cy)) {
            qsizetype start = i;
            while (start > 0 && isDigit(x[start - 1]))
                --start;
            if (isDigit(x[start]) && isDigit(y[start])) {
                qsizetype length = 0;
                if (const int c = compareDigitRuns(x + start, nx - start, y + start, ny - start, length); c != 0)
                    return c;
                i = start + length - 1;
                continue;
            }
        }
        return fx < fy ? -1 : 1;
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
    // Names in one folder often share a long start ("Episode 0"), so ASCII words equal when
    // folded are passed eight bytes at a time; the byte loop takes over at the first word
    // that differs or holds a byte beyond ASCII. Digits fold to themselves, so the digits
    // passed here are equal, and the byte loop looks back for where a run starts.
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
            if (((wx | wy) & high) != 0 || (wx != wy && fold(wx) != fold(wy)))
                break;
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
