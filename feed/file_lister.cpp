#include "feed/file_lister.h"

#include "fast/directory_reader.h"
#include "runtime/file_system.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace yf {

namespace {

char16_t asciiLower(char16_t u) { return (u >= 'A' && u <= 'Z') ? static_cast<char16_t>(u + ('a' - 'A')) : u; }

// The name decoded from UTF-8 and case-folded. Folding goes character by character and an
// ASCII letter folds to its lower case, so an ASCII name is folded right here, and only
// names with other characters pay for decoding and Qt's tables (which then find the ASCII
// part done already).
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

} // namespace

void FileLister::makeKey(Entry &e)
{
    if (e.key >= 0)
        return;
    e.key = static_cast<qsizetype>(m_keys.size());
    m_keys.push_back(caseFolded(QByteArrayView(m_names.constData() + e.offset, e.length)));
}

// The order of the case-folded names, ties by the exact bytes. While both names are ASCII, the
// folded names are the bytes with A-Z lowered, one character per byte, so the bytes decide
// without making any key. From the first byte that is not ASCII on, a character may fold to
// anything (even to an ASCII letter), so the folded names are made and compared.
bool FileLister::lessThan(Entry &a, Entry &b)
{
    const auto *p = reinterpret_cast<const unsigned char *>(m_names.constData());
    const unsigned char *x = p + a.offset;
    const unsigned char *y = p + b.offset;
    const qsizetype n = std::min(a.length, b.length);
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
            makeKey(a);  // may grow m_keys, so both are made before either is read
            makeKey(b);
            const QString &keyA = m_keys[static_cast<std::size_t>(a.key)];
            if (const int c = keyA.compare(m_keys[static_cast<std::size_t>(b.key)]); c != 0)
                return c < 0;
            return QByteArrayView(x, a.length) < QByteArrayView(y, b.length);
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
    if (a.length != b.length)
        return a.length < b.length;
    return std::memcmp(x, y, static_cast<std::size_t>(n)) < 0;
}

void FileLister::add(const char *name, qsizetype length, const fs::FileFacts &facts)
{
    const qsizetype at = m_names.size();
    m_names.resize(at + length);
    std::memcpy(m_names.data() + at, name, static_cast<std::size_t>(length));
    m_files.push_back(Entry{at, length, facts.size, facts.modified, -1});
    m_lastModified = std::max(m_lastModified, facts.modified);
}

void FileLister::start(const QByteArray &folder)
{
    m_path = folder;
    m_lastModified = 0;
    m_files.clear();
    m_keys.clear();
    m_names.resize(0);  // keeps the capacity of the previous folder
}

void FileLister::sort()
{
    std::sort(m_files.begin(), m_files.end(), [this](Entry &a, Entry &b) { return lessThan(a, b); });
}

Status FileLister::setPath(const QByteArray &folder)
{
    start(folder);
    fast::DirectoryReader stream;
    if (Status opened = stream.openNoFollow(folder); !opened.ok())
        return opened;
    m_lastModified = fs::folderModified(stream.fd()).value_or(0);
    while (const dirent *entry = stream.next()) {
        if (const std::optional<fs::FileFacts> facts = fs::plainFileFacts(stream.fd(), *entry))
            add(entry->d_name, static_cast<qsizetype>(std::strlen(entry->d_name)), *facts);
    }
    if (Status read = stream.status(); !read.ok()) {
        m_files.clear();
        return read;
    }
    sort();
    return {};
}


} // namespace yf
