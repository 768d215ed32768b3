// Bringing the index page and OPML file up to date by the entries that changed, copying the rest from the files as they are.
#pragma once

#include "generate/feed_index.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <vector>

namespace yf {

// The index files as a run left them: the entries in their order, what the files were then.
struct KeptIndexFiles {
    std::vector<IndexPlace> order;
    std::optional<QByteArray> address;  // the feeds' address they were made for
    std::optional<FileIdentity> pageFile;
    std::optional<FileIdentity> opmlFile;  // none when no OPML file was written
};

// What changed since: where each earlier place is now, which feeds were made again, and what
// the index lists about a feed now.
struct IndexChange {
    const std::vector<qint32> *nowAt = nullptr;  // old place to new, -1 for one gone; none: the same
    const std::vector<char> *remade = nullptr;   // by new place
    std::vector<qint32> written;                 // places remade whose feed is in place now
    std::function<IndexEntry(qint32 place)> entryAt;
    std::function<QByteArray(qint32 oldPlace)> oldFileName;  // of an entry as the files list it
};

// A patch's outcome: the index as writeFeedIndex tells it, and the feed files that came and
// went from the index, sorted, none in both.
struct PatchedIndex {
    FeedIndex index;
    std::vector<QByteArray> came;
    std::vector<QByteArray> gone;
};

// Brings the index files in `outputPath` from `kept` to what writeFeedIndex would write after
// `change`, writing a file only when its text changes. None, with nothing touched, when a file
// is not as `kept` says (edited, replaced, removed), or `address` is not the one it was.
[[nodiscard]] std::optional<PatchedIndex> patchFeedIndex(const QByteArray &outputPath,
                                                         const std::optional<QByteArray> &address,
                                                         const KeptIndexFiles &kept, const IndexChange &change);

} // namespace yf
