// What a feed's text says about its folder: its name, where its links start, its media types.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace yf::feedtext {

// The folder's path below the input path, every "/" turned into "-": "-Talks-Weekly-".
QByteArray feedName(const QByteArray &dirPath, qsizetype inputPathLength);

// The parent of the link entry followed by "/"; the root "/" stays "/".
QByteArray linkRoot(const QByteArray &linkEntry);

// The enclosure type of the usual podcast files by extension, without regard to case;
// nullptr for any other name.
const char *podcastType(QByteArrayView fileName);

} // namespace yf::feedtext
