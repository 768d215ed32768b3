#include "feed/feed_writer.h"

#include "feed/feed_text.h"
#include "runtime/atomic_file.h"
#include "runtime/file_system.h"

namespace yf {

namespace {

constexpr char kEol[] = "\r\n";  // each line's own CR, then the line feed

void line(QByteArray &out, const char *text)
{
    out.append(text).append(kEol);
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
    out.clear();
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
    const QByteArray title = feedtext::xml(fileName);
    const QByteArray link = dirLink + feedtext::xml(feedtext::encodeLinkPath(fileName), true);
    QByteArray &out = m_text;
    line(out, "<item>");
    out.append("<title>").append(title).append("</title>").append(kEol);
    out.append("<link>").append(link).append("</link>").append(kEol);
    // Taken per item, so each date is the moment its item was produced.
    out.append("<pubDate>").append(m_dates.format(m_clock.nowSecs())).append("</pubDate>").append(kEol);
    out.append("<enclosure url=\"").append(link);
    out.append("\" length=\"").append(QByteArray::number(File1.fileSize(index)));
    out.append("\" type=\"").append(feedtext::mimeType(fileName)).append("\"/>").append(kEol);
    out.append("<description>").append(title).append("</description>").append(kEol);
    line(out, "</item>");
}

} // namespace yf
