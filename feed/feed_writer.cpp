#include "feed/feed_writer.h"

#include "feed/feed_text.h"
#include "runtime/atomic_file.h"
#include "runtime/file_system.h"

#include <charconv>
#include <cstring>
#include <iterator>

namespace yf {

namespace {

constexpr char kEol[] = "\r\n";  // each line's own CR, then the line feed

void line(QByteArray &out, const char *text)
{
    out.append(text).append(kEol);
}

// A feed is mostly short pieces. QByteArray::append takes a general insert path that costs
// more than copying such a piece, so items grow the buffer and copy into it instead.
void put(QByteArray &out, const char *text, qsizetype length)
{
    const qsizetype at = out.size();
    out.resize(at + length);
    std::memcpy(out.data() + at, text, static_cast<std::size_t>(length));
}

template <std::size_t N>
void putLiteral(QByteArray &out, const char (&text)[N])
{
    put(out, text, static_cast<qsizetype>(N - 1));
}

// A run of bytes to copy into a feed.
struct Piece {
    const char *data;
    qsizetype size;
};

template <std::size_t N>
Piece literal(const char (&text)[N])
{
    return {text, static_cast<qsizetype>(N - 1)};
}

Piece bytes(const QByteArray &text) { return {text.constData(), text.size()}; }

} // namespace

FeedWriter::FeedWriter(FeedInputs inputs, const Clock &clock)
    : m_inputs(std::move(inputs))
    , m_clock(clock)
    , m_linkRoot(feedtext::linkRoot(m_inputs.highlightedEntry))
    , m_baseUrl(feedtext::xml(feedtext::encodeBaseUrl(m_inputs.baseUrl), true))
{
}

QByteArray FeedWriter::feedFileName(const QByteArray &DirPath) const
{
    return feedtext::feedName(DirPath, m_inputs.inputPath.size()) + ".xml";
}

Status FeedWriter::CreateRSSFile(const QByteArray &DirPath, FileLister &File1)
{
    if (Status listed = File1.setPath(DirPath); !listed.ok())
        return listed;

    const QByteArray name = feedtext::xml(feedtext::feedName(DirPath, m_inputs.inputPath.size()));
    QByteArray &out = m_text;
    out.resize(0);  // keeps the capacity of the previous feed; clear() would free it
    line(out, "<rss version=\"2.0\">");
    line(out, "<channel>");
    out.append("<title>").append(name).append("</title>").append(kEol);
    out.append("<link>").append(m_baseUrl).append("</link>").append(kEol);
    out.append("<description>").append(name).append("</description>").append(kEol);
    line(out, "<language>en-US</language>");
    out.append("<lastBuildDate>").append(m_dates.format(m_clock.nowSecs()))
        .append("</lastBuildDate>").append(kEol);

    // Only the leading link root is replaced: the rest of the path is the URL path below it.
    const QByteArray below = DirPath.startsWith(m_linkRoot) ? DirPath.mid(m_linkRoot.size()) : DirPath;
    const QByteArray dirLink = m_baseUrl + feedtext::xml(feedtext::encodeLinkPath(below), true);
    for (qsizetype i = 0; i < File1.listCount(); ++i)
        appendItem(dirLink, File1, i);
    line(out, "</channel></rss>");

    return replaceFile(m_inputs.outputPath, feedFileName(DirPath), out, ErrorKind::WriteFeed);
}

void FeedWriter::appendItem(const QByteArray &dirLink, const FileLister &File1, qsizetype index)
{
    const QByteArray &fileName = File1.fileName(index);
    QByteArray &out = m_text;
    putLiteral(out, "<item>\r\n<title>");
    const qsizetype titleAt = out.size();
    feedtext::appendXml(out, fileName);
    const qsizetype titleLength = out.size() - titleAt;

    // After percent-encoding only ASCII is left, and of it only "&" needs escaping.
    QByteArray linkTail = feedtext::encodeLinkPath(fileName);
    if (linkTail.contains('&'))
        linkTail = feedtext::xml(linkTail, true);
    // Taken per item, so each date is the moment its item was produced.
    const QByteArray &date = m_dates.format(m_clock.nowSecs());
    char digits[24];
    const char *digitsEnd = std::to_chars(std::begin(digits), std::end(digits), File1.fileSize(index)).ptr;
    const char *type = feedtext::mimeType(fileName);

    // The rest of the item is pieces of known length (the title and the link twice each):
    // one size change, then plain copies.
    const Piece pieces[] = {
        literal("</title>\r\n<link>"), bytes(dirLink), bytes(linkTail),
        literal("</link>\r\n<pubDate>"), bytes(date),
        literal("</pubDate>\r\n<enclosure url=\""), bytes(dirLink), bytes(linkTail),
        literal("\" length=\""), {digits, digitsEnd - digits},
        literal("\" type=\""), {type, static_cast<qsizetype>(std::strlen(type))},
        literal("\"/>\r\n<description>"), {nullptr, titleLength},  // the title again
        literal("</description>\r\n</item>\r\n"),
    };
    qsizetype total = 0;
    for (const Piece &piece : pieces)
        total += piece.size;
    const qsizetype at = out.size();
    out.resize(at + total);
    char *data = out.data();
    char *to = data + at;
    for (const Piece &piece : pieces) {
        std::memcpy(to, piece.data ? piece.data : data + titleAt, static_cast<std::size_t>(piece.size));
        to += piece.size;
    }
}

} // namespace yf
