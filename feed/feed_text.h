// The pieces of a feed's text: names, link parts, escaping and media types.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace yf::feedtext {

// Appends `text` (bytes meant as UTF-8) as XML character data in pure ASCII. "&", "<" and ">"
// are escaped, and '"' too when `attribute` is set; characters beyond ASCII and carriage
// returns become numeric references ("&#xE9;", "&#13;"). Characters XML 1.0 forbids and
// bytes that are not valid UTF-8 become U+FFFD ("&#xFFFD;"), so whatever the file system
// holds, the result is well-formed.
void appendXml(QByteArray &out, QByteArrayView text, bool attribute = false);
QByteArray xml(const QByteArray &text, bool attribute = false);

// The same text written at `to`, which must have room for kXmlGrowth bytes per byte of `text`;
// returns the end of what was written.
constexpr qsizetype kXmlGrowth = 8;  // a stray byte becomes "&#xFFFD;"
char *writeXml(char *to, QByteArrayView text, bool attribute);

// The folder's path below the input path, every "/" turned into "-": "-Talks-Weekly-".
QByteArray feedName(const QByteArray &dirPath, qsizetype inputPathLength);

// The parent of the highlighted entry followed by "/"; the root "/" stays "/".
QByteArray linkRoot(const QByteArray &highlightedEntry);

// Percent-encodes a path for use in a URI: everything but unreserved characters, the
// sub-delimiters but ";", ":", "@" and "/" becomes %XX with upper-case hex digits.
QByteArray encodeLinkPath(const QByteArray &path);

// encodeLinkPath(path) with "&" escaped for XML, written at `to`, which must have room for
// kLinkGrowth bytes per byte of `path` and kLinkSlack more; returns the end of the text.
constexpr qsizetype kLinkGrowth = 5;  // "&" becomes "&amp;"
constexpr qsizetype kLinkSlack = 7;   // scratch past the end: bytes are written in blocks
char *writeLinkPathXml(char *to, QByteArrayView path);

// The enclosure type of the usual podcast files by extension, without regard to case;
// nullptr for any other name.
const char *podcastType(QByteArrayView fileName);

} // namespace yf::feedtext
