// Feed text at speed: XML escaping, link encoding and a growing buffer that writes both.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstring>
#include <string_view>

namespace yf::fast {

// Appends `text` (bytes meant as UTF-8) as XML character data in pure ASCII. "&", "<" and ">"
// are escaped, and '"' too when `attribute` is set; characters beyond ASCII and carriage
// returns become numeric references ("&#xE9;", "&#13;"). Characters XML 1.0 forbids and
// bytes that are not valid UTF-8 become U+FFFD ("&#xFFFD;"), so whatever the file system
// holds, the result is well-formed.
void appendXml(QByteArray &out, QByteArrayView text, bool attribute = false);
QByteArray xml(QByteArrayView text, bool attribute = false);

// Percent-encodes a path for use in a URI: everything but unreserved characters, the
// sub-delimiters but ";", ":", "@" and "/" becomes %XX with upper-case hex digits.
QByteArray encodeLinkPath(QByteArrayView path);

// Text written into a QByteArray from its start, keeping the array's capacity from one use
// to the next. Each put makes room for the most its text can become, so the pieces go
// straight in without a size change each; the array gets its true size when this ends.
class XmlOut {
public:
    // A stretch already written, to be written again (a title that is also the description).
    struct Piece {
        qsizetype at = 0;
        qsizetype length = 0;
    };

    explicit XmlOut(QByteArray &into);
    ~XmlOut() { finish(); }
    XmlOut(const XmlOut &) = delete;
    XmlOut &operator=(const XmlOut &) = delete;

    // Bytes as they are: markup, or text escaped already.
    void put(std::string_view bytes)
    {
        const auto n = static_cast<qsizetype>(bytes.size());
        char *to = room(n);
        std::memcpy(to, bytes.data(), bytes.size());
        m_to = to + n;
    }
    void put(QByteArrayView bytes) { put(std::string_view(bytes.data(), static_cast<std::size_t>(bytes.size()))); }
    void put(const QByteArray &bytes) { put(QByteArrayView(bytes)); }
    template <std::size_t N>
    void put(const char (&literal)[N]) { put(std::string_view(literal, N - 1)); }
    void put(Piece piece)
    {
        char *to = room(piece.length);
        std::memcpy(to, m_start + piece.at, static_cast<std::size_t>(piece.length));
        m_to = to + piece.length;
    }
    // `text` escaped as appendXml() does; returns where it went.
    Piece putXml(QByteArrayView text, bool attribute = false);
    // `path` as encodeLinkPath() gives it, with "&" escaped for XML; returns where it went.
    Piece putLinkPath(QByteArrayView path);
    // A number in decimal.
    void putNumber(qint64 value);

    // What was written from `at` (an earlier size()) up to now.
    qsizetype size() const { return m_to - m_start; }
    Piece since(qsizetype at) const { return {at, size() - at}; }

    // Gives the array its true size; nothing may be put after it.
    void finish();

private:
    // Where the next n bytes go.
    char *room(qsizetype n)
    {
        char *to = m_to;
        if (m_end - to < n) [[unlikely]] {
            grow(n);
            to = m_to;
        }
        return to;
    }
    [[gnu::noinline, gnu::cold]] void grow(qsizetype n);

    QByteArray &m_into;
    char *m_start = nullptr;
    char *m_to = nullptr;
    char *m_end = nullptr;
    bool m_finished = false;
};

} // namespace yf::fast
