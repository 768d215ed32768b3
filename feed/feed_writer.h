// `CreateRSSFile`: writes the RSS 2.0 feed of one folder into the output directory.
#pragma once

#include "feed/base_url.h"
#include "feed/file_lister.h"
#include "feed/media_types.h"
#include "runtime/clock.h"
#include "runtime/error.h"

#include <QByteArray>
#include <QString>

namespace yf {

// What every feed of one run shares. Paths are the kernel's bytes.
struct FeedInputs {
    QByteArray inputPath;         // the input directory, no trailing "/" except for "/"
    QByteArray highlightedEntry;  // the entry highlighted in the input picker
    QByteArray outputPath;        // the output directory
    BaseUrl baseUrl;              // the channel's link; its linkPrefix stands for the link root
};

class FeedWriter {
public:
    explicit FeedWriter(FeedInputs inputs);

    // Lists `DirPath` through `File1` and replaces the folder's feed file as a whole:
    // "<output>/<feed name>.xml". On failure the previous feed file, if any, is untouched.
    // A file that already holds exactly the new text is left as it is, modification time
    // included, so a web server can keep answering "not modified".
    [[nodiscard]] Status CreateRSSFile(const QByteArray &DirPath, FileLister &File1);

    // The two halves of a feed, so that one thread can list and make the next feeds while
    // another puts them in place, into "<output>/<feedName>.xml" (see FeedNames; the name
    // also titles the feed): lists `DirPath` through `File1` and makes the feed's whole text
    // into `text` (its capacity is kept for the next feed) ...
    [[nodiscard]] Status makeFeed(const QByteArray &DirPath, FileLister &File1, const QByteArray &feedName,
                                  QByteArray &text);
    // ... then replaces "<output>/<feedName>.xml" with `text`, unless it holds that already.
    // Touches nothing of this object but lastLeftAlone().
    [[nodiscard]] Status putFeed(const QByteArray &feedName, const QByteArray &text);

    // putFeed in two steps, so that the slow part can run ahead on another thread while the
    // feeds still take their places in order. readyFeed notes whether the feed file holds
    // `text` already (`inPlace`), or else writes `text` to a temporary file beside it
    // (`temporary`); when that fails it readies nothing and says nothing ...
    void readyFeed(const QByteArray &feedName, const QByteArray &text, bool &inPlace, QByteArray &temporary) const;
    // ... and placeFeed, in the feeds' order, finishes the job: nothing when the feed was in
    // place, a rename when a temporary file holds it. When readying failed or the rename fails,
    // it writes the feed whole instead, so that a failure reports what writing it in turn gives.
    // `temporary` is gone afterwards either way.
    [[nodiscard]] Status placeFeed(const QByteArray &feedName, const QByteArray &text, bool inPlace,
                                   QByteArray &temporary);

    // Whether the last feed put was left as it was because its file held it already.
    bool lastLeftAlone() const { return m_leftAlone; }

private:
    void makeText(const QByteArray &DirPath, const FileLister &File1, const QByteArray &feedName, QByteArray &out);
    void appendItem(QByteArray &out, const QByteArray &dirLink, const FileLister &File1, qsizetype index);

    FeedInputs m_inputs;
    QByteArray m_linkRoot;
    QByteArray m_channelLink;  // escaped, ready for the text
    QByteArray m_linkPrefix;   // likewise
    DateText m_dates;
    MediaTypes m_types;
    bool m_leftAlone = false;
    QByteArray m_text;     // reused between feeds
    QByteArray m_dirLink;  // likewise
};

} // namespace yf
