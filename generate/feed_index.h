// The run's index page and OPML file: their text from the run's feeds, and putting them beside the feeds.
#pragma once

#include "feed/base_url.h"
#include "runtime/error.h"
#include "runtime/file_copy.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

namespace yf {

inline constexpr char kIndexPageFile[] = "index.html";
inline constexpr char kOpmlFile[] = "feeds.opml";

// What the index lists about one feed of the run.
struct IndexEntry {
    QByteArray fileName;  // "<feed name>.xml", directly in the output directory
    QByteArray title;     // the channel's title, as the feed carries it (bytes meant as UTF-8)
    qsizetype episodes = 0;
    qint64 newestEpisodeSecs = 0;  // the newest episode file's modification time; unused when empty
    qint32 place = -1;             // the caller's own tag for the feed, handed back in the index's order
};

// One entry as the index files hold it: whose, and the bytes of its part of each file.
struct IndexPlace {
    qint32 place = -1;
    quint32 pageBytes = 0;
    quint32 opmlBytes = 0;  // 0 when no OPML file is written
};

// `text` as HTML text or attribute value, pure ASCII: "&", "<", ">", '"' and "'" escaped,
// everything beyond ASCII as a numeric reference; bytes that are not valid UTF-8, control
// characters other than tab and line feed, and non-characters become U+FFFD.
[[nodiscard]] QByteArray htmlText(QByteArrayView text);

// The index page: every entry with its title, episode count, newest episode's date (UTC) and
// a relative link to its feed, sorted by title in the listing's natural order, the empty
// feeds after the others and marked as empty. With JavaScript, each entry gets a button
// that copies the feed's absolute address; the page links to the OPML file when
// `opmlWritten`, and otherwise offers one built in the browser. The text does not depend on
// the entries' order.
[[nodiscard]] QByteArray indexPageText(std::vector<IndexEntry> entries, bool opmlWritten);

// The OPML 2.0 file: one outline a feed, in the index page's order, each xmlUrl
// `feedsAddress` (ending in "/") followed by the feed's file name, percent-encoded.
[[nodiscard]] QByteArray opmlText(std::vector<IndexEntry> entries, const QByteArray &feedsAddress);

// Where a web server publishes the output directory's files, ending in "/": the base URL's
// link prefix followed by the output directory's path below the link root, percent-encoded.
// None when the output directory does not lie in or below the link root.
[[nodiscard]] std::optional<QByteArray> feedsAddress(const BaseUrl &baseUrl, const QByteArray &linkEntry,
                                                     const QByteArray &outputPath);

// Whether a file's text is one this program wrote as an index page or OPML file.
[[nodiscard]] bool isOwnIndexText(QByteArrayView text);

// What putting the index beside the feeds did.
struct FeedIndex {
    QString pagePath;     // the index page, as a path for a person; empty when it was left alone
    QString pageAddress;  // where a web server shows it; empty when that is not known
    std::vector<QByteArray> written;  // the file names now holding this run's text (written or unchanged)
    std::vector<Error> problems;      // a file that is not this program's, or could not be written
    std::vector<IndexPlace> order;    // the entries in the files' order
    // What each file is now, when it holds this run's text.
    std::optional<FileIdentity> pageFile;
    std::optional<FileIdentity> opmlFile;
};

// Writes the index page, and the OPML file when `address` is known, into `outputPath`,
// each replaced whole and only when it is missing or this program's; a file that holds its
// text already is left untouched. An OPML file of this program's left from a run that knew
// the address is removed when the address is no longer known.
[[nodiscard]] FeedIndex writeFeedIndex(const QByteArray &outputPath, const std::optional<QByteArray> &address,
                                       std::vector<IndexEntry> entries);

} // namespace yf
