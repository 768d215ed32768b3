// The index page's and OPML file's text in pieces: the head, one feed's entry, the tail.
#pragma once

#include "generate/feed_index.h"

#include <QByteArray>

namespace yf {

// The index's order: feeds with episodes first, each group by title in the listing's order,
// then by file name.
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
