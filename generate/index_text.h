// The index page's and OPML file's text in pieces: the head, one feed's entry, the tail.
#pragma once

#include "generate/feed_index.h"

#include <QByteArray>

namespace yf {

// The index's order: feeds with episodes first, each group by title in the listing's order
// (`titleLess`, which a sort may give a cache of folded titles), then by file name.
template <typename TitleLess>
[[nodiscard]] bool indexEntryLessBy(const IndexEntry &a, const IndexEntry &b, TitleLess &&titleLess)
{
    if ((a.episodes == 0) != (b.episodes == 0))
        return b.episodes == 0;
    if (a.title != b.title)
        return titleLess(a.title, b.title);
    return a.fileName < b.fileName;
}
[[nodiscard]] bool indexEntryLess(const IndexEntry &a, const IndexEntry &b);

// How many leading bytes tell an index file of this program's (see isOwnIndexText).
[[nodiscard]] qsizetype indexTextStartBytes();

// The page before its first entry: it says how many feeds there are, and links to the OPML
// file when `opmlWritten`.
[[nodiscard]] QByteArray pageHeadText(qsizetype count, bool opmlWritten);
void appendPageEntry(QByteArray &page, const IndexEntry &entry);
[[nodiscard]] QByteArray pageTailText();

[[nodiscard]] QByteArray opmlHeadText();
void appendOpmlEntry(QByteArray &opml, const IndexEntry &entry, const QByteArray &feedsAddress);
[[nodiscard]] QByteArray opmlTailText();

} // namespace yf
