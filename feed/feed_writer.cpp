#include "feed/feed_writer.h"

#include "feed/feed_text.h"
#include "runtime/atomic_file.h"
#include "runtime/file_contents.h"
#include "runtime/file_system.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

namespace yf {

FeedWriter::FeedWriter(FeedInputs inputs)
    : m_inputs(std::move(inputs))
    , m_linkRoot(feedtext::linkRoot(m_inputs.highlightedEntry))
    , m_channelLink(feedtext::xml(m_inputs.baseUrl.encoded, true))
    , m_linkPrefix(feedtext::xml(m_inputs.baseUrl.linkPrefix, true))
{
}

Status FeedWriter::CreateRSSFile(const QByteArray &DirPath, FileLister &File1)
{
    m_leftAlone = false;
    const QByteArray feed = feedtext::feedName(DirPath, m_inputs.inputPath.size());
    if (Status made = makeFeed(DirPath, File1, feed, m_text); !made.ok())
        return made;
    return putFeed(feed, m_text);
}

Status FeedWriter::makeFeed(const QByteArray &DirPath, FileLister &File1, const QByteArray &feedName,
                            QByteArray &text)
{
    if (Status listed = File1.setPath(DirPath); !listed.ok())
        return listed;
    makeText(DirPath, File1, feedName, text);
    return {};
}

Status FeedWriter::putFeed(const QByteArray &feedName, const QByteArray &text)
{
    m_leftAlone = false;
    const QByteArray fileName = feedName + ".xml";
    if (fileHolds(m_inputs.outputPath, fileName, text)) {
        m_leftAlone = true;
        return {};
    }
    return replaceFile(m_inputs.outputPath, fileName, text, ErrorKind::WriteFeed);
}

void FeedWriter::readyFeed(const QByteArray &feedName, const QByteArray &text, bool &inPlace,
                           QByteArray &temporary) const
{
    temporary.clear();
    const QByteArray fileName = feedName + ".xml";
    inPlace = fileHolds(m_inputs.outputPath, fileName, text);
    if (inPlace)
        return;
    Result<QByteArray> written = writeTemporaryFile(m_inputs.outputPath, fileName, text, ErrorKind::WriteFeed);
    if (written.ok())
        temporary = std::move(written).value();
}

Status FeedWriter::placeFeed(const QByteArray &feedName, const QByteArray &text, bool inPlace, QByteArray &temporary)
{
    m_leftAlone = inPlace;
    if (inPlace)
        return {};
    const QByteArray fileName = feedName + ".xml";
    if (!temporary.isEmpty()) {
        const QByteArray path = std::exchange(temporary, {});
        if (putTemporaryFile(path, m_inputs.outputPath, fileName, ErrorKind::WriteFeed).ok())
            return {};
    }
    // Readying found the file different already: write it once more, for the error in turn.
    return replaceFile(m_inputs.outputPath, fileName, text, ErrorKind::WriteFeed);
}

void FeedWriter::makeText(const QByteArray &DirPath, const FileLister &File1, const QByteArray &feed, QByteArray &out)
{
    out.resize(0);  // keeps the capacity of the previous feed; clear() would free it
    // QByteArray::append runs a general insert; growing and copying is cheaper for these.
    const auto put = [&out](std::string_view text) {
        const qsizetype at = out.size();
        out.resize(at + static_cast<qsizetype>(text.size()));
        std::memcpy(out.data() + at, text.data(), text.size());
    };
    const auto bytes = [](const QByteArray &b) { return std::string_view(b.constData(), static_cast<std::size_t>(b.size())); };
    put("<rss version=\"2.0\">\r\n<channel>\r\n<title>");
    const qsizetype nameAt = out.size();
    feedtext::appendXml(out, feed);
    const qsizetype nameLength = out.size() - nameAt;
    put("</title>\r\n<link>");
    put(bytes(m_channelLink));
    put("</link>\r\n<description>");
    const qsizetype descriptionAt = out.size();
    out.resize(descriptionAt + nameLength);
    std::memcpy(out.data() + descriptionAt, out.constData() + nameAt, static_cast<std::size_t>(nameLength));
    put("</description>\r\n<language>en-US</language>\r\n<lastBuildDate>");
    // The last time the channel's content changed: a file added, removed or modified.
    put(bytes(m_dates.format(File1.lastModified())));
    put("</lastBuildDate>\r\n");

    // Only the leading link root is replaced: the rest of the path is the URL path below it.
    const QByteArrayView below = DirPath.startsWith(m_linkRoot) ? QByteArrayView(DirPath).sliced(m_linkRoot.size())
                                                                  : QByteArrayView(DirPath);
    QByteArray &dirLink = m_dirLink;
    dirLink.resize(m_linkPrefix.size() + feedtext::kLinkGrowth * below.size() + feedtext::kLinkSlack);
    std::memcpy(dirLink.data(), m_linkPrefix.constData(), static_cast<std::size_t>(m_linkPrefix.size()));
    dirLink.resize(feedtext::writeLinkPathXml(dirLink.data() + m_linkPrefix.size(), below) - dirLink.constData());
    for (qsizetype i = 0; i < File1.listCount(); ++i)
        appendItem(out, dirLink, File1, i);
    put("</channel></rss>\r\n");
}

void FeedWriter::appendItem(QByteArray &out, const QByteArray &dirLink, const FileLister &File1, qsizetype index)
{
    const QByteArrayView fileName = File1.fileName(index);
    // The file's own date, so an episode keeps its date from run to run.
    const QByteArray &date = m_dates.format(File1.fileModified(index));
    char digits[24];
    const char *digitsEnd = std::to_chars(std::begin(digits), std::end(digits), File1.fileSize(index)).ptr;
    const QByteArrayView typeView = m_types.typeOf(fileName);
    const char *type = typeView.data();
    const qsizetype typeLength = typeView.size();

    static constexpr std::string_view head = "<item>\r\n<title>";
    static constexpr std::string_view afterTitle = "</title>\r\n<link>";
    static constexpr std::string_view afterLink = "</link>\r\n<pubDate>";
    static constexpr std::string_view afterDate = "</pubDate>\r\n<enclosure url=\"";
    static constexpr std::string_view afterUrl = "\" length=\"";
    static constexpr std::string_view afterLength = "\" type=\"";
    static constexpr std::string_view afterType = "\"/>\r\n<description>";
    static constexpr std::string_view afterDescription = "</description>\r\n<guid isPermaLink=\"false\">";
    static constexpr std::string_view tail = "</guid>\r\n</item>\r\n";
    static constexpr auto fixed = static_cast<qsizetype>(head.size() + afterTitle.size() + afterLink.size()
        + afterDate.size() + afterUrl.size() + afterLength.size() + afterType.size() + afterDescription.size()
        + tail.size());

    // The item is written straight into the feed's buffer: room for the longest text the
    // name can give, one size change, the pieces, then the size it really took. The title
    // and the link are made once each and copied for the description, the enclosure and the guid.
    const qsizetype n = fileName.size();
    const qsizetype most = fixed + 2 * feedtext::kXmlGrowth * n + 3 * (dirLink.size() + feedtext::kLinkGrowth * n) + feedtext::kLinkSlack
                         + date.size() + (digitsEnd - digits) + typeLength;
    const qsizetype at = out.size();
    if (out.capacity() < at + most)
        out.reserve(std::max(at + most, 2 * out.capacity()));  // reserve() alone would grow by just enough
    out.resize(at + most);
    char *to = out.data() + at;
    const auto put = [&to](const char *text, qsizetype length) {
        std::memcpy(to, text, static_cast<std::size_t>(length));
        to += length;
    };
    const auto putView = [&put](std::string_view text) { put(text.data(), static_cast<qsizetype>(text.size())); };

    putView(head);
    const char *title = to;
    to = feedtext::writeXml(to, fileName, false);
    const qsizetype titleLength = to - title;
    putView(afterTitle);
    const char *link = to;
    put(dirLink.constData(), dirLink.size());
    to = feedtext::writeLinkPathXml(to, fileName);
    const qsizetype linkLength = to - link;
    putView(afterLink);
    put(date.constData(), date.size());
    putView(afterDate);
    put(link, linkLength);
    putView(afterUrl);
    put(digits, digitsEnd - digits);
    putView(afterLength);
    put(type, typeLength);
    putView(afterType);
    put(title, titleLength);
    putView(afterDescription);
    put(link, linkLength);
    putView(tail);
    out.resize(to - out.constData());
}

} // namespace yf
