// `CreateRSSFile`: writes the RSS 2.0 feed of one folder into the output directory.
#pragma once

#include "feed/file_lister.h"
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
    QString baseUrl;              // stands for the link root in every link
};

class FeedWriter {
public:
    FeedWriter(FeedInputs inputs, const Clock &clock);

    // Lists `DirPath` through `File1` and replaces the folder's feed file as a whole:
    // "<output>/<feed name>.xml". On failure the previous feed file, if any, is untouched.
    [[nodiscard]] Status CreateRSSFile(const QByteArray &DirPath, FileLister &File1);
    // The same, with the folder's file names as the scan found them (see FileLister::setPath).
    [[nodiscard]] Status CreateRSSFile(const QByteArray &DirPath, FileLister &File1, QByteArrayView knownNames);

    // The feed file that CreateRSSFile writes for `DirPath`.
    QByteArray feedFileName(const QByteArray &DirPath) const;

private:
    Status writeListed(const QByteArray &DirPath, const FileLister &File1);
    void appendItem(const QByteArray &dirLink, const FileLister &File1, qsizetype index);

    FeedInputs m_inputs;
    const Clock &m_clock;
    QByteArray m_linkRoot;
    QByteArray m_baseUrl;  // percent-encoded and escaped, ready for the text
    DateText m_dates;
    QByteArray m_text;     // reused between feeds
    QByteArray m_dirLink;  // likewise
};

} // namespace yf
