#include "feed/feed_text.h"

#include <QList>

#include <array>
#include <cstring>
#include <string_view>

namespace yf::feedtext {

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

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

} // namespace

char *writeXml(char *to, QByteArrayView text, bool attribute)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const qsizetype n = text.size();
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

void appendXml(QByteArray &out, QByteArrayView text, bool attribute)
{
    const qsizetype at = out.size();
    out.resize(at + kXmlGrowth * text.size());
    char *end = writeXml(out.data() + at, text, attribute);
    out.resize(end - out.constData());
}

QByteArray xml(const QByteArray &text, bool attribute)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    appendXml(out, text, attribute);
    return out;
}

QByteArray feedName(const QByteArray &dirPath, qsizetype inputPathLength)
{
    QByteArray name = dirPath.mid(inputPathLength);
    name.replace('/', '-');
    return name;
}

QByteArray linkRoot(const QByteArray &highlightedEntry)
{
    // Split at "/", keep every part but the last, each preceded by "/", drop the first
    // character and append "/": "/srv/Audio" gives "/srv/", and "/" gives "/".
    const QList<QByteArray> parts = highlightedEntry.split('/');
    QByteArray joined;
    for (qsizetype k = 0; k + 1 < parts.size(); ++k)
        joined.append('/').append(parts[k]);
    return joined.mid(1) + '/';
}

namespace {

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

QByteArray encodeLinkPath(const QByteArray &path)
{
    QByteArray out(path.size() * 3 + 8, Qt::Uninitialized);
    out.truncate(writeLinkPathWith(kLinkPlain, out.data(), path) - out.constData());
    return out;
}

char *writeLinkPathXml(char *to, QByteArrayView path) { return writeLinkPathWith(kLinkXml, to, path); }

const char *podcastType(QByteArrayView fileName)
{
    struct Mapping {
        std::string_view extension;
        const char *type;
    };
    static constexpr std::array<Mapping, 13> table{{
        {"mp3", "audio/mpeg"},       {"m4a", "audio/x-m4a"},     {"m4b", "audio/x-m4a"},
        {"aac", "audio/aac"},        {"ogg", "audio/ogg"},       {"oga", "audio/ogg"},
        {"opus", "audio/ogg"},       {"flac", "audio/flac"},     {"wav", "audio/wav"},
        {"mp4", "video/mp4"},        {"m4v", "video/x-m4v"},     {"mov", "video/quicktime"},
        {"pdf", "application/pdf"},
    }};
    constexpr std::size_t kLongest = 4;
    // This runs once per item: the extension is folded into a small buffer, not a new string.
    const std::string_view name(fileName.data(), static_cast<std::size_t>(fileName.size()));
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && name.size() - dot - 1 <= kLongest) {
        char folded[kLongest];
        const std::size_t length = name.size() - dot - 1;
        for (std::size_t k = 0; k < length; ++k)
            folded[k] = asciiLower(name[dot + 1 + k]);
        const std::string_view extension(folded, length);
        for (const Mapping &m : table) {
            if (extension == m.extension)
                return m.type;
        }
    }
    return nullptr;
}

} // namespace yf::feedtext
