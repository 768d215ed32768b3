#include "feed/base_url.h"

#include <QUrl>

namespace yf {

Result<BaseUrl> parseBaseUrl(const QString &typed)
{
    const QUrl url(typed.trimmed(), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    const bool needsHost = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    if (!url.isValid() || scheme.isEmpty() || (needsHost && url.host().isEmpty())) {
        return Error{ErrorKind::BadInput, QStringLiteral("Cannot use the base URL"), typed,
                     QStringLiteral("the base URL must be a full address such as \"http://192.168.1.10/\""), 0};
    }
    BaseUrl base;
    base.encoded = url.toEncoded(QUrl::FullyEncoded);
    base.linkPrefix = base.encoded.endsWith('/') ? base.encoded : base.encoded + '/';
    return base;
}

} // namespace yf
