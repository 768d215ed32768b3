#include "generate/feed_index.h"

#include "fast/name_order.h"
#include "fast/xml_text.h"
#include "feed/feed_text.h"
#include "runtime/atomic_file.h"
#include "runtime/file_contents.h"
#include "runtime/file_system.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <algorithm>
#include <ctime>
#include <numeric>
#include <string_view>

namespace yf {

namespace {

// Both files open with these lines, so a later run knows them for its own.
constexpr std::string_view kPageStart = "<!DOCTYPE html>\n<!-- Made by Yarrowfeed: replaced on every run. -->\n";
constexpr std::string_view kOpmlStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- Made by Yarrowfeed: replaced on every run. -->\n";
constexpr char kHeading[] = "Podcast feeds";

QByteArrayView view(std::string_view text) { return {text.data(), static_cast<qsizetype>(text.size())}; }

bool isReplaced(char32_t c)
{
    return (c < 0x20 && c != '\t' && c != '\n') || (c >= 0x7F && c <= 0x9F) || (c >= 0xFDD0 && c <= 0xFDEF)
        || (c & 0xFFFE) == 0xFFFE;
}

// The page's order: feeds with episodes first, each group by title as listings sort names.
// Each title's folded form is made once, not at every comparison: a library of 100,000 feeds
// sorts in milliseconds, not seconds.
void sortForIndex(std::vector<IndexEntry> &entries)
{
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::vector<fast::NameOrder::KeySlot> keys(entries.size(), fast::NameOrder::kNoKey);
    fast::NameOrder names;
    std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        const IndexEntry &a = entries[i];
        const IndexEntry &b = entries[j];
        if ((a.episodes == 0) != (b.episodes == 0))
            return b.episodes == 0;
        if (a.title != b.title)
            return names.less(a.title, keys[i], b.title, keys[j]);
        return a.fileName < b.fileName;
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

// "yyyy-MM-dd" in UTC. The page shows one date per feed, so it is written from the C
// library's broken-down time rather than through a QDateTime and a format string each; a
// date beyond four-digit years goes the long way.
QByteArray dateText(qint64 secs)
{
    const time_t at = static_cast<time_t>(secs);
    struct tm utc {};
    const long year = ::gmtime_r(&at, &utc) ? utc.tm_year + 1900L : -1;
    if (year < 0 || year > 9999)
        return QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc()).toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
    const int month = utc.tm_mon + 1;
    const int day = utc.tm_mday;
    char text[10] = {char('0' + year / 1000), char('0' + year / 100 % 10), char('0' + year / 10 % 10),
                     char('0' + year % 10), '-', char('0' + month / 10), char('0' + month % 10), '-',
                     char('0' + day / 10), char('0' + day % 10)};
    return QByteArray(text, sizeof text);
}

// The feed's file as a link relative to the page; "./" keeps a name with ":" from reading as a scheme.
QByteArray relativeLink(const QByteArray &fileName) { return "./" + fast::encodeLinkPath(fileName); }

// Makes every entry a copy button, shows the address where the clipboard cannot take it, and,
// when no OPML file sits beside the page, builds one from the page's own address.
constexpr char kScript[] = R"JS(<script>
(function () {
  var items = Array.prototype.slice.call(document.querySelectorAll('#feeds li'));
  function address(li) { return new URL(li.querySelector('a').getAttribute('href'), location.href).href; }
  function show(li, url) {
    var box = li.querySelector('input');
    if (!box) {
      box = document.createElement('input');
      box.readOnly = true;
      box.className = 'address';
      box.setAttribute('aria-label', 'Feed address');
      li.appendChild(box);
    }
    box.value = url;
    box.focus();
    box.select();
  }
  items.forEach(function (li) {
    var button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Copy address';
    button.addEventListener('click', function () {
      var url = address(li);
      if (navigator.clipboard && window.isSecureContext) {
        navigator.clipboard.writeText(url).then(function () { button.textContent = 'Copied'; },
                                                function () { show(li, url); });
      } else {
        show(li, url);
      }
    });
    li.appendChild(button);
  });
  var place = document.getElementById('opml');
  if (!place)
    return;
  function esc(s) {
    return s.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;');
  }
  var button = document.createElement('button');
  button.type = 'button';
  button.textContent = 'Download OPML';
  button.addEventListener('click', function () {
    var text = '<?xml version="1.0" encoding="UTF-8"?>\n<opml version="2.0">\n<head>\n<title>Podcast feeds</title>\n</head>\n<body>\n';
    items.forEach(function (li) {
      var title = esc(li.querySelector('a').textContent);
      text += '<outline type="rss" text="' + title + '" title="' + title + '" xmlUrl="' + esc(address(li)) + '"/>\n';
    });
    text += '</body>\n</opml>\n';
    var link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([text], {type: 'text/x-opml'}));
    link.download = 'feeds.opml';
    document.body.appendChild(link);
    link.click();
    link.remove();
  });
  place.appendChild(button);
})();
</script>
)JS";

constexpr char kStyle[] = R"CSS(<style>
body { font-family: sans-serif; margin: 0 auto; max-width: 48rem; padding: 1rem; line-height: 1.4; }
ul { list-style: none; padding: 0; }
li { border-bottom: 1px solid #ccc; padding: 0.6rem 0; overflow-wrap: anywhere; }
li a { font-weight: bold; }
.facts { display: block; color: #555; font-size: 0.9rem; }
.empty .facts { font-style: italic; }
button { margin-top: 0.3rem; padding: 0.4rem 0.8rem; font-size: 1rem; }
input.address { display: block; width: 100%; box-sizing: border-box; margin-top: 0.3rem; font-size: 0.9rem; }
</style>
)CSS";

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
    const QByteArray start = file.read(static_cast<qint64>(std::max(kPageStart.size(), kOpmlStart.size())));
    return isOwnIndexText(start) ? Found::Ours : Found::Other;
}

// Puts `text` in `outputPath/fileName` unless a file of someone else's is there or it holds the text already.
void putIndexFile(const QByteArray &outputPath, const QByteArray &fileName, const QByteArray &text, FeedIndex &index)
{
    const QByteArray path = outputPath + '/' + fileName;
    if (whatIsThere(path) == Found::Other) {
        index.problems.push_back(notOurs(fs::displayPath(path)));
        return;
    }
    if (!fileHolds(outputPath, fileName, text)) {
        if (Status written = replaceFile(outputPath, fileName, text, ErrorKind::WriteFeed); !written.ok()) {
            index.problems.push_back(written.error());
            return;
        }
    }
    index.written.push_back(fileName);
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

namespace {

// The page's text for entries sorted already.
QByteArray sortedPageText(const std::vector<IndexEntry> &entries, bool opmlWritten)
{
    QByteArray page;
    page.reserve(roomFor(entries, 16384, 128));
    page.append(kPageStart.data(), static_cast<qsizetype>(kPageStart.size()));
    page.append("<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>");
    page.append(kHeading).append("</title>\n").append(kStyle).append("</head>\n<body>\n<h1>");
    page.append(kHeading).append("</h1>\n<p>");
    page.append(QByteArray::number(static_cast<qint64>(entries.size())))
        .append(entries.size() == 1 ? " feed." : " feeds.");
    page.append(opmlWritten ? " <a href=\"feeds.opml\" download>Download OPML</a> to subscribe to all at once.</p>\n"
                            : "</p>\n<p id=\"opml\"></p>\n");
    page.append("<ul id=\"feeds\">\n");
    for (const IndexEntry &entry : entries) {
        page.append(entry.episodes == 0 ? "<li class=\"empty\"><a href=\"" : "<li><a href=\"");
        page.append(htmlText(relativeLink(entry.fileName))).append("\">");
        page.append(htmlText(entry.title)).append("</a> <span class=\"facts\">");
        if (entry.episodes == 0) {
            page.append("Empty: no episodes yet");
        } else {
            page.append(QByteArray::number(static_cast<qint64>(entry.episodes)))
                .append(entry.episodes == 1 ? " episode" : " episodes");
            page.append(", newest ").append(dateText(entry.newestEpisodeSecs));
        }
        page.append("</span></li>\n");
    }
    page.append("</ul>\n").append(kScript).append("</body>\n</html>\n");
    return page;
}

// The OPML file's text for entries sorted already.
QByteArray sortedOpmlText(const std::vector<IndexEntry> &entries, const QByteArray &feedsAddress)
{
    QByteArray opml;
    opml.reserve(roomFor(entries, 1024, 64 + 2 * feedsAddress.size()));
    opml.append(kOpmlStart.data(), static_cast<qsizetype>(kOpmlStart.size()));
    opml.append("<opml version=\"2.0\">\n<head>\n<title>").append(kHeading).append("</title>\n</head>\n<body>\n");
    for (const IndexEntry &entry : entries) {
        const QByteArray title = fast::xml(entry.title, true);
        opml.append("<outline type=\"rss\" text=\"").append(title).append("\" title=\"").append(title);
        opml.append("\" xmlUrl=\"").append(fast::xml(feedsAddress + fast::encodeLinkPath(entry.fileName), true));
        opml.append("\"/>\n");
    }
    opml.append("</body>\n</opml>\n");
    return opml;
}

} // namespace

QByteArray indexPageText(std::vector<IndexEntry> entries, bool opmlWritten)
{
    sortForIndex(entries);
    return sortedPageText(entries, opmlWritten);
}

QByteArray opmlText(std::vector<IndexEntry> entries, const QByteArray &feedsAddress)
{
    sortForIndex(entries);
    return sortedOpmlText(entries, feedsAddress);
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

bool isOwnIndexText(QByteArrayView text) { return text.startsWith(view(kPageStart)) || text.startsWith(view(kOpmlStart)); }

FeedIndex writeFeedIndex(const QByteArray &outputPath, const std::optional<QByteArray> &address,
                         std::vector<IndexEntry> entries)
{
    FeedIndex index;
    sortForIndex(entries);
    if (address) {
        putIndexFile(outputPath, kOpmlFile, sortedOpmlText(entries, *address), index);
    } else {
        // Addresses a run with another output directory or link root knew; they would mislead now.
        const QByteArray stale = outputPath + '/' + kOpmlFile;
        if (whatIsThere(stale) == Found::Ours && !QFile::remove(QFile::decodeName(stale)))
            index.problems.push_back(Error::failure(ErrorKind::WriteFeed, QStringLiteral("Cannot remove"),
                                                    fs::displayPath(stale)));
    }
    const bool opmlWritten = !index.written.empty();
    const qsizetype before = static_cast<qsizetype>(index.written.size());
    putIndexFile(outputPath, kIndexPageFile, sortedPageText(entries, opmlWritten), index);
    if (static_cast<qsizetype>(index.written.size()) > before) {
        index.pagePath = fs::displayPath(outputPath + '/' + kIndexPageFile);
        if (address)
            index.pageAddress = QString::fromLatin1(*address + kIndexPageFile);
    }
    return index;
}

} // namespace yf
