// Writes the RSS 2.0 feed of one folder into the output directory, made and put in place apart.
#pragma once

#include "fast/xml_text.h"
#include "feed/base_url.h"
#include "feed/episode_plan.h"
#include "feed/file_lister.h"
#include "feed/media_types.h"
#include "runtime/atomic_file.h"
#include "runtime/clock.h"
#include "runtime/error.h"
#include "runtime/file_contents.h"

#include <QByteArray>
#include <QString>

namespace yf {

// What every feed of one run shares. Paths are the kernel's bytes.
struct FeedInputs {
    QByteArray inputPath;   // the input directory, no trailing "/" except for "/"
    QByteArray linkEntry;   // the entry whose parent is where links start
    QByteArray outputPath;  // the output directory
    BaseUrl baseUrl;        // the channel's link; its linkPrefix stands for the link root
    // Where episodes and channels take their details from, shared by the run's threads; none:
    // no tags are read and every feed is what it is without them.
    TagSource *tags = nullptr;
};

// A folder's feed, made and, when its file does not hold it already, written to a temporary
// file beside it. Move-only; dropping it removes the temporary file unless it was committed.
class PreparedFeed {
public:
    PreparedFeed() = default;
    PreparedFeed(PreparedFeed &&other) noexcept;
    PreparedFeed &operator=(PreparedFeed &&other) noexcept;
    PreparedFeed(const PreparedFeed &) = delete;
    PreparedFeed &operator=(const PreparedFeed &) = delete;
    ~PreparedFeed();

    // Whether the feed's file held exactly this text already, so it is left as it is.
    bool unchanged() const { return m_unchanged; }
    // "<feed name>.xml", in the output directory.
    const QByteArray &fileName() const { return m_fileName; }
    // The feed's items, and the newest item's date (0 when there is none).
    qsizetype episodeCount() const { return m_episodeCount; }
    qint64 newestEpisodeSecs() const { return m_newestEpisodeSecs; }

private:
    friend class FeedWriter;
    void discard();

    QByteArray m_fileName;
    QByteArray m_text;        // empty when unchanged: nothing needs it then
    TemporaryFile m_temporary;  // holding m_text, if it could be written
    bool m_unchanged = false;
    FileMatch m_inTheWay = FileMatch::Differs;  // what holds the feed's name when it is no file
    qsizetype m_episodeCount = 0;
    qint64 m_newestEpisodeSecs = 0;
};

// One writer per thread: it keeps the dates and media types it has worked out, and buffers
// reused from feed to feed.
class FeedWriter {
public:
    explicit FeedWriter(FeedInputs inputs);

    // Lists `folder` (through `lister`, whose buffers are reused) and makes its feed named
    // `feedName` (see FeedNames; the name also titles the feed), then compares it with
    // "<output>/<feedName>.xml" and, unless that holds it already, writes it to a temporary
    // file beside it. A failure to list the folder is the error; one to write the temporary
    // file is not, commit() meets it again.
    [[nodiscard]] Result<PreparedFeed> prepare(const QByteArray &folder, const QByteArray &feedName,
                                               FileLister &lister);
    // Puts it in place: nothing when unchanged, a rename otherwise; when the temporary file could
    // not be written or the rename fails, writes the feed whole so the error is what writing it gives.
    // On failure the previous feed file, if any, is untouched; no temporary file is left either way.
    // A folder, named pipe, socket or device holding the feed's name is left as it is: the error
    // is then of kind NameTaken, naming the feed's path and what is in the way.
    [[nodiscard]] Status commit(PreparedFeed &feed) const;
    // Takes back what a feed that is done with holds (its temporary file, if still there, is
    // removed), so the next feed prepared here is made in a buffer grown already.
    void reuse(PreparedFeed &&done);

private:
    // Tags off, `plan` is null and every file is an item, under its name and date.
    void makeText(const QByteArray &folder, const FileLister &lister, const QByteArray &feedName,
                  const EpisodePlan *plan);
    void putItem(fast::XmlOut &out, const FileLister &lister, qsizetype file, qint64 date, const EpisodePlan *plan);
    fast::XmlOut::Piece putLink(fast::XmlOut &out, QByteArrayView fileName) const;
    void makeFolderPath(const QByteArray &folder);

    FeedInputs m_inputs;
    QByteArray m_linkRoot;
    QByteArray m_channelLink;  // escaped, ready for the text
    QByteArray m_linkPrefix;   // likewise
    DateText m_dates;
    MediaTypes m_types;
    QByteArray m_text;        // reused between feeds
    QByteArray m_folderPath;  // the folder's links below the link prefix, encoded; likewise
    EpisodePlan m_plan;       // with tags: reused between feeds
};

} // namespace yf
