// A feed writer over a temporary input and output directory, for the feed writer's tests.
#pragma once

#include "feed/feed_text.h"
#include "feed/feed_writer.h"
#include "fixture.h"
#include "tags/tag_source.h"

#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <fcntl.h>
#include <sys/stat.h>

namespace feedsetup {

inline QByteArray native(const QString &s) { return QFile::encodeName(s); }

// Sets the modification time of `path` (of the link itself when `link` is set).
inline void setModified(const QString &path, qint64 secs, bool link = false)
{
    const struct timespec times[2] = {{static_cast<time_t>(secs), 0}, {static_cast<time_t>(secs), 0}};
    QVERIFY2(::utimensat(AT_FDCWD, native(path).constData(), times, link ? AT_SYMLINK_NOFOLLOW : 0) == 0,
             qPrintable(path));
}

inline qint64 modifiedOf(const QString &path)
{
    struct stat st;
    return ::stat(native(path).constData(), &st) == 0 ? static_cast<qint64>(st.st_mtime) : -1;
}

// A writer over <tmp>/in/Audio with output <tmp>/out and the default-looking base URL.
struct Setup {
    QTemporaryDir tmp;
    QString input, output;
    yf::FileLister lister;
    bool lastUnchanged = false;  // what the last write() found

    Setup()
    {
        input = tmp.path() + "/in/Audio";
        output = tmp.path() + "/out";
        QDir().mkpath(input);
        QDir().mkpath(output);
    }
    // With `tags`, episodes take their details from the files' tags.
    yf::FeedWriter writer(const QString &linkEntry = {}, const QString &baseUrl = "http://10.0.0.5/",
                          yf::TagSource *tags = nullptr)
    {
        const yf::Result<yf::BaseUrl> base = yf::parseBaseUrl(baseUrl);
        if (!base.ok())
            qFatal("bad base URL in a test");
        return yf::FeedWriter({native(input), native(linkEntry.isEmpty() ? input : linkEntry),
                               native(output), base.value(), tags});
    }
    QByteArray feedNameOf(const QByteArray &folder) const { return yf::feedtext::feedName(folder, native(input).size()); }
    // Prepares and commits the feed of `folder`, as a run does.
    yf::Status write(yf::FeedWriter &w, const QByteArray &folder)
    {
        yf::Result<yf::PreparedFeed> made = w.prepare(folder, feedNameOf(folder), lister);
        if (!made.ok())
            return made.error();
        yf::PreparedFeed feed = std::move(made).value();
        lastUnchanged = feed.unchanged();
        return w.commit(feed);
    }
    QByteArray feed(const QString &name) const { return fixture::readFile(output + '/' + name); }
};

// Well-formed per a strict XML parser, and every item carries url, length and type.
inline void verifyWellFormed(const QByteArray &text)
{
    QXmlStreamReader reader(text);
    int enclosures = 0;
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == QLatin1String("enclosure")) {
            ++enclosures;
            const QXmlStreamAttributes a = reader.attributes();
            QVERIFY(a.hasAttribute("url") && a.hasAttribute("length") && a.hasAttribute("type"));
        }
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString() + "\n" + QString::fromUtf8(text)));
    QCOMPARE(enclosures, int(text.count("<item>")));
}

} // namespace feedsetup
