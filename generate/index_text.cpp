#include "generate/index_text.h"

#include "fast/name_order.h"
#include "fast/xml_text.h"

#include <QDateTime>
#include <QTimeZone>

#include <ctime>
#include <string_view>

namespace yf {

namespace {

// Both files open with these lines, so a later run knows them for its own.
constexpr std::string_view kPageStart = "<!DOCTYPE html>\n<!-- Made by Yarrowfeed: replaced on every run. -->\n";
constexpr std::string_view kOpmlStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- Made by Yarrowfeed: replaced on every run. -->\n";
constexpr char kHeading[] = "Podcast feeds";

QByteArrayView view(std::string_view text) { return {text.data(), static_cast<qsizetype>(text.size())}; }

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

} // namespace

bool isOwnIndexText(QByteArrayView text) { return text.startsWith(view(kPageStart)) || text.startsWith(view(kOpmlStart)); }

qsizetype indexTextStartBytes() { return static_cast<qsizetype>(std::max(kPageStart.size(), kOpmlStart.size())); }

bool indexEntryLess(const IndexEntry &a, const IndexEntry &b)
{
    return indexEntryLessBy(a, b, [](const QByteArray &x, const QByteArray &y) { return fast::nameLess(x, y); });
}

QByteArray pageHeadText(qsizetype count, bool opmlWritten)
{
    QByteArray page;
    page.append(kPageStart.data(), static_cast<qsizetype>(kPageStart.size()));
    page.append("<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>");
    page.append(kHeading).append("</title>\n").append(kStyle).append("</head>\n<body>\n<h1>");
    page.append(kHeading).append("</h1>\n<p>");
    page.append(QByteArray::number(static_cast<qint64>(count))).append(count == 1 ? " feed." : " feeds.");
    page.append(opmlWritten ? " <a href=\"feeds.opml\" download>Download OPML</a> to subscribe to all at once.</p>\n"
                            : "</p>\n<p id=\"opml\"></p>\n");
    page.append("<ul id=\"feeds\">\n");
    return page;
}

void appendPageEntry(QByteArray &page, const IndexEntry &entry)
{
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

QByteArray pageTailText() { return QByteArray("</ul>\n").append(kScript).append("</body>\n</html>\n"); }

QByteArray opmlHeadText()
{
    QByteArray opml(kOpmlStart.data(), static_cast<qsizetype>(kOpmlStart.size()));
    opml.append("<opml version=\"2.0\">\n<head>\n<title>").append(kHeading).append("</title>\n</head>\n<body>\n");
    return opml;
}

void appendOpmlEntry(QByteArray &opml, const IndexEntry &entry, const QByteArray &feedsAddress)
{
    const QByteArray title = fast::xml(entry.title, true);
    opml.append("<outline type=\"rss\" text=\"").append(title).append("\" title=\"").append(title);
    opml.append("\" xmlUrl=\"").append(fast::xml(feedsAddress + fast::encodeLinkPath(entry.fileName), true));
    opml.append("\"/>\n");
}

QByteArray opmlTailText() { return QByteArray("</body>\n</opml>\n"); }

} // namespace yf
