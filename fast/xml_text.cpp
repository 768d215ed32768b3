#include "fast/xml_text.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace yf::fast {

namespace {

constexpr std::string_view kReplacement = "&#xFFFD;";  // U+FFFD, as a reference

// Length of the valid UTF-8 sequence starting at p (at most `left` bytes), or 0 when the
// bytes there do not form one: overlong forms, surrogates and values past U+10FFFF count
// as invalid. The character goes to `out`.
int validSequenceLength(const unsigned char *p, qsizetype left, char32_t &out)
{
    const unsigned char c = p[0];
    int length;
    char32_t value;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (p[k] & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)))
        return 0;
    if (value >= 0xD800 && value <= 0xDFFF)
        return 0;
    if (value == 0xFFFE || value == 0xFFFF)  // not characters in XML 1.0
        return 0;
    out = value;
    return length;
}

// "&#x" + upper-case hex + ";", at most 10 bytes.
char *writeReference(char *to, char32_t value)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    char digits[8];
    int n = 0;
    do {
        digits[n++] = hex[value & 0x0F];
        value >>= 4;
    } while (value != 0);
    *to++ = '&';
    *to++ = '#';
    *to++ = 'x';
    while (n > 0)
        *to++ = digits[--n];
    *to++ = ';';
    return to;
}

// Room a put needs past its text: at most this many bytes out per byte in.
constexpr qsizetype kXmlGrowth = 8;   // a stray byte becomes "&#xFFFD;"
constexpr qsizetype kLinkGrowth = 5;  // "&" becomes "&amp;"
constexpr qsizetype kLinkSlack = 7;   // link codes are copied eight bytes at a time

// Writes `text` escaped at `to`, which has room for kXmlGrowth bytes per byte of `text`;
// returns the end of what was written.
char *writeXml(char *to, QByteArrayView text, bool attribute)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const qsizetype n = text.size();
    if (n == 0)
        return to;  // an empty array may have no storage at all, not even for a copy of nothing
    // Bytes that stay as they are go out in runs: one copy per run, not one per byte.
    qsizetype runStart = 0;
    const auto substitute = [&](qsizetype at, qsizetype skipped, std::string_view with) {
        std::memcpy(to, p + runStart, static_cast<std::size_t>(at - runStart));
        to += at - runStart;
        std::memcpy(to, with.data(), with.size());
        to += with.size();
        runStart = at + skipped;
    };
    // ASCII bytes that need no attention: printable, not "&", "<", ">" or '"'. Bytes from
    // 0x80 up start a multi-byte sequence and are checked one sequence at a time. A carriage
    // return is written as a reference: raw, every XML parser reads it back as a line feed.
    static constexpr std::array<bool, 256> plain = [] {
        std::array<bool, 256> table{};
        for (int c = 0x20; c < 0x80; ++c)
            table[static_cast<std::size_t>(c)] = c != '&' && c != '<' && c != '>' && c != '"';
        table['\t'] = table['\n'] = true;
        return table;
    }();
    for (qsizetype i = 0; i < n;) {
        while (i < n && plain[p[i]])
            ++i;
        if (i == n)
            break;
        const unsigned char c = p[i];
        if (c < 0x80) {
            switch (c) {
            case '&': substitute(i, 1, "&amp;"); break;
            case '<': substitute(i, 1, "&lt;"); break;
            case '>': substitute(i, 1, "&gt;"); break;
            case '"':
                if (attribute)
                    substitute(i, 1, "&quot;");
                break;
            case '\r': substitute(i, 1, "&#13;"); break;
            default:
                if (c < 0x20)
                    substitute(i, 1, kReplacement);
            }
            ++i;
            continue;
        }
        // Beyond ASCII: a numeric reference, so the file reads the same whatever encoding a
        // server declares for it.
        char32_t value = 0;
        const int length = validSequenceLength(p + i, n - i, value);
        if (length == 0) {
            substitute(i, 1, kReplacement);
            ++i;
        } else {
            std::memcpy(to, p + runStart, static_cast<std::size_t>(i - runStart));
            to = writeReference(to + (i - runStart), value);
            i += length;
            runStart = i;
        }
    }
    std::memcpy(to, p + runStart, static_cast<std::size_t>(n - runStart));
    return to + (n - runStart);
}

// What each byte becomes in a link: itself for unreserved characters, the sub-delimiters,
// ":", "@" and "/", %XX for every other byte, and, where the link goes into XML, "&amp;"
// for "&". Every item's link goes through here, so each byte is one table look-up and one
// fixed-size copy, with no branch on the byte.
struct LinkCode {
    std::array<char, 8> text{};
    unsigned char length = 0;
};
using LinkTable = std::array<LinkCode, 256>;

constexpr LinkTable linkTable(bool escapeAmpersand)
{
    LinkTable table{};
    constexpr char hex[] = "0123456789ABCDEF";
    // ";" is left out: some clients cut a file name at a raw ";" in its URL.
    constexpr std::string_view kept = "-._~!$&'()*+,=:@/";
    for (int c = 0; c < 256; ++c) {
        LinkCode &code = table[static_cast<std::size_t>(c)];
        const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (c == '&' && escapeAmpersand) {
            code = {{'&', 'a', 'm', 'p', ';'}, 5};
        } else if (alnum || kept.find(static_cast<char>(c)) != std::string_view::npos) {
            code = {{static_cast<char>(c)}, 1};
        } else {
            code = {{'%', hex[c >> 4], hex[c & 0x0F]}, 3};
        }
    }
    return table;
}

constexpr LinkTable kLinkPlain = linkTable(false);
constexpr LinkTable kLinkXml = linkTable(true);

// Writes all eight bytes of each code, so `o` needs 7 bytes of room past the longest result.
char *writeLinkPathWith(const LinkTable &table, char *o, QByteArrayView path)
{
    for (const char ch : path) {
        const LinkCode &code = table[static_cast<unsigned char>(ch)];
        std::memcpy(o, code.text.data(), code.text.size());
        o += code.length;
    }
    return o;
}

} // namespace

void appendXml(QByteArray &out, QByteArrayView text, bool attribute)
{
    const qsizetype at = out.size();
    out.resize(at + kXmlGrowth * text.size());
    char *end = writeXml(out.data() + at, text, attribute);
    out.resize(end - out.constData());
}

QByteArray xml(QByteArrayView text, bool attribute)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    appendXml(out, text, attribute);
    return out;
}

QByteArray encodeLinkPath(QByteArrayView path)
{
    QByteArray out(path.size() * 3 + kLinkSlack + 1, Qt::Uninitialized);
    out.truncate(writeLinkPathWith(kLinkPlain, out.data(), path) - out.constData());
    return out;
}

XmlOut::XmlOut(QByteArray &into)
    : m_into(into)
{
    m_into.resize(m_into.capacity());  // keeps the capacity of the previous use; clear() would free it
    m_start = m_into.data();
    m_to = m_start;
    m_end = m_start + m_into.size();
}

void XmlOut::grow(qsizetype n)
{
    const qsizetype used = size();
    // Doubling keeps the copies few; reserve() alone would grow by just enough.
    m_into.resize(used);
    m_into.reserve(std::max(used + n, 2 * m_into.capacity()));
    m_into.resize(m_into.capacity());
    m_start = m_into.data();
    m_to = m_start + used;
    m_end = m_start + m_into.size();
}

XmlOut::Piece XmlOut::putXml(QByteArrayView text, bool attribute)
{
    char *to = room(kXmlGrowth * text.size());
    const qsizetype at = size();
    m_to = writeXml(to, text, attribute);
    return since(at);
}

XmlOut::Piece XmlOut::putLinkPath(QByteArrayView path)
{
    char *to = room(kLinkGrowth * path.size() + kLinkSlack);
    const qsizetype at = size();
    m_to = writeLinkPathWith(kLinkXml, to, path);
    return since(at);
}

void XmlOut::putNumber(qint64 value)
{
    constexpr qsizetype kLongest = 20;  // "-9223372036854775808"
    char *to = room(kLongest);
    m_to = std::to_chars(to, m_end, value).ptr;
}

void XmlOut::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_into.resize(size());
}

} // namespace yf::fast
