// Reads a media file's tags and length with TagLib, opening nothing outside the input tree.
#pragma once

#include "tags/media_details.h"

#include <QByteArray>

#include <optional>

namespace yf {

// Stateless once made, so one reader serves every thread of a run.
class TagReader {
public:
    // `treeRoot` is the input directory: a link is followed only to a file inside it.
    explicit TagReader(const QByteArray &treeRoot);

    // The details of the file at `path`, opened read-only, audio properties read in TagLib's
    // average mode; no details for a file TagLib cannot make sense of (random bytes, cut
    // short, lying sizes). Empty when nothing was opened: the path is no regular file, or a
    // link to one outside the tree, or it could not be opened (no permission, say).
    std::optional<MediaDetails> read(const QByteArray &path) const;

private:
    // The descriptor of the regular file at `path`, or -1; its length into `size`.
    int openInsideTree(const QByteArray &path, long &size) const;

    QByteArray m_realRoot;  // the tree's real path followed by "/"; empty when it has none
};

} // namespace yf
