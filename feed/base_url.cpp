#include "feed/base_url.h"

#include <QUrl>

#include <algorithm>

namespace yf {

namespace {

Error refused(const QString &typed, const char *why)
{
    return Error::failure(ErrorKind::BadInput, QStringLiteral("Cannot use the base URL"), typed, QString::fromUtf8(why));
}

} // namespace

Result<BaseUrl> parseBaseUrl(const QString &typed)
{
    // Looked for before anything is trimmed: a line break or tab at either end is no more
    // harmless than one inside, since the text is stored and shown as typed.
    const bool hasControl = std::any_of(typed.cbegin(), typed.cend(), [](QChar c) {
        return c.unicode() < 0x20 || c.unicode() == 0x7f;
    });
    if (hasControl)
        return refused(typed, "the base URL contains a control character (a line break, tab or other "
                              "invisible character): type it on one line");
    const QUrl url(typed.trimmed(), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    const bool web = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    if (!url.isValid() || scheme.isEmpty() || (web && url.host().isEmpty()))
        return refused(typed, "the base URL must be a full address such as \"http://192.168.1.10/\"");
    if (!web)
        return refused(typed, "the base URL must start with \"http://\" or \"https://\": feed readers fetch "
                              "episodes over the web");
    // Every link is the base URL followed by a file's path; after a "?" or "#" that path
    // would land in the query or the fragment, and every link would fetch the same page.
    if (url.hasQuery())
        return refused(typed, "the base URL must not have a query (a \"?\" and what follows): "
                              "the files' paths would end up inside it");
    if (url.hasFragment())
        return refused(typed, "the base URL must not have a fragment (a \"#\" and what follows): "
                              "the files' paths would end up inside it");
    BaseUrl base;
    base.encoded = url.toEncoded(QUrl::FullyEncoded);
    base.linkPrefix = base.encoded.endsWith('/') ? base.encoded : base.encoded + '/';
    return base;
}

} // namespace yf
