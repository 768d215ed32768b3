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
// more than copying such a piece, so items are assembled with one size change and a copy each.
void put(QByteArray &out, const char *text, qsizetype length)
{
    const qsizetype at = out.size();
    out.resize(at + length);
    std::memcpy(out.data() + at, text, static_cast<std::size_t>(length));
}

void put(QByteArray &out, const QByteArray &text) { put(out, text.constData(), text.size()); }

template <std::size_t N>
void putLiteral(QByteArray &out, const char (&text)[N])
{
    put(out, text, static_cast<qsizetype>(N - 1));
}

// Appends a copy of bytes [from, from + length) that `out` already holds.
void putAgain(QByteArray &out, qsizetype from, qsizetype length)
{
    const qsizetype at = out.size();
    out.resize(at + length);
    char *data = out.data();
    std::memcpy(data + at, data + from, static_cast<std::size_t>(length));
}

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
    // The title and the link each appear twice; both are produced once, then copied.
    putLiteral(out, "<item>\r\n<title>");
    const qsizetype titleAt = out.size();
    feedtext::appendXml(out, fileName);
    const qsizetype titleLength = out.size() - titleAt;
    putLiteral(out, "</title>\r\n<link>");
    const qsizetype linkAt = out.size();
    put(out, dirLink);
    // After percent-encoding only ASCII is left, and of it only "&" needs escaping.
    const QByteArray encoded = feedtext::encodeLinkPath(fileName);
    if (encoded.contains('&'))
        feedtext::appendXml(out, encoded, true);
    else
        put(out, encoded);
    const qsizetype linkLength = out.size() - linkAt;
    // Taken per item, so each date is the moment its item was produced.
    putLiteral(out, "</link>\r\n<pubDate>");
    put(out, m_dates.format(m_clock.nowSecs()));
    putLiteral(out, "</pubDate>\r\n<enclosure url=\"");
    putAgain(out, linkAt, linkLength);
    putLiteral(out, "\" length=\"");
    char digits[24];
    const std::to_chars_result size = std::to_chars(std::begin(digits), std::end(digits), File1.fileSize(index));
    put(out, digits, size.ptr - digits);
    putLiteral(out, "\" type=\"");
    const char *type = feedtext::mimeType(fileName);
    put(out, type, static_cast<qsizetype>(std::strlen(type)));
    putLiteral(out, "\"/>\r\n<description>");
    putAgain(out, titleAt, titleLength);
    putLiteral(out, "</description>\r\n</item>\r\n");
}

} // namespace yf
