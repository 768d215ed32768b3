#include "feed/feed_writer.h"

#include "fast/xml_text.h"
#include "feed/feed_text.h"
#include "runtime/file_system.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace yf {

PreparedFeed::PreparedFeed(PreparedFeed &&other) noexcept
    : m_fileName(std::move(other.m_fileName))
    , m_text(std::move(other.m_text))
    , m_temporary(std::move(other.m_temporary))
    , m_unchanged(other.m_unchanged)
    , m_inTheWay(other.m_inTheWay)
    , m_episodeCount(other.m_episodeCount)
    , m_newestEpisodeSecs(other.m_newestEpisodeSecs)
{
}

PreparedFeed &PreparedFeed::operator=(PreparedFeed &&other) noexcept
{
    if (this != &other) {
        discard();
        m_fileName = std::move(other.m_fileName);
        m_text = std::move(other.m_text);
        m_temporary = std::move(other.m_temporary);
        m_unchanged = other.m_unchanged;
        m_inTheWay = other.m_inTheWay;
        m_episodeCount = other.m_episodeCount;
        m_newestEpisodeSecs = other.m_newestEpisodeSecs;
    }
    return *this;
}

PreparedFeed::~PreparedFeed() { discard(); }

void PreparedFeed::discard() { m_temporary.discard(); }

namespace {

// What a feed's name taken by something that is no file costs: that feed, said with the path.
Error nameTaken(const QByteArray &path, FileMatch what)
{
    const char *thing = what == FileMatch::Pipe     ? "a named pipe (FIFO)"
                        : what == FileMatch::Socket ? "a socket"
                        : what == FileMatch::Device ? "a device"
                                                    : "a folder";
    Error error = Error::failure(ErrorKind::NameTaken, QStringLiteral("Cannot write feed"), fs::displayPath(path),
                                 QString::fromLatin1(thing) + QStringLiteral(" is in the way"));
    error.osError = what == FileMatch::Folder ? EISDIR : EEXIST;
    return error;
}

} // namespace

FeedWriter::FeedWriter(FeedInputs inputs)
    : m_inputs(std::move(inputs))
    , m_linkRoot(feedtext::linkRoot(m_inputs.linkEntry))
    , m_channelLink(fast::xml(m_inputs.baseUrl.encoded, true))
    , m_linkPrefix(fast::xml(m_inputs.baseUrl.linkPrefix, true))
{
}

Result<PreparedFeed> FeedWriter::prepare(const QByteArray &folder, const QByteArray &feedName, FileLister &lister)
{
    if (Status listed = lister.setPath(folder); !listed.ok())
        return listed.error();
    PreparedFeed feed;
    feed.m_fileName = feedName + ".xml";
    if (m_inputs.tags) {
        collectPlanFiles(lister, *m_inputs.tags, m_plan);
        planEpisodes(m_plan);
        makeText(folder, lister, feedName, &m_plan);
        feed.m_episodeCount = static_cast<qsizetype>(m_plan.episodes.size());
        for (const PlannedEpisode &episode : m_plan.episodes)
            feed.m_newestEpisodeSecs = std::max(feed.m_newestEpisodeSecs, episode.date);
    } else {
        makeText(folder, lister, feedName, nullptr);
        feed.m_episodeCount = lister.listCount();
        for (qsizetype i = 0; i < lister.listCount(); ++i)
            feed.m_newestEpisodeSecs = std::max(feed.m_newestEpisodeSecs, lister.fileModified(i));
    }
    const FileMatch found = matchFile(m_inputs.outputPath, feed.m_fileName, m_text);
    feed.m_unchanged = found == FileMatch::Holds;
    if (feed.m_unchanged)
        return feed;
    if (found != FileMatch::Differs) {
        feed.m_inTheWay = found;  // nothing to write: commit() says what is there
        return feed;
    }
    Result<TemporaryFile> written = writeTemporaryFile(m_inputs.outputPath, feed.m_fileName, m_text, ErrorKind::WriteFeed);
    if (written.ok())
        feed.m_temporary = std::move(written).value();
    // The feed keeps its text, for commit() to write it whole if it must; reuse() hands the
    // buffer back once the feed is done with.
    feed.m_text = std::exchange(m_text, {});
    return feed;
}

void FeedWriter::reuse(PreparedFeed &&done)
{
    done.discard();
    if (done.m_text.capacity() > m_text.capacity())
        std::swap(m_text, done.m_text);
}

Status FeedWriter::commit(PreparedFeed &feed) const
{
    if (feed.m_unchanged)
        return {};
    const QByteArray &output = m_inputs.outputPath;
    if (feed.m_inTheWay != FileMatch::Differs)
        return nameTaken(output + '/' + feed.m_fileName, feed.m_inTheWay);
    if (!feed.m_temporary.isEmpty() && putTemporaryFile(feed.m_temporary, output, feed.m_fileName, ErrorKind::WriteFeed).ok())
        return {};
    // Preparing found the file different already: write it once more, for the error in turn.
    Status whole = replaceFile(output, feed.m_fileName, feed.m_text, ErrorKind::WriteFeed);
    // A folder made in the feed's place since it was prepared.
    if (!whole.ok() && whole.error().osError == EISDIR)
        return nameTaken(output + '/' + feed.m_fileName, FileMatch::Folder);
    return whole;
}

void FeedWriter::makeFolderPath(const QByteArray &folder)
{
    // Only the leading link root is replaced: the rest of the path is the URL path below it.
    const QByteArrayView below = folder.startsWith(m_linkRoot) ? QByteArrayView(folder).sliced(m_linkRoot.size())
                                                               : QByteArrayView(folder);
    fast::XmlOut path(m_folderPath);
    path.putLinkPath(below);
}

fast::XmlOut::Piece FeedWriter::putLink(fast::XmlOut &out, QByteArrayView fileName) const
{
    const qsizetype linkAt = out.size();
    out.put(m_linkPrefix);
    out.put(m_folderPath);
    out.putLinkPath(fileName);
    return out.since(linkAt);
}

void FeedWriter::makeText(const QByteArray &folder, const FileLister &lister, const QByteArray &feedName,
                          const EpisodePlan *plan)
{
    makeFolderPath(folder);
    fast::XmlOut out(m_text);
    if (plan)
        out.put("<rss version=\"2.0\" xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\">\r\n");
    else
        out.put("<rss version=\"2.0\">\r\n");
    out.put("<channel>\r\n<title>");
    const fast::XmlOut::Piece title = out.putXml(plan && !plan->album.isEmpty() ? QByteArrayView(plan->album)
                                                                                : QByteArrayView(feedName));
    out.put("</title>\r\n<link>");
    out.put(m_channelLink);
    out.put("</link>\r\n<description>");
    out.put(title);
    out.put("</description>\r\n<language>en-US</language>\r\n");
    if (plan && plan->serial)
        out.put("<itunes:type>serial</itunes:type>\r\n");
    if (plan && plan->cover >= 0) {
        out.put("<image><url>");
        const fast::XmlOut::Piece art = putLink(out, plan->files[static_cast<std::size_t>(plan->cover)].name);
        out.put("</url><title>");
        out.put(title);
        out.put("</title><link>");
        out.put(m_channelLink);
        out.put("</link></image>\r\n<itunes:image href=\"");
        out.put(art);
        out.put("\"/>\r\n");
    }
    if (plan && !plan->author.isEmpty()) {
        out.put("<itunes:author>");
        out.putXml(plan->author);
        out.put("</itunes:author>\r\n");
    }
    out.put("<lastBuildDate>");
    // The last time the channel's content changed: a file added, removed or modified.
    out.put(m_dates.format(lister.lastModified()));
    out.put("</lastBuildDate>\r\n");

    if (plan) {
        for (const PlannedEpisode &episode : plan->episodes)
            putItem(out, lister, episode.file, episode.date, plan);
    } else {
        // The file's own date, so an episode keeps its date from run to run.
        for (qsizetype i = 0; i < lister.listCount(); ++i)
            putItem(out, lister, i, lister.fileModified(i), nullptr);
    }
    out.put("</channel></rss>\r\n");
}

void FeedWriter::putItem(fast::XmlOut &out, const FileLister &lister, qsizetype file, qint64 date,
                         const EpisodePlan *plan)
{
    const QByteArrayView fileName = lister.fileName(file);
    const MediaDetails *tags = plan ? &plan->files[static_cast<std::size_t>(file)].details : nullptr;
    out.put("<item>\r\n<title>");
    const fast::XmlOut::Piece title =
        out.putXml(tags && !tags->title.isEmpty() ? QByteArrayView(tags->title) : fileName);
    out.put("</title>\r\n<link>");
    const fast::XmlOut::Piece link = putLink(out, fileName);
    // The path alone, so a new base URL or address changes the links but no guid, and no
    // reader takes the episodes for new ones.
    const fast::XmlOut::Piece path{link.at + m_linkPrefix.size(), link.length - m_linkPrefix.size()};
    out.put("</link>\r\n<pubDate>");
    out.put(m_dates.format(date));
    out.put("</pubDate>\r\n<enclosure url=\"");
    out.put(link);
    out.put("\" length=\"");
    out.putNumber(lister.fileSize(file));
    out.put("\" type=\"");
    out.put(m_types.typeOf(fileName));
    out.put("\"/>\r\n<description>");
    if (tags && !tags->comment.isEmpty())
        out.putXml(tags->comment);
    else
        out.put(title);
    out.put("</description>\r\n");
    if (tags && tags->lengthMs > 0) {
        out.put("<itunes:duration>");
        out.putNumber((tags->lengthMs + 500) / 1000);  // whole seconds, rounded
        out.put("</itunes:duration>\r\n");
    }
    if (tags && plan->serial && tags->track > 0) {
        out.put("<itunes:episode>");
        out.putNumber(tags->track);
        out.put("</itunes:episode>\r\n");
    }
    out.put("<guid isPermaLink=\"false\">");
    out.put(path);
    out.put("</guid>\r\n</item>\r\n");
}

} // namespace yf
