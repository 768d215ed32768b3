#include "generate/feed_index.h"

#include "fast/name_order.h"
#include "fast/xml_text.h"
#include "feed/feed_text.h"
#include "generate/index_text.h"
#include "runtime/atomic_file.h"
#include "runtime/file_contents.h"
#include "runtime/file_system.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <numeric>

namespace yf {

namespace {

bool isReplaced(char32_t c)
{
    return (c < 0x20 && c != '\t' && c != '\n') || (c >= 0x7F && c <= 0x9F) || (c >= 0xFDD0 && c <= 0xFDEF)
        || (c & 0xFFFE) == 0xFFFE;
}

// The page's order (indexEntryLess).
// Each title's folded form is made once, not at every comparison: a library of 100,000 feeds
// sorts in milliseconds, not seconds.
void sortForIndex(std::vector<IndexEntry> &entries)
{
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::vector<fast::NameOrder::KeySlot> keys(entries.size(), fast::NameOrder::kNoKey);
    fast::NameOrder names;
    std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        return indexEntryLessBy(entries[i], entries[j], [&](const QByteArray &a, const QByteArray &b) {
            return names.less(a, keys[i], b, keys[j]);
        });
    });
    std::vector<IndexEntry> sorted;
    sorted.reserve(entries.size());
    for (const std::size_t i : order)
        sorted.push_back(std::move(entries[i]));
    entries = std::move(sorted);
}

// Room for a text of `fixed` bytes and, per entry, `perEntry` bytes and its title and file name
// each escaped up to twice their length. Growing a text of many megabytes by doubling would
// hold the old and the new copy at once; room reserved and never written takes no memory.
qsizetype roomFor(const std::vector<IndexEntry> &entries, qsizetype fixed, qsizetype perEntry)
{
    qsizetype room = fixed;
    for (const IndexEntry &entry : entries)
        room += perEntry + 2 * (2 * entry.title.size() + entry.fileName.size());
    return room;
}

// Why a file in the output directory is not replaced: it is a user's.
Error notOurs(const QString &path)
{
    return Error::failure(ErrorKind::WriteFeed, QStringLiteral("Left as it is"), path,
                          QStringLiteral("not a file this program wrote"));
}

enum class Found { Missing, Ours, Other };

Found whatIsThere(const QByteArray &path)
{
    const QFileInfo info(QFile::decodeName(path));
    if (!info.exists() && !info.isSymLink())
        return Found::Missing;
    if (info.isSymLink() || !info.isFile())
        return Found::Other;
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return Found::Other;
    const QByteArray start = file.read(indexTextStartBytes());
    return isOwnIndexText(start) ? Found::Ours : Found::Other;
}

// Puts `text` in `outputPath/fileName` unless a file of someone else's is there or it holds the
// text already. Returns what the file is then, when it holds the text.
std::optional<FileIdentity> putIndexFile(const QByteArray &outputPath, const QByteArray &fileName,
                                         const QByteArray &text, FeedIndex &index)
{
    const QByteArray path = outputPath + '/' + fileName;
    if (whatIsThere(path) == Found::Other) {
        index.problems.push_back(notOurs(fs::displayPath(path)));
        return std::nullopt;
    }
    // Taken before the file is read: a change made while it is read shows at the next run.
    std::optional<FileIdentity> left = fileIdentity(path);
    if (!fileHolds(outputPath, fileName, text)) {
        if (Status written = replaceFile(outputPath, fileName, text, ErrorKind::WriteFeed); !written.ok()) {
            index.problems.push_back(written.error());
            return std::nullopt;
        }
        left = fileIdentity(path);
    }
    index.written.push_back(fileName);
    return left;
}

// The page's text for entries sorted already; each entry's length goes into `order`.
QByteArray sortedPageText(const std::vector<IndexEntry> &entries, bool opmlWritten, std::vector<IndexPlace> &order)
{
    QByteArray page;
    page.reserve(roomFor(entries, 16384, 128));
    page.append(pageHeadText(static_cast<qsizetype>(entries.size()), opmlWritten));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const qsizetype before = page.size();
        appendPageEntry(page, entries[i]);
        order[i].pageBytes = static_cast<quint32>(page.size() - before);
    }
    page.append(pageTailText());
    return page;
}

// The OPML file's text for entries sorted already, with each entry's length as sortedPageText's.
QByteArray sortedOpmlText(const std::vector<IndexEntry> &entries, const QByteArray &feedsAddress,
                          std::vector<IndexPlace> &order)
{
    QByteArray opml;
    opml.reserve(roomFor(entries, 1024, 64 + 2 * feedsAddress.size()));
    opml.append(opmlHeadText());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const qsizetype before = opml.size();
        appendOpmlEntry(opml, entries[i], feedsAddress);
        order[i].opmlBytes = static_cast<quint32>(opml.size() - before);
    }
    opml.append(opmlTailText());
    return opml;
}

std::vector<IndexPlace> placesOf(const std::vector<IndexEntry> &entries)
{
    std::vector<IndexPlace> order(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        order[i].place = entries[i].place;
    return order;
}

} // namespace

QByteArray htmlText(QByteArrayView text)
{
    // Most titles and names are plain printable ASCII with nothing to escape: as they are.
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 0x20 && c < 0x7F && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'')
            || c == '\t' || c == '\n';
    });
    if (plain)
        return text.toByteArray();
    QByteArray out;
    out.reserve(text.size());
    const QString decoded = QString::fromUtf8(text);
    for (const char32_t c : decoded.toUcs4()) {
        switch (c) {
        case '&': out.append("&amp;"); continue;
        case '<': out.append("&lt;"); continue;
        case '>': out.append("&gt;"); continue;
        case '"': out.append("&quot;"); continue;
        case '\'': out.append("&#39;"); continue;
        default: break;
        }
        if (isReplaced(c))
            out.append("&#xFFFD;");
        else if (c < 0x80)
            out.append(static_cast<char>(c));
        else
            out.append("&#x").append(QByteArray::number(static_cast<uint>(c), 16).toUpper()).append(';');
    }
    return out;
}

QByteArray indexPageText(std::vector<IndexEntry> entries, bool opmlWritten)
{
    sortForIndex(entries);
    std::vector<IndexPlace> order(entries.size());
    return sortedPageText(entries, opmlWritten, order);
}

QByteArray opmlText(std::vector<IndexEntry> entries, const QByteArray &feedsAddress)
{
    sortForIndex(entries);
    std::vector<IndexPlace> order(entries.size());
    return sortedOpmlText(entries, feedsAddress, order);
}

std::optional<QByteArray> feedsAddress(const BaseUrl &baseUrl, const QByteArray &linkEntry, const QByteArray &outputPath)
{
    const QByteArray root = feedtext::linkRoot(linkEntry);
    QByteArray folder = outputPath;
    while (folder.endsWith('/'))
        folder.chop(1);
    folder.append('/');
    if (root.isEmpty() || !folder.startsWith(root))
        return std::nullopt;
    return baseUrl.linkPrefix + fast::encodeLinkPath(QByteArrayView(folder).sliced(root.size()));
}

FeedIndex writeFeedIndex(const QByteArray &outputPath, const std::optional<QByteArray> &address,
                         std::vector<IndexEntry> entries)
{
    FeedIndex index;
    sortForIndex(entries);
    index.order = placesOf(entries);
    if (address) {
        index.opmlFile = putIndexFile(outputPath, kOpmlFile, sortedOpmlText(entries, *address, index.order), index);
    } else {
        // Addresses a run with another output directory or link root knew; they would mislead now.
        const QByteArray stale = outputPath + '/' + kOpmlFile;
        if (whatIsThere(stale) == Found::Ours && !QFile::remove(QFile::decodeName(stale)))
            index.problems.push_back(Error::failure(ErrorKind::WriteFeed, QStringLiteral("Cannot remove"),
                                                    fs::displayPath(stale)));
    }
    const bool opmlWritten = !index.written.empty();
    const qsizetype before = static_cast<qsizetype>(index.written.size());
    index.pageFile = putIndexFile(outputPath, kIndexPageFile, sortedPageText(entries, opmlWritten, index.order), index);
    if (static_cast<qsizetype>(index.written.size()) > before) {
        index.pagePath = fs::displayPath(outputPath + '/' + kIndexPageFile);
        if (address)
            index.pageAddress = QString::fromLatin1(*address + kIndexPageFile);
    }
    return index;
}

} // namespace yf
